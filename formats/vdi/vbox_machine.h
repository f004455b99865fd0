// VirtualBox machine descriptions (and the global registry): the hard disks registered there,
// their differencing children, and the machine state or snapshot using each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum : uint32_t {
    VBOX_MACHINE_MAX_FILE = 1048576,  // larger files are no machine description
    VBOX_MACHINE_MAX_DISKS = 65536,
    VBOX_MACHINE_MAX_NESTING = 64,  // differencing levels below a base disk
    VBOX_MACHINE_PATH_SIZE = 4096
};

struct VBoxDiskEntry {
    int32_t parent;                     // index of the parent entry, -1 for a base disk
    char path[VBOX_MACHINE_PATH_SIZE];  // absolute, UTF-8, terminated
    bool hasLabel;
    std::string label;  // the state or snapshot attaching the disk
};

typedef std::vector<VBoxDiskEntry> VBoxDiskList;

// Reads the disk list of the file at `path`; `currentStateLabel` labels disks attached by the
// machine's current state. False (out untouched) when the file is no readable description.
bool VBoxMachine_ReadDisks(const char* path, const char* currentStateLabel, VBoxDiskList* out);
// The same over text in memory; `path` is the file the relative disk paths are resolved against.
bool VBoxMachine_ParseDisks(const char* text, size_t size, const char* path,
                            const char* currentStateLabel, VBoxDiskList* out);
