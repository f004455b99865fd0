// VirtualBox machine descriptions: the parse of the disk list, its layouts, labels and paths.
#include <cstring>

#include "formats/vdi/vbox_machine.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Init();
    VBoxDiskList list;
    if (!VBoxMachine_ParseDisks(reinterpret_cast<const char*>(data), size, "/machines/vm.vbox",
                                "Current", &list))
        return 0;
    // Every entry's parent precedes it and every path is absolute and terminated.
    FUZZ_CHECK(list.size() <= VBOX_MACHINE_MAX_DISKS);
    for (size_t i = 0; i < list.size(); i++) {
        FUZZ_CHECK(list[i].parent >= -1 && list[i].parent < static_cast<int32_t>(i));
        FUZZ_CHECK(std::memchr(list[i].path, 0, sizeof list[i].path) != nullptr);
        FUZZ_CHECK(list[i].path[0] == '/');
    }
    return 0;
}
