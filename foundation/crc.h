// Reflected, table-driven CRC-32 with the polynomial chosen when the table is built.
//
// The running value starts at Crc32_Start() and is inverted on the way in and out of every
// update, so updating over the pieces of a message in order gives the standard CRC of the
// whole message (initial value and final XOR all ones).
#pragma once

#include <cstdint>

// Reversed forms of the usual polynomials.
const uint32_t CRC32_POLY_IEEE = 0xEDB88320u;        // CRC-32 (zlib, Ethernet)
const uint32_t CRC32_POLY_CASTAGNOLI = 0x82F63B78u;  // CRC-32C

// A new, uninitialised table of 256 entries allocated with Mem_Alloc (free it with Mem_Free);
// NULL when memory is exhausted.
uint32_t* Crc32_AllocTable();
// Fills the table for a polynomial given in reversed form.
void Crc32_BuildTable(uint32_t* table, uint32_t polynomial);
uint32_t Crc32_Start();
void Crc32_Update(const uint32_t* table, uint32_t* crc, const void* data, uint32_t length);
