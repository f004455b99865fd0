// The registry: operation tables and probe order built from the format rows.
#include "disk/format_registry.h"

#include <cstring>

namespace {

bool IsTableKind(DiskKind kind)
{
    // Slots 15 and 23 stay empty for good.
    return kind >= 0 && kind < static_cast<DiskKind>(DISK_TABLE_SLOTS) && kind != 15 &&
           kind != static_cast<DiskKind>(DISK_KIND_NONE);
}

bool EqualsIgnoreAsciiCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
}

// The rows that probing tries, gathered with the tables. No list holds more rows than there
// are kinds: 24 table slots and the built-in kinds down to -9.
enum : uint32_t { MAX_PROBED = DISK_TABLE_SLOTS + 9 };

struct Registry {
    const DiskFormatRow* const* rows;
    uint32_t count;
    const DiskFormatRow* probe[MAX_PROBED];
    uint32_t probeCount;
};

Registry g_registry;

bool Build()
{
    uint32_t count = 0;
    const DiskFormatRow* const* rows = DiskFormatRows_List(&count);
    if (rows == nullptr) count = 0;
    g_registry.rows = rows;
    g_registry.count = count;
    g_registry.probeCount = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const DiskFormatRow* row = rows[i];
        if (row == nullptr) continue;
        if (row->probed && g_registry.probeCount < MAX_PROBED)
            g_registry.probe[g_registry.probeCount++] = row;
        if (!IsTableKind(row->kind)) continue;
        // The slots are written directly: the tables' own access would come back here.
        const uint32_t k = static_cast<uint32_t>(row->kind);
        DiskOpenTable.slots[k] = row->open;
        DiskOpenWithHandlerTable.slots[k] = row->openWithHandler;
        DiskCloseTable.slots[k] = row->close;
        DiskGeometryTable.slots[k] = row->geometry;
        DiskReadTable.slots[k] = row->read;
        DiskRangeEmptyTable.slots[k] = row->rangeEmpty;
        DiskCanCompactTable.slots[k] = row->canCompact;
        DiskHasParentTable.slots[k] = row->hasParent;
        DiskRangeUnallocatedTable.slots[k] = row->rangeUnallocated;
    }
    return true;
}

}  // namespace

// ---- Tables -------------------------------------------------------------------------------
// Zero until the registry fills them: constant-initialised, so no global of another file can
// see them half made.

DiskOperationTable<DiskOpenFn> DiskOpenTable;
DiskOperationTable<DiskOpenWithHandlerFn> DiskOpenWithHandlerTable;
DiskOperationTable<DiskCloseFn> DiskCloseTable;
DiskOperationTable<DiskGeometryFn> DiskGeometryTable;
DiskOperationTable<DiskReadFn> DiskReadTable;
DiskOperationTable<DiskRangeEmptyFn> DiskRangeEmptyTable;
DiskOperationTable<DiskCanCompactFn> DiskCanCompactTable;
DiskOperationTable<DiskHasParentFn> DiskHasParentTable;
DiskOperationTable<DiskRangeUnallocatedFn> DiskRangeUnallocatedTable;

void DiskRegistry_Fill()
{
    // Built once, by whichever thread comes first; the others wait for it.
    static const bool built = Build();
    (void)built;
}

const DiskFormatRow* DiskRegistry_Row(DiskKind kind)
{
    DiskRegistry_Fill();
    for (uint32_t i = 0; i < g_registry.count; ++i) {
        const DiskFormatRow* row = g_registry.rows[i];
        if (row != nullptr && row->kind == kind) return row;
    }
    return nullptr;
}

const DiskFormatRow* const* DiskRegistry_ProbeOrder(uint32_t* count)
{
    DiskRegistry_Fill();
    if (count != nullptr) *count = g_registry.probeCount;
    return g_registry.probe;
}

uint32_t DiskRegistry_ExtensionRows(const char* extension, const DiskFormatRow** out, uint32_t max)
{
    DiskRegistry_Fill();
    if (extension == nullptr || extension[0] == 0) return 0;
    uint32_t found = 0;
    for (uint32_t i = 0; i < g_registry.count; ++i) {
        const DiskFormatRow* row = g_registry.rows[i];
        if (row == nullptr) continue;
        for (const char* e : row->extensions) {
            if (e == nullptr || !EqualsIgnoreAsciiCase(extension, e)) continue;
            if (found < max && out != nullptr) out[found] = row;
            ++found;
            break;
        }
    }
    return found;
}

bool DiskMarks_StartsWith(const uint8_t* bytes, uint32_t length, const char* text, uint32_t n)
{
    return length >= n && std::memcmp(bytes, text, n) == 0;
}
