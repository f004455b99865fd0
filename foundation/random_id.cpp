#include "foundation/random_id.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstdlib>
#include <cstring>
#include <ctime>

bool Uuid_GenerateRandom(uint8_t uuid[16])
{
    boost::uuids::uuid u;
    try {
        // A fresh generator per call: no state shared between callers or threads. It draws
        // from the operating system's entropy source and throws when that fails.
        boost::uuids::random_generator generator;
        u = generator();
    } catch (...) {
        memset(uuid, 0, 16);
        return false;
    }
    static_assert(sizeof(u.data) == 16, "a UUID is 16 bytes");
    memcpy(uuid, u.data, 16);
    uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x40);  // version 4
    uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return true;
}

bool Uuid_Generate(uint8_t uuid[16]) { return Uuid_GenerateRandom(uuid); }

uint32_t Random_NewId32()
{
    srand(static_cast<unsigned>(time(nullptr)));
    uint32_t id = 0;
    for (int i = 0; i < 4; i++) id = (id << 8) | static_cast<uint32_t>(rand() % 256);
    return id;
}
