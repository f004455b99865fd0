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
//   -DWITH_PAGES          "_22" uses the host callbacks: query, call on the GUI thread, the disk
//                         selector and an option-page dialog using every page function
//   -DNO_NAME             leaves out the name entry
//   -DNEEDS_MISSING       refers to a function nobody provides
// The test steers it and reads what happened through the exported record "standin".
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <pthread.h>

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
#ifdef WITH_PAGES
// The host's records as a plug-in sees them.
struct HostProgress {
    bool (*queryRunning)(void*, void*, void*);
    void* queryUser;
    int (*callOnGui)(int (*)(uint64_t), uint64_t, void*);
    void* callUser;
};
struct HostDialogs {
    void* owner;
    int (*selector)(void* owner, void* fill, void* out, void* argument);
    void* user;
    int (*pages)(void* owner, int count, int width, int height, void* build, void* argument);
};
struct HostCallbacks {
    HostProgress progress;
    HostDialogs* dialogs;
};
struct PageTable {
    void* c;
    int (*label)(void*, int, int, int, int, int, int, const char*);
    int (*textField)(void*, int, int, int, int, int, int);
    int (*numberField)(void*, int, int, int, int, int, int);
    int (*button)(void*, int, int, int, int, int, int, const char*);
    int (*acceptButton)(void*, int, int, int, int, int, int, const char*);
    int (*cancelButton)(void*, int, int, int, int, int, int, const char*);
    int (*radio)(void*, int, int, int, int, int, int, const char*);
    int (*check)(void*, int, int, int, int, int, int, const char*);
    int (*list)(void*, int, int, int, int, int, int);
    int (*setText)(void*, int, const char*);
    int (*enable)(void*, int, bool);
    int (*addItem)(void*, int, const char*, void*);
    int (*listSelection)(void*, int, int*, void**);
    int (*radioSelection)(void*, int, int*);
    int (*commandHandler)(void*, int, void (*)(int, uint64_t), uint64_t);
    int (*acceptHandler)(void*, void (*)(void*), void*);
    int (*radioGroup)(void*, int, int);
    int (*cancelHandler)(void*, void (*)(void*), void*);
    int (*showPage)(void*, int);
    int (*endAccept)(void*);
    int (*endCancel)(void*);
};

static PageTable* gTable;
static uint64_t gPageThread;
static int gItems[2];

static uint64_t ThreadId() { return (uint64_t)pthread_self(); }

static int DoubleOnGui(uint64_t value)
{
    standin.hostGuiCallOnGui = ThreadId() == gPageThread;
    return (int)(value * 2);
}

static int FillSelector(void* tree, void* (*add)(void*, void*, const char*, void*), void*)
{
    void* top = add(tree, nullptr, "Machine", &gItems[0]);
    add(tree, top, "Disk A", &gItems[1]);
    return 0;
}

static void OnRadio(int, uint64_t value)
{
    standin.radioCommands++;
    standin.radioValue = value;
}

static void OnNextPage(int, uint64_t) { gTable->showPage(gTable->c, 1); }

static void OnAccept(void* c)
{
    gTable->radioSelection(c, 0, &standin.radioSelected);
    gTable->listSelection(c, 8, &standin.listIndex, &standin.listData);
    gTable->endAccept(c);
}

static int BuildPages(PageTable* t, void*)
{
    gTable = t;
    gPageThread = ThreadId();
    void* c = t->c;
    int* r = standin.pageResults;
    r[0] = t->label(c, 2, 0, 1, 1, 20, 2, "bad page");
    r[1] = t->label(c, 0, 128, 1, 1, 20, 2, "bad slot");
    r[2] = t->textField(c, 0, -1, 1, 1, 20, 2);
    t->label(c, 0, 0, 1, 1, 30, 2, "Stand-in options");
    t->textField(c, 0, 1, 1, 4, 20, 2);
    r[3] = t->setText(c, 1, "a text field has no caption");
    r[4] = t->setText(c, 5, "empty slot");
    t->numberField(c, 0, 2, 22, 4, 10, 2);
    t->radio(c, 0, 3, 1, 7, 15, 2, "Choice A");
    t->radio(c, 0, 4, 17, 7, 15, 2, "Choice B");
    t->radioGroup(c, 3, 0);
    t->radioGroup(c, 4, 0);
    r[5] = t->radioGroup(c, 1, 0);
    r[6] = t->radioSelection(c, 7, &r[15]);
    t->check(c, 0, 6, 1, 10, 20, 2, "Option");
    t->list(c, 0, 7, 1, 13, 20, 2);
    r[7] = t->listSelection(c, 7, &standin.emptyListIndex, &standin.emptyListData);
    r[8] = t->addItem(c, 1, "not a list", nullptr);
    t->list(c, 0, 8, 1, 16, 20, 2);
    t->addItem(c, 8, "one", &gItems[0]);
    t->addItem(c, 8, "two", &gItems[1]);
    t->button(c, 0, 9, 1, 20, 12, 2, "Next page");
    t->commandHandler(c, 9, OnNextPage, 0);
    t->commandHandler(c, 4, OnRadio, 44);
    t->commandHandler(c, 4, OnRadio, 55);  // the first registration stays
    r[9] = t->commandHandler(c, 100, OnRadio, 1);
    t->label(c, 1, 10, 1, 1, 30, 2, "Page two");
    t->acceptButton(c, 1, 11, 20, 36, 9, 2, "OK");
    t->cancelButton(c, 1, 12, 31, 36, 9, 2, "Cancel");
    r[10] = t->showPage(c, 2);
    r[11] = t->enable(c, 6, false);
    r[12] = t->enable(c, 127, true);
    r[13] = t->setText(c, 3, "Choice A!");
    r[14] = t->acceptHandler(c, OnAccept, c);
    return 0;
}
#endif

#ifdef WITH_OPEN_EX
__attribute__((visibility("default"))) int _22(void* c, const char*, bool, void* host)
{
    standin.openExs++;
    standin.lastHostArgument = host;
#ifdef WITH_PAGES
    if (host) {
        HostCallbacks* h = static_cast<HostCallbacks*>(host);
        standin.hostQueryRunning =
            h->progress.queryRunning(nullptr, nullptr, h->progress.queryUser);
        standin.selectorResult = h->dialogs->selector(h->dialogs->owner, (void*)FillSelector,
                                                      &standin.selectorData, nullptr);
        standin.pageDialogResult =
            h->dialogs->pages(h->dialogs->owner, 3, 30, 20, (void*)BuildPages, nullptr);
        standin.hostGuiCall = h->progress.callOnGui(DoubleOnGui, 21, h->progress.callUser);
    }
#endif
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
