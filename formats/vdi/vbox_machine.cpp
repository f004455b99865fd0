// VirtualBox machine descriptions, read with tinyxml2. Every attribute is untrusted: the file is
// bounded in size, the text must be UTF-8, disk counts and nesting are bounded, and a path that
// does not fit fails the reading.
#include "formats/vdi/vbox_machine.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include <tinyxml2.h>

#include "foundation/path.h"
#include "foundation/text.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

const XMLElement* Child(const XMLElement* e, const char* name)
{
    return e == nullptr ? nullptr : e->FirstChildElement(name);
}

bool EqualNoCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
        if (x != y) return false;
        if (x == 0) return true;
    }
}

// True when the StorageControllers element attaches an image with this uuid.
bool Attaches(const XMLElement* controllers, const char* uuid)
{
    for (const XMLElement* c = Child(controllers, "StorageController"); c != nullptr;
         c = c->NextSiblingElement("StorageController"))
        for (const XMLElement* d = Child(c, "AttachedDevice"); d != nullptr;
             d = d->NextSiblingElement("AttachedDevice"))
            for (const XMLElement* i = Child(d, "Image"); i != nullptr;
                 i = i->NextSiblingElement("Image")) {
                const char* u = i->Attribute("uuid");
                if (u != nullptr && EqualNoCase(u, uuid)) return true;
            }
    return false;
}

// Depth first over named snapshots; an unnamed snapshot is skipped with its descendants. The
// document's depth is bounded by the parser, the walk by `depth`.
const char* SnapshotLabel(const XMLElement* snapshot, const char* uuid, uint32_t depth)
{
    if (snapshot == nullptr || depth > 200) return nullptr;
    const char* name = snapshot->Attribute("name");
    if (name == nullptr) return nullptr;
    if (Attaches(Child(snapshot, "StorageControllers"), uuid)) return name;
    for (const XMLElement* s = Child(Child(snapshot, "Snapshots"), "Snapshot"); s != nullptr;
         s = s->NextSiblingElement("Snapshot")) {
        const char* found = SnapshotLabel(s, uuid, depth + 1);
        if (found != nullptr) return found;
    }
    return nullptr;
}

struct Reader {
    const char* path;
    const char* currentLabel;
    const XMLElement* machine;
    VBoxDiskList list;

    bool Add(const char* diskPath, int32_t parent, const char* uuid, int32_t* index)
    {
        if (diskPath == nullptr || list.size() >= VBOX_MACHINE_MAX_DISKS) return false;
        VBoxDiskEntry entry;
        entry.parent = parent;
        entry.hasLabel = false;
        if (!Path_MakeAbsoluteCStr(path, diskPath, entry.path, sizeof entry.path, TEXT_ENC_UTF8))
            return false;
        if (uuid != nullptr && machine != nullptr) {
            const char* label = nullptr;
            if (Attaches(Child(machine, "StorageControllers"), uuid))
                label = currentLabel;
            else
                label = SnapshotLabel(Child(machine, "Snapshot"), uuid, 0);
            if (label != nullptr) {
                entry.hasLabel = true;
                entry.label = label;
            }
        }
        *index = (int32_t)list.size();
        list.push_back(std::move(entry));
        return true;
    }

    bool AddOldChild(const XMLElement* disk, int32_t parent, uint32_t depth)
    {
        if (depth > VBOX_MACHINE_MAX_NESTING) return false;
        const XMLElement* image = Child(disk, "VirtualDiskImage");
        int32_t index = -1;
        if (image == nullptr || !Add(image->Attribute("filePath"), parent, nullptr, &index))
            return false;
        for (const XMLElement* d = Child(disk, "DiffHardDisk"); d != nullptr;
             d = d->NextSiblingElement("DiffHardDisk"))
            if (!AddOldChild(d, index, depth + 1)) return false;
        return true;
    }

    bool AddNew(const XMLElement* disk, int32_t parent, uint32_t depth)
    {
        if (depth > VBOX_MACHINE_MAX_NESTING) return false;
        int32_t index = -1;
        if (!Add(disk->Attribute("location"), parent, disk->Attribute("uuid"), &index))
            return false;
        for (const XMLElement* d = Child(disk, "HardDisk"); d != nullptr;
             d = d->NextSiblingElement("HardDisk"))
            if (!AddNew(d, index, depth + 1)) return false;
        return true;
    }
};

bool ValidUtf8WithoutNul(const char* text, size_t size)
{
    size_t at = 0;
    while (at < size) {
        if (text[at] == 0) return false;
        const uint32_t n = Text_ValidCharLength(text + at, (uint32_t)(size - at), TEXT_ENC_UTF8);
        if (n == 0) return false;
        at += n;
    }
    return true;
}

}  // namespace

bool VBoxMachine_ParseDisks(const char* text, size_t size, const char* path,
                            const char* currentStateLabel, VBoxDiskList* out)
{
    if (text == nullptr || path == nullptr || out == nullptr || size > VBOX_MACHINE_MAX_FILE)
        return false;
    if (!ValidUtf8WithoutNul(text, size)) return false;
    XMLDocument doc;
    if (doc.Parse(text, size) != tinyxml2::XML_SUCCESS) return false;
    const XMLElement* root = doc.RootElement();
    if (root == nullptr || std::strcmp(root->Name(), "VirtualBox") != 0) return false;
    const XMLElement* global = Child(root, "Global");
    const XMLElement* machine = Child(root, "Machine");
    bool old = true;
    const XMLElement* disks = Child(Child(global, "DiskRegistry"), "HardDisks");
    if (disks == nullptr) {
        old = false;
        disks = Child(Child(global, "MediaRegistry"), "HardDisks");
    }
    if (disks == nullptr) disks = Child(Child(machine, "MediaRegistry"), "HardDisks");
    if (disks == nullptr) return false;
    Reader reader;
    reader.path = path;
    reader.currentLabel = currentStateLabel != nullptr ? currentStateLabel : "";
    reader.machine = machine;
    for (const XMLElement* d = Child(disks, "HardDisk"); d != nullptr;
         d = d->NextSiblingElement("HardDisk"))
        if (!(old ? reader.AddOldChild(d, -1, 0) : reader.AddNew(d, -1, 0))) return false;
    out->swap(reader.list);
    return true;
}

bool VBoxMachine_ReadDisks(const char* path, const char* currentStateLabel, VBoxDiskList* out)
{
    if (path == nullptr) return false;
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        (uint64_t)st.st_size > VBOX_MACHINE_MAX_FILE)
        return false;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    std::vector<char> text((size_t)st.st_size + 1);
    const size_t got = std::fread(text.data(), 1, text.size(), f);
    std::fclose(f);
    // The file may have changed since stat: more than the limit is refused all the same.
    if (got > VBOX_MACHINE_MAX_FILE || got != (size_t)st.st_size) return false;
    return VBoxMachine_ParseDisks(text.data(), got, path, currentStateLabel, out);
}
