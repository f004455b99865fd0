// A stand-in plug-in module for the tests. Which entries it exports is chosen at build time:
//   -DWITH_KIND=<n>       exports "_2" answering n
//   -DWITH_VERSION=<v>    exports "_3" answering v
//   -DWITH_INPUT          exports "_4" to "_7" (contexts) and "_9" (32-bit geometry)
//   -DWITH_OPEN, -DWITH_OPEN_EX        "_8", "_22"
//   -DWITH_GEOMETRY64                   "_28"
//   -DWITH_READ, -DWITH_READ_EX         "_10", "_25"
//   -DWITH_RANGE, -DWITH_RANGE_EX       "_19", "_23"
//   -DWITH_CHECK, -DWITH_CHECK64        "_13", "_29"
//   -DWITH_OUTPUT                       "_14", "_15", "_16", "_27"
//   -DWITH_WRITE, -DWITH_WRITE_EX       "_17", "_24"
//   -DWITH_MESSAGE                      "_21"
//   -DNO_NAME             leaves out the name entry
//   -DNEEDS_MISSING       refers to a function nobody provides
// The test steers it and reads what happened through the exported record "standin".
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "standin_state.h"

extern "C" {

__attribute__((visibility("default"))) StandinState standin;

#ifndef NO_NAME
__attribute__((visibility("default"))) const char* N84731BD801934BB0AC9A478944DAF764()
{
    return "Stand-in";
}
#endif

#ifdef NEEDS_MISSING
void standin_function_nobody_provides();
__attribute__((visibility("default"))) void _30() { standin_function_nobody_provides(); }
#endif

#ifdef WITH_KIND
__attribute__((visibility("default"))) int _2() { return WITH_KIND; }
#endif
#ifdef WITH_VERSION
__attribute__((visibility("default"))) uint32_t _3() { return WITH_VERSION; }
#endif

struct Context {
    int opened;
};

struct Geometry32 {
    uint32_t sectors, heads, sectorsPerTrack, bytesPerSector;
};

#ifdef WITH_INPUT
__attribute__((visibility("default"))) void* _4()
{
    standin.created++;
    return calloc(1, sizeof(Context));
}
__attribute__((visibility("default"))) void _5(void* c)
{
    standin.freed++;
    free(c);
}
__attribute__((visibility("default"))) void _6(void* c)
{
    standin.inited++;
    static_cast<Context*>(c)->opened = 0;
}
__attribute__((visibility("default"))) void _7(void* c)
{
    standin.closed++;
    static_cast<Context*>(c)->opened = 0;
}
__attribute__((visibility("default"))) void _9(void*, Geometry32* g)
{
    g->sectors = static_cast<uint32_t>(standin.sectors);
    g->heads = standin.heads;
    g->sectorsPerTrack = standin.sectorsPerTrack;
    g->bytesPerSector = standin.bytesPerSector;
}
#endif

#ifdef WITH_OPEN
__attribute__((visibility("default"))) int _8(void* c, const char*, bool, void* host)
{
    standin.opens++;
    standin.lastHostArgument = host;
    static_cast<Context*>(c)->opened = 1;
    return standin.openResult;
}
#endif
#ifdef WITH_OPEN_EX
__attribute__((visibility("default"))) int _22(void* c, const char*, bool, void* host)
{
    standin.openExs++;
    standin.lastHostArgument = host;
    static_cast<Context*>(c)->opened = 1;
    return standin.openResult;
}
#endif
#ifdef WITH_GEOMETRY64
__attribute__((visibility("default"))) void _28(void*, uint64_t* s, uint32_t* h, uint32_t* t,
                                                uint32_t* b)
{
    *s = standin.sectors;
    *h = standin.heads;
    *t = standin.sectorsPerTrack;
    *b = standin.bytesPerSector;
}
#endif

__attribute__((unused)) static void FillPattern(uint64_t offset, uint32_t length, void* buffer)
{
    uint8_t* p = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>((offset + i) * 7 + 1);
}

#ifdef WITH_READ
__attribute__((visibility("default"))) bool _10(void*, uint64_t offset, uint32_t length,
                                                void* buffer)
{
    standin.reads++;
    if (!standin.readAnswer) return false;
    FillPattern(offset, length, buffer);
    return true;
}
#endif
#ifdef WITH_READ_EX
__attribute__((visibility("default"))) int _25(void*, uint64_t offset, uint32_t length,
                                               void* buffer)
{
    standin.readExs++;
    if (standin.readExResult == 0) FillPattern(offset, length, buffer);
    return standin.readExResult;
}
#endif

typedef bool (*ProgressFn)(uint64_t, uint64_t, void*);
typedef bool (*CancelFn)(ProgressFn, uint32_t, void*);

#ifdef WITH_RANGE
__attribute__((visibility("default"))) int _19(void*, const uint8_t* bits, uint64_t, uint32_t count,
                                               bool* empty, CancelFn, void*, void*)
{
    standin.ranges++;
    standin.lastUsedBits = bits;
    standin.lastUsedBitsNull = bits == nullptr;
    if (bits != nullptr) memcpy(standin.usedBitsCopy, bits, count / 8 < 8 ? count / 8 + 1 : 8);
    *reinterpret_cast<uint8_t*>(empty) = standin.rangeEmpty;
    return standin.rangeResult;
}
#endif

struct MapRecord {
    void* map;
    int (*getUsedBits)(const void*, uint64_t, int32_t, uint8_t*);
    void* isDataEmpty;
    void* scan;
};

#ifdef WITH_RANGE_EX
__attribute__((visibility("default"))) int _23(void*, const MapRecord* map, uint64_t first,
                                               uint32_t, bool* empty, void*, void*)
{
    standin.rangeExs++;
    uint8_t bits[1] = {0};
    standin.mapBitsResult = map->getUsedBits(map->map, first, 8, bits);
    standin.mapBitsFirst = bits[0];
    *reinterpret_cast<uint8_t*>(empty) = standin.rangeEmpty;
    return standin.rangeResult;
}
#endif

#ifdef WITH_CHECK
__attribute__((visibility("default"))) int _13(const Geometry32* g)
{
    standin.checks++;
    standin.checkedSectors = g->sectors;
    return standin.checkAnswer;
}
#endif
#ifdef WITH_CHECK64
__attribute__((visibility("default"))) int _29(uint64_t sectors, uint32_t, uint32_t, uint32_t)
{
    standin.check64s++;
    standin.checkedSectors = sectors;
    return standin.checkAnswer;
}
#endif

#ifdef WITH_OUTPUT
__attribute__((visibility("default"))) void* _14()
{
    standin.outputsCreated++;
    return malloc(16);
}
__attribute__((visibility("default"))) bool _15(void*, const char*, void*)
{
    return standin.setPathAnswer != 0;
}
__attribute__((visibility("default"))) void _16(void* c)
{
    standin.outputsFreed++;
    free(c);
}
__attribute__((visibility("default"))) int _27(void*, const char*, void*)
{
    return standin.setPathExResult;
}
#endif

struct DiskHandleStandin {
    int32_t kind;
    void* object;
};
struct DiskGeometryStandin {
    uint32_t sectors32, heads, sectorsPerTrack, bytesPerSector;
    uint64_t sectors64;
};

#ifdef WITH_WRITE
__attribute__((visibility("default"))) int _17(const char*, void* host, const Geometry32* g,
                                               int (*read)(const void*, uint64_t, uint32_t, void*),
                                               void*, void* source, void*, CancelFn cancel,
                                               ProgressFn progress, void* user)
{
    standin.writes++;
    standin.lastHostArgument = host;
    standin.writtenSectors = g->sectors;
    uint8_t sector[512];
    if (read(source, 0, 512, sector) == 0) standin.writtenFirstByte = sector[0];
    standin.writerCancelled = cancel(progress, 1, user) ? 1 : 0;
    return standin.writeResult;
}
#endif

struct SourceRecord {
    void* source;
    void* map;
    void (*getGeometry)(const void*, DiskGeometryStandin*);
    int (*read)(const void*, uint64_t, uint32_t, void*);
    void* isRangeEmpty;
};

#ifdef WITH_WRITE_EX
__attribute__((visibility("default"))) int _24(const char*, const SourceRecord* source,
                                               const MapRecord*, ProgressFn progress, void* user,
                                               void* host)
{
    standin.writeExs++;
    standin.lastHostArgument = host;
    DiskGeometryStandin g;
    memset(&g, 0, sizeof g);
    source->getGeometry(source->source, &g);
    standin.writtenSectors = g.sectors32 != 0 ? g.sectors32 : g.sectors64;
    uint8_t sector[512];
    if (source->read(source->source, 0, 512, sector) == 0) standin.writtenFirstByte = sector[0];
    if (progress != nullptr && !progress(0, standin.writtenSectors, user)) return 1;
    return standin.writeResult;
}
#endif

#ifdef WITH_MESSAGE
__attribute__((visibility("default"))) bool _21(char* buffer, uint32_t capacity, int* encoding)
{
    *encoding = 0;
    if (standin.messageFill == 1)
        memset(buffer, 'x', capacity);  // no terminator at all
    else
        strncpy(buffer, "stand-in failure", capacity);
    return standin.messageAnswer != 0;
}
#endif

}  // extern "C"
