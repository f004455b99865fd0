// The sector cipher of encrypted qcow and qcow2 images: AES-128-CBC over each 512-byte sector
// on its own, with the initialisation vector made of the sector's virtual number as a 64-bit
// little-endian integer followed by 8 zero bytes.
#pragma once

#include <cstdint>

struct QcowCipherState;

// Holds both directions made from one 16-byte key.
struct QcowCipher {
    QcowCipherState* state;  // owned; NULL until a key is set
};

// A cleared cipher from Mem_Alloc, or NULL when memory is exhausted.
QcowCipher* Qcow_AllocCipher();
void Qcow_InitCipher(QcowCipher* cipher);
// Makes both key schedules from the key; false when memory is exhausted.
bool Qcow_SetKey(QcowCipher* cipher, const uint8_t key[16]);
// Releases the key schedules (the record itself stays).
void Qcow_ClearCipher(QcowCipher* cipher);
// Releases the key schedules and frees the record (NULL is ignored).
void Qcow_FreeCipher(QcowCipher* cipher);
// length must be a multiple of 512; sector i of the buffer uses virtual sector first + i.
// Source and destination may be the same buffer. False when the cipher has no key or fails.
bool Qcow_DecryptSectors(QcowCipher* cipher, uint64_t firstSector, const void* source,
                         void* destination, uint32_t length);
bool Qcow_EncryptSectors(QcowCipher* cipher, uint64_t firstSector, const void* source,
                         void* destination, uint32_t length);
