// Random identifiers for new images: version-4 UUIDs and 32-bit random numbers.
#pragma once

#include <cstdint>

// Fills 16 bytes with a random version-4 UUID in RFC 4122 byte order (byte 6 carries the
// version in its high nibble, byte 8 the variant in its two high bits). False, with the bytes
// zeroed, when the system could not supply randomness.
bool Uuid_Generate(uint8_t uuid[16]);
bool Uuid_GenerateRandom(uint8_t uuid[16]);

// Reseeds rand() with the current second and combines four rand() mod 256 values, most
// significant first. Two calls within the same second answer the same value.
uint32_t Random_NewId32();
