// AES-128-CBC sector cipher through OpenSSL's EVP interface.
#include "formats/qcow/qcow_cipher.h"

#include <cstring>
#include <openssl/evp.h>

#include "foundation/platform.h"

struct QcowCipherState {
    EVP_CIPHER_CTX* encrypt;
    EVP_CIPHER_CTX* decrypt;
};

QcowCipher* Qcow_AllocCipher()
{
    QcowCipher* c = static_cast<QcowCipher*>(Mem_Alloc(sizeof(QcowCipher)));
    if (c != nullptr) Qcow_InitCipher(c);
    return c;
}

void Qcow_InitCipher(QcowCipher* cipher) { cipher->state = nullptr; }

void Qcow_ClearCipher(QcowCipher* cipher)
{
    if (cipher == nullptr || cipher->state == nullptr) return;
    EVP_CIPHER_CTX_free(cipher->state->encrypt);
    EVP_CIPHER_CTX_free(cipher->state->decrypt);
    Mem_Free(cipher->state);
    cipher->state = nullptr;
}

void Qcow_FreeCipher(QcowCipher* cipher)
{
    if (cipher == nullptr) return;
    Qcow_ClearCipher(cipher);
    Mem_Free(cipher);
}

bool Qcow_SetKey(QcowCipher* cipher, const uint8_t key[16])
{
    Qcow_ClearCipher(cipher);
    QcowCipherState* s = static_cast<QcowCipherState*>(Mem_Alloc(sizeof(QcowCipherState)));
    if (s == nullptr) return false;
    s->encrypt = EVP_CIPHER_CTX_new();
    s->decrypt = EVP_CIPHER_CTX_new();
    bool ok = s->encrypt != nullptr && s->decrypt != nullptr &&
              EVP_EncryptInit_ex(s->encrypt, EVP_aes_128_cbc(), nullptr, key, nullptr) == 1 &&
              EVP_DecryptInit_ex(s->decrypt, EVP_aes_128_cbc(), nullptr, key, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(s->encrypt, 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(s->decrypt, 0) == 1;
    if (!ok) {
        EVP_CIPHER_CTX_free(s->encrypt);
        EVP_CIPHER_CTX_free(s->decrypt);
        Mem_Free(s);
        return false;
    }
    cipher->state = s;
    return true;
}

static void MakeIv(uint64_t sector, uint8_t iv[16])
{
    for (int i = 0; i < 8; ++i) iv[i] = static_cast<uint8_t>(sector >> (8 * i));
    memset(iv + 8, 0, 8);
}

static bool RunSectors(EVP_CIPHER_CTX* ctx, bool encrypt, uint64_t firstSector, const void* source,
                       void* destination, uint32_t length)
{
    if (ctx == nullptr || length % 512 != 0) return false;
    const uint8_t* in = static_cast<const uint8_t*>(source);
    uint8_t* out = static_cast<uint8_t*>(destination);
    uint8_t sector[512];
    for (uint32_t done = 0; done < length; done += 512) {
        uint8_t iv[16];
        MakeIv(firstSector + done / 512, iv);
        // A private copy lets source and destination be the same buffer.
        memcpy(sector, in + done, 512);
        int produced = 0;
        int ok = encrypt ? EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv)
                         : EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, iv);
        if (ok != 1) return false;
        ok = encrypt ? EVP_EncryptUpdate(ctx, out + done, &produced, sector, 512)
                     : EVP_DecryptUpdate(ctx, out + done, &produced, sector, 512);
        if (ok != 1 || produced != 512) return false;
    }
    return true;
}

bool Qcow_DecryptSectors(QcowCipher* cipher, uint64_t firstSector, const void* source,
                         void* destination, uint32_t length)
{
    if (cipher == nullptr || cipher->state == nullptr) return false;
    return RunSectors(cipher->state->decrypt, false, firstSector, source, destination, length);
}

bool Qcow_EncryptSectors(QcowCipher* cipher, uint64_t firstSector, const void* source,
                         void* destination, uint32_t length)
{
    if (cipher == nullptr || cipher->state == nullptr) return false;
    return RunSectors(cipher->state->encrypt, true, firstSector, source, destination, length);
}
