// VHD on-disk records (footer, dynamic header, parent locators), their checksum, the options
// record of the VHD writers, and the geometry rule that turns a byte capacity into cylinders,
// heads and sectors per track for every new disk.
//
// Every multi-byte field is big-endian in the file. In memory a record is one block of the same
// layout in host byte order; the converters swap every numeric field (the same swaps serve both
// directions). Byte strings (cookies, ids, the parent name, reserved areas) are never swapped.
#pragma once

#include <cstdint>

#include "disk/disk.h"

// Four-character codes held as u32 values whose big-endian bytes are the characters.
enum : uint32_t {
    VHD_CODE_VPC = 0x76706320,   // "vpc "
    VHD_CODE_VS = 0x76732020,    // "vs  "
    VHD_CODE_WIN = 0x77696E20,   // "win "
    VHD_CODE_QEMU = 0x71656D75,  // "qemu"
    VHD_CODE_QEM2 = 0x71656D32,  // "qem2"
    VHD_CODE_D2V = 0x64327620,   // "d2v "
    VHD_CODE_CTXS = 0x43545853,  // "CTXS"
    VHD_CODE_TAP = 0x74617000,   // "tap\0"
    VHD_CODE_WI2K = 0x5769326B,  // "Wi2k"
    VHD_CODE_WI2R = 0x57693272,  // "Wi2r"
    VHD_CODE_W2RU = 0x57327275,  // "W2ru"
    VHD_CODE_W2KU = 0x57326B75,  // "W2ku"
    VHD_CODE_MAC = 0x4D616320,   // "Mac "
    VHD_CODE_MACX = 0x4D616358   // "MacX"
};

enum : uint32_t {
    VHD_DISK_TYPE_FIXED = 2,
    VHD_DISK_TYPE_DYNAMIC = 3,
    VHD_DISK_TYPE_DIFFERENCING = 4,
    VHD_VERSION = 0x00010000,
    VHD_FOOTER_SIZE = 512,
    VHD_DYNAMIC_HEADER_SIZE = 1024,
    VHD_FOOTER_CHECKSUM_OFFSET = 64,
    VHD_HEADER_CHECKSUM_OFFSET = 36,
    VHD_LOCATOR_COUNT = 8
};

// Largest CHS product a footer can state: 65535 cylinders x 16 heads x 255 sectors per track.
constexpr uint64_t VHD_MAX_CHS_SECTORS = 65535ull * 16 * 255;
// A footer whose current size exceeds the largest CHS product in bytes is sized by its current
// size, whatever its creator and CHS say.
constexpr uint64_t VHD_CURRENT_SIZE_RULE_BYTES = VHD_MAX_CHS_SECTORS * 512;  // 136899993600
// Largest disk the format holds (2040 GiB): other readers refuse anything larger.
constexpr uint64_t VHD_MAX_SECTORS = 0xFF000000ull;

struct VhdFooter {
    uint8_t cookie[8];  // "conectix"
    uint32_t features;
    uint32_t fileFormatVersion;
    uint64_t dataOffset;  // byte offset of the dynamic header; all ones for a fixed disk
    uint32_t timestamp;   // seconds since 2000-01-01 00:00:00 UTC
    uint32_t creatorApplication;
    uint32_t creatorVersion;
    uint32_t creatorHostOs;
    uint64_t originalSize;  // bytes
    uint64_t currentSize;   // bytes
    uint16_t cylinders;
    uint8_t heads;
    uint8_t sectorsPerTrack;
    uint32_t diskType;  // 2 fixed, 3 dynamic, 4 differencing
    uint32_t checksum;
    uint8_t uniqueId[16];
    uint8_t savedState;
    uint8_t reserved[427];
};
static_assert(sizeof(VhdFooter) == VHD_FOOTER_SIZE, "VhdFooter is 512 bytes");

