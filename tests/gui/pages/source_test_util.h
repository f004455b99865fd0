// Disk fixtures and small engine helpers shared by the tests of the source, source-information,
// destination-type and geometry pages.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_open.h"
#include "disk/emulator_images.h"
#include "foundation/platform.h"
#include "gui/job/conversion_job.h"
#include "gui/pages/source_rules.h"
#include "support/test_support.h"

namespace sourcetest {

using testsupport::Quote;
using testsupport::RunCommand;

inline bool HaveFatTools()
{
    return testsupport::HaveTool("mkfs.vfat") && testsupport::HaveTool("sfdisk") &&
           testsupport::HaveTool("mcopy");
}

inline bool HaveExtTools()
{
    return testsupport::HaveTool("mkfs.ext4") && testsupport::HaveTool("sfdisk");
}

// `bytes` of pseudo-random garbage, so that free space is visibly not zero.
inline void WriteGarbage(const std::string& path, size_t bytes, uint32_t seed = 7)
{
    testsupport::WriteFile(path, testsupport::RandomBytes(bytes, seed));
}

// Puts the file system image `fs` into `disk` at byte `offset` without truncating it.
inline void PlaceInto(const std::string& fs, const std::string& disk, uint64_t offset)
{
    std::string cmd = "dd if=" + Quote(fs) + " of=" + Quote(disk) +
                      " bs=512 seek=" + std::to_string(offset / 512) + " conv=notrunc status=none";
    ASSERT_EQ(RunCommand(cmd), 0) << cmd;
}

// A disk of `mib` MiB full of garbage with an MBR whose one partition (from 1 MiB to the end)
// holds a FAT file system with one small file ("fat") or an ext4 file system ("ext4").
inline void MakePartitionedDisk(const std::string& disk, const std::string& fsKind, int mib)
{
    WriteGarbage(disk, (size_t)mib << 20);
    ASSERT_EQ(RunCommand("printf 'label: dos\\nstart=2048, type=" +
                         std::string(fsKind == "fat" ? "c" : "83") + "\\n' | sfdisk -q " +
                         Quote(disk) + " >/dev/null 2>&1"),
              0);
    const std::string fs = disk + ".fs";
    const uint64_t fsBytes = ((uint64_t)mib - 1) << 20;
    testsupport::WriteFile(fs, std::vector<uint8_t>());
    ASSERT_EQ(truncate(fs.c_str(), (off_t)fsBytes), 0);
    if (fsKind == "fat") {
        ASSERT_EQ(RunCommand("mkfs.vfat " + Quote(fs) + " >/dev/null 2>&1"), 0);
        const std::string note = disk + ".txt";
        testsupport::WriteText(note, "a file on the volume\n");
        ASSERT_EQ(RunCommand("mcopy -i " + Quote(fs) + " " + Quote(note) + " ::/NOTE.TXT"), 0);
    } else {
        ASSERT_EQ(RunCommand("mkfs.ext4 -q -F -O ^has_journal " + Quote(fs) + " >/dev/null 2>&1"),
                  0);
    }
    PlaceInto(fs, disk, 1 << 20);
    remove(fs.c_str());
}

// A disk of garbage whose MBR lists no partition at all.
inline void MakeEmptyTableDisk(const std::string& disk, int mib)
{
    WriteGarbage(disk, (size_t)mib << 20, 11);
    ASSERT_EQ(RunCommand("printf 'label: dos\\n' | sfdisk -q " + Quote(disk) + " >/dev/null 2>&1"),
              0);
}

// A PC-98 disk of 40 cylinders of 8 heads x 32 sectors of 512 bytes: an MBR signature that lists
// nothing, the PC-98 table in sector 1 with one partition from cylinder 1 to 30, and a FAT file
// system in it. Open it with Pc98Geometry().
inline DiskGeometry Pc98Geometry()
{
    DiskGeometry g = {40 * 256, 8, 32, 512, 0};
    return g;
}

inline void MakePc98Disk(const std::string& disk)
{
    const uint64_t cylinder = 256;
    std::vector<uint8_t> bytes(40 * cylinder * 512, 0);
    bytes[510] = 0x55;
    bytes[511] = 0xAA;
    uint8_t* record = &bytes[512];
    memset(record, 0x11, 32);
    record[10] = 1;  // start cylinder (little-endian)
    record[11] = 0;
    record[14] = 30;  // end cylinder
    record[15] = 0;
    testsupport::WriteFile(disk, bytes);
    const std::string fs = disk + ".fs";
    testsupport::WriteFile(fs, std::vector<uint8_t>());
    ASSERT_EQ(truncate(fs.c_str(), (off_t)(29 * cylinder * 512)), 0);
    ASSERT_EQ(RunCommand("mkfs.vfat " + Quote(fs) + " >/dev/null 2>&1"), 0);
    PlaceInto(fs, disk, cylinder * 512);
    remove(fs.c_str());
}

// A handle over a raw file with a given geometry (or the 16 x 63 geometry of its size).
inline DiskHandle* OpenRawDisk(const std::string& path, const DiskGeometry* geometry = nullptr)
{
    DiskGeometry g = {0, 16, 63, 512, 0};
    if (geometry != nullptr) {
        g = *geometry;
    } else {
        uint64_t size = 0;
        if (!File_GetSizeByPath(path.c_str(), &size)) return nullptr;
        Geometry_SetTotalSectors(&g, size / 512);
    }
    DiskHandle* h = Disk_Alloc();
    Disk_Init(h);
    if (Disk_OpenRaw(h, path.c_str(), true, 0, &g) != DISK_OK) {
        Mem_Free(h);
        return nullptr;
    }
    return h;
}

inline void CloseDisk(DiskHandle* h)
{
    if (h == nullptr) return;
    Disk_Close(h);
    Mem_Free(h);
}

// An HDI image holding the raw file `raw` (its size a whole number of MiB), 16 heads and 32
// sectors per track (HDI images hold whole cylinders).
inline void MakeHdiFrom(const std::string& raw, const std::string& hdi)
{
    uint64_t size = 0;
    ASSERT_TRUE(File_GetSizeByPath(raw.c_str(), &size));
    DiskGeometry g = {0, 16, 32, 512, 0};
    Geometry_SetTotalSectors(&g, size / 512);
    DiskHandle* source = OpenRawDisk(raw, &g);
    ASSERT_NE(source, nullptr);
    ASSERT_EQ(Hdi_Create(hdi.c_str(), source, nullptr, nullptr, false), DISK_OK);
    CloseDisk(source);
}

// Stand-ins for the qcow2 format until it exists: a file that starts with "QFI\xfb" asks for a
// password; the key "secret" opens it as the raw disk behind its 512-byte header, any other key
// opens the header itself as sector 0 (which has no boot signature).
inline int FakeQcow2Open(DiskHandle* handle, const FileOpener*, const char* path, bool, int, void*)
{
    std::vector<uint8_t> bytes = testsupport::ReadFile(path);
    if (bytes.size() < 4 || memcmp(bytes.data(), "QFI\xfb", 4) != 0) return DISK_ERR_FORMAT;
    (void)handle;
    return DISK_ERR_PASSWORD;
}

inline int FakeKeyedOpen(DiskHandle* handle, const char* path, bool readOnly, DiskKind kind,
                         const uint8_t key[16])
{
    if (kind != DISK_KIND_QCOW2) return DISK_ERR_ARG;
    uint64_t size = 0;
    if (!File_GetSizeByPath(path, &size) || size < 1024) return DISK_ERR_FORMAT;
    uint8_t right[16] = {'s', 'e', 'c', 'r', 'e', 't'};
    const bool ok = memcmp(key, right, 16) == 0;
    DiskGeometry g = {0, 16, 63, 512, 0};
    Geometry_SetTotalSectors(&g, (size - 512) / 512);
    return Disk_OpenRaw(handle, path, readOnly, ok ? 512 : 0, &g);
}

// A stand-in encrypted image: the header, then a disk whose sector 0 ends in 0x55 0xAA.
inline void MakeFakeQcow2(const std::string& path)
{
    std::vector<uint8_t> bytes(512 + 64 * 512, 0x5A);
    memcpy(bytes.data(), "QFI\xfb", 4);
    bytes[512 + 510] = 0x55;
    bytes[512 + 511] = 0xAA;
    testsupport::WriteFile(path, bytes);
}

// Installs the qcow2 stand-ins for the life of the object.
class FakeQcow2Format {
public:
    FakeQcow2Format() : saved_(DiskOpenWithHandlerTable[DISK_KIND_QCOW2])
    {
        DiskOpenWithHandlerTable[DISK_KIND_QCOW2] = FakeQcow2Open;
        SourceRules_KeyedOpen = FakeKeyedOpen;
    }
    ~FakeQcow2Format()
    {
        DiskOpenWithHandlerTable[DISK_KIND_QCOW2] = saved_;
        SourceRules_KeyedOpen = nullptr;
    }

private:
    DiskOpenWithHandlerFn saved_;
};

}  // namespace sourcetest
