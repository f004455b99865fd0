#include "foundation/crc.h"

#include "foundation/platform.h"

uint32_t* Crc32_AllocTable() { return static_cast<uint32_t*>(Mem_Alloc(256 * sizeof(uint32_t))); }

void Crc32_BuildTable(uint32_t* table, uint32_t polynomial)
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ polynomial : c >> 1;
        table[i] = c;
    }
}

uint32_t Crc32_Start() { return 0; }

void Crc32_Update(const uint32_t* table, uint32_t* crc, const void* data, uint32_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t c = ~*crc;
    for (uint32_t i = 0; i < length; i++) c = (c >> 8) ^ table[(c ^ p[i]) & 0xFF];
    *crc = ~c;
}