struct VhdParentLocator {
    uint32_t platformCode;        // 0, "Wi2r", "Wi2k", "W2ru", "W2ku" ("Mac ", "MacX" read only)
    uint32_t platformDataSpace;   // bytes reserved for the locator data
    uint32_t platformDataLength;  // bytes of locator data used
    uint32_t reserved;
    uint64_t platformDataOffset;  // byte offset of the locator data in the file
};
static_assert(sizeof(VhdParentLocator) == 24, "VhdParentLocator is 24 bytes");

struct VhdDynamicHeader {
    uint8_t cookie[8];     // "cxsparse"
    uint64_t dataOffset;   // unused, all ones
    uint64_t tableOffset;  // byte offset of the block allocation table
    uint32_t headerVersion;
    uint32_t maxTableEntries;
    uint32_t blockSize;  // bytes
    uint32_t checksum;
    uint8_t parentUniqueId[16];
    uint32_t parentTimestamp;
    uint32_t reserved1;
    uint8_t parentName[512];  // UTF-16 big-endian, NUL-padded
    VhdParentLocator locators[VHD_LOCATOR_COUNT];
    uint8_t reserved2[256];
};
static_assert(sizeof(VhdDynamicHeader) == VHD_DYNAMIC_HEADER_SIZE,
              "VhdDynamicHeader is 1024 bytes");

// Options of every VHD writer; the fixed-disk writer uses the first two fields.
struct VhdCreateOptions {
    uint32_t creatorApplication;  // four-character code
    uint32_t creatorVersion;
    uint32_t batAlignment;  // 1: the block allocation table ends on a 4096-byte boundary
    uint32_t blockSectors;  // block size in sectors
    uint32_t zeroSectorsAfterBat;
    uint32_t zeroSectorsAfterBlock;
};
static_assert(sizeof(VhdCreateOptions) == 24, "VhdCreateOptions is 24 bytes");

// ---- Converters ---------------------------------------------------------------
// Copy the record when src and dst differ, then swap every numeric field of dst.
void Vhd_FooterToHost(const VhdFooter* src, VhdFooter* dst);
void Vhd_FooterToDisk(const VhdFooter* src, VhdFooter* dst);
void Vhd_ConvertParentLocator(const VhdParentLocator* src, VhdParentLocator* dst);
// Also converts the eight locators; the parent name is left as it is.
void Vhd_ConvertDynamicHeader(const VhdDynamicHeader* src, VhdDynamicHeader* dst);

// ---- Checksum -------------------------------------------------------------------
// Sum of the bytes as unsigned values.
uint32_t Vhd_ByteSum(const void* bytes, uint32_t length);
// One's complement of the byte sum of `length` bytes, the 4 bytes of the checksum field at
// `checksumOffset` counted as zero (fields beyond `length` count as absent). The sum does not
// depend on the byte order of the fields.
uint32_t Vhd_ComputeChecksum(const void* bytes, uint32_t length, uint32_t checksumOffset);

// ---- Records of new images --------------------------------------------------------
// Fills a footer in host order for the geometry: "conectix", features 2, version 0x00010000,
// data offset all ones for disk type 2 else 512, the time stamp now, the options' creator
// fields, host "Wi2k", sizes and CHS (Vhd_SetFooterGeometry), a new random unique id, and the
// checksum. DISK_ERR_ARG (footer zeroed) for a geometry Vhd_SetFooterGeometry refuses;
// DISK_ERR_CREATE (footer zeroed) when no unique id can be drawn.
int Vhd_InitFooter(VhdFooter* footer, const DiskGeometry* geometry, const VhdCreateOptions* options,
                   uint32_t diskType);
// Sets the sizes and CHS fields of a host-order footer from the geometry (the footer's creator
// decides how readers size the disk). Heads and sectors per track are copied.
// - A creator that sizes by current size states exactly total x 512 bytes, with cylinders =
//   total / (heads x sectors per track).
// - A CHS-sized creator states whole cylinders, rounded up as the wizard's round-up does:
//   cylinders = ceil(total / (heads x sectors per track)); readers see that many cylinders, the
//   sectors after the total reading as zeros. Sizes = the CHS bytes rounded up to 128 KiB
//   (exactly the CHS bytes where the rounding would pass VHD_CURRENT_SIZE_RULE_BYTES).
// - When the cylinders pass 65535, or the rounded disk passes VHD_MAX_CHS_SECTORS, the footer
//   states 65535/16/255 and exactly total x 512 bytes: the CHS that makes every reader take the
//   size from the current size.
// Every reader thus sees at least the total, and qemu and this program see the same size. The
// checksum is not touched. DISK_ERR_ARG, with nothing changed, when the geometry fails
// Vhd_CheckGeometry.
int Vhd_SetFooterGeometry(VhdFooter* footer, const DiskGeometry* geometry);
// Fills a dynamic header in host order: "cxsparse", data offset all ones, table offset 1536,
// version 0x00010000, max table entries = ceil(sectors / block sectors), block size, checksum.
// DISK_ERR_ARG (header zeroed) when the options' block size is not a power of two of sectors
// whose byte size fits 32 bits.
int Vhd_InitDynamicHeader(VhdDynamicHeader* header, uint32_t sectorCount,
                          const VhdCreateOptions* options);

// An uninitialised options record from Mem_Alloc (free it with Mem_Free); NULL when exhausted.
VhdCreateOptions* Vhd_AllocCreateOptions();

// ---- Geometry ------------------------------------------------------------------
// 0 when a VHD can hold the disk's size: 512-byte sectors and at most VHD_MAX_SECTORS (2040
// GiB), else -1. Children and expansions ask it of the disk they describe.
int32_t Vhd_CheckCapacity(const DiskGeometry* geometry);
// 0 when a VHD writer takes the geometry, else -1: Vhd_CheckCapacity, and heads and sectors per
// track within 1..255 (what a footer holds). Every writer of new disks refuses exactly what it
// refuses; whole cylinders are not needed (Vhd_SetFooterGeometry rounds for CHS creators).
int32_t Vhd_CheckGeometry(const DiskGeometry* geometry);
// The system-wide CHS rule for a new disk of `byteSize` bytes: total = ceil(byteSize / 512),
// 512-byte sectors, heads and sectors per track by the VHD rule. Always true.
bool Vhd_ComputeGeometry(uint64_t byteSize, DiskGeometry* out);
bool Vhd_GetDefaultGeometry(uint64_t byteSize, DiskGeometry* out);

// Sectors of one cylinder for the rounding helpers: 256 for disks of more than 267382799
// sectors, else heads x sectors per track (0 when that product does not fit 32 bits).
uint32_t Geometry_GetCylinderSectors(const DiskGeometry* geometry);
// Total a whole number of cylinders (true when there is no cylinder size to align to).
bool Geometry_IsCylinderAligned(const DiskGeometry* geometry);
// Total rounded down (direction < 0), kept (0) or rounded up (> 0) to whole cylinders. A disk
// is never rounded down to nothing: below one cylinder, rounding down gives one cylinder. A
// geometry without a cylinder size keeps its total; a round-up that would pass 2^64 rounds down.
uint64_t Geometry_RoundToCylinders(const DiskGeometry* geometry, int32_t direction);

// Whether a creator sizes its disks by the current size: "win ", "qem2", "d2v ", "CTXS", "tap\0".
bool Vhd_CreatorUsesCurrentSize(uint32_t creatorApplication);
// Whether a footer (host order) is sized by its current size rather than by its CHS fields: a
// creator of Vhd_CreatorUsesCurrentSize, a CHS of 65535/16/255, or a current size above
// VHD_CURRENT_SIZE_RULE_BYTES.
bool Vhd_FooterUsesCurrentSize(const VhdFooter* footer);
// Sectors of the disk a footer describes: current size / 512 when Vhd_FooterUsesCurrentSize,
// else cylinders x heads x sectors per track.
uint64_t Vhd_FooterDiskSectors(const VhdFooter* footer);
