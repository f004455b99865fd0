// The rules of the destination option pages and of the cylinder rounding.
#include "gui/job/option_rules.h"

#include <cstring>

#include "disk/emulator_images.h"
#include "disk/plugin.h"
#include "disk/raw_writer.h"
#include "disk/split_disk.h"
#include "formats/bochs/bochs.h"
#include "formats/cowd/cowd.h"
#include "formats/parallels/parallels.h"
#include "formats/parallels/parallels_bundle.h"
#include "formats/qcow/qcow.h"
#include "formats/qcow2/qcow2_writer.h"
#include "formats/vdi/vdi.h"
#include "formats/vhd/vhd_fixed.h"
#include "formats/vhd/vhd_records.h"
#include "formats/vhdx/vhdx.h"
#include "formats/vmdk/vmdk.h"
#include "formats/vmdk/vmdk_descriptor.h"
#include "foundation/platform.h"
#include "gui/job/convert_run.h"

namespace {

// The byte size of a geometry's total (the 64-bit or only the 32-bit count) in 64 bits.
bool ByteSize(uint64_t total, uint32_t bytesPerSector, uint64_t* bytes)
{
    return Math_MulU64(total, bytesPerSector, bytes);
}

// W with the heads and sectors per track of a computed geometry.
void TakeChs(const DiskGeometry& computed, DiskGeometry* out)
{
    out->heads = computed.heads;
    out->sectors_per_track = computed.sectors_per_track;
}

int CheckResult(int32_t r) { return r == 0 ? 0 : -1; }

// Version-3 COWD: the SCSI adapter is bit 0 of the job's format flags.
bool CowdScsi(const ConversionJob* job) { return (job->formatFlags & 1u) != 0; }

// The version-3 writer's rules on a final geometry: whole cylinders of the geometry it writes for
// a one-extent disk and for any SCSI disk, and the SCSI size limit.
int CheckCowdV3Final(const ConversionJob* job, const DiskGeometry& g)
{
    if (Cowd_CheckGeometryV3(&g) != 0) return -1;
    const uint64_t total = Geometry_GetTotalSectors(&g);
    const bool scsi = CowdScsi(job);
    uint32_t heads = g.heads, spt = g.sectors_per_track;
    if (scsi) {
        if (total > COWD_MAX_SCSI_SECTORS) return -1;
        Cowd_ScsiGeometry((uint32_t)total, &heads, &spt);
    }
    const uint64_t cylinder = (uint64_t)heads * spt;
    if (cylinder == 0) return -1;
    if ((scsi || Cowd_FitsOneExtent(&g)) && total % cylinder != 0) return -1;
    return 0;
}

}  // namespace

int OptionRules_CheckGeometry(ConversionJob* job, int32_t destKind, const DiskGeometry* geometry)
{
    const DestinationRow* row = Destination_Row(destKind);
    if (row == NULL || row->check == NULL) return -1;
    DiskGeometry g = *geometry;  // the checks get a copy
    return CheckResult(row->check(job, &g));
}

int OptionRules_CheckDestination(ConversionJob* job, int32_t destKind)
{
    DiskGeometry g;
    uint8_t based = 0;
    if (!OptionRules_DestinationGeometry(job, destKind, &g, &based)) return -1;
    if (Geometry_GetTotalSectors(&g) < Geometry_GetTotalSectors(&job->workGeometry)) return -1;
    return OptionRules_CheckGeometry(job, destKind, &g);
}

int OptionRules_CheckFinal(ConversionJob* job, int32_t destKind, const DiskGeometry* geometry)
{
    if (OptionRules_CheckGeometry(job, destKind, geometry) != 0) return -1;
    if (destKind == DEST_COWD3 && CheckCowdV3Final(job, *geometry) != 0) return -1;
    if (destKind == DEST_VMDK &&
        ConvertRun_CheckVmdkLayout(Geometry_GetTotalSectors(geometry), job->vmdkList4,
                                   job->vmdkCheck != 0, job->vmdkSplit != 0,
                                   job->vmdkSplitSectors) != VMDK_LAYOUT_OK)
        return -1;
    return 0;
}

int OptionRules_CheckQcow2Clusters(const DiskGeometry* geometry, uint32_t clusterIndex,
                                   uint64_t* largestGiB)
{
    *largestGiB = 0;
    const uint32_t bits = QCOW2_MIN_CLUSTER_BITS + clusterIndex;
    if (geometry == NULL || bits > QCOW2_MAX_CLUSTER_BITS) return -1;
    // One L2 table of cluster / 8 entries per L1 entry.
    const uint64_t cluster = uint64_t(1) << bits;
    *largestGiB = cluster * (cluster / 8) * QCOW2_MAX_L1_ENTRIES >> 30;
    // The writer's own rule.
    Qcow2Writer w;
    Qcow2_InitWriter(&w);
    return Qcow2_ComputeLayout(&w, Geometry_GetTotalSectors(geometry), bits) == DISK_OK ? 0 : -1;
}

uint32_t OptionRules_RoundVmdkSplit(uint32_t sectors)
{
    const uint64_t grain = 128;
    uint64_t up = ((uint64_t)sectors + grain - 1) / grain * grain;
    if (up > 0xFFFFFFFEull) up = (uint64_t)sectors / grain * grain;
    return (uint32_t)up;
}

bool OptionRules_DestinationGeometry(const ConversionJob* job, int32_t destKind, DiskGeometry* out,
                                     uint8_t* cylinderBased)
{
    const DiskGeometry& w = job->workGeometry;
    const bool due = job->geometryRecompute != 0 || w.heads == 0 || w.sectors_per_track == 0;
    const uint64_t total = Geometry_GetTotalSectors(&w);
    DiskGeometry g = w;
    DiskGeometry computed;
    memset(&computed, 0, sizeof computed);
    uint64_t bytes = 0;
    uint8_t based = 0;
    switch (destKind) {
    case DEST_VMDK:
        if (due) {
            if (!ByteSize(total, w.bytes_per_sector, &bytes)) return false;
            Vmdk_GetDefaultGeometry(bytes, job->vmdkRadio != 0, &computed);
            TakeChs(computed, &g);
            // The SCSI default holds whole MiB, never less than the source.
            if (w.bytes_per_sector == UI_SECTOR_BYTES &&
                Geometry_GetTotalSectors(&computed) > total)
                Geometry_SetTotalSectors(&g, Geometry_GetTotalSectors(&computed));
        }
        break;
    case DEST_COWD3:
    case DEST_COWD2: {
        const bool scsi = destKind == DEST_COWD3 ? CowdScsi(job) : (job->formatFlags != 0);
        if (due) {
            if (!ByteSize(total, w.bytes_per_sector, &bytes)) return false;
            Vmdk_ComputeGeometry(bytes, scsi, &computed);
            TakeChs(computed, &g);
        }
        if (destKind == DEST_COWD3 && scsi && Geometry_FitsIn32Bits(&g)) {
            // The SCSI heads and sectors per track the version-3 writer gives the total: the
            // disk must be whole cylinders of them.
            uint32_t heads = 0, spt = 0;
            Cowd_ScsiGeometry((uint32_t)total, &heads, &spt);
            g.heads = heads;
            g.sectors_per_track = spt;
        }
        // One extent, and a SCSI disk of any size, must be whole cylinders.
        based = destKind == DEST_COWD2 || Cowd_FitsOneExtent(&g) || scsi ? 1 : 0;
        break;
    }
    case DEST_VHD_DYNAMIC:
    case DEST_VHD_FIXED:
    case DEST_PARALLELS_FILE:
    case DEST_HDI:
    case DEST_NHD:
    case DEST_VHD100:
    case DEST_HDIM:
    case DEST_FLAT:
        if (due) {
            // Dynamic VHD and flat images use the same CHS rule as the others.
            if (!ByteSize(total, w.bytes_per_sector, &bytes)) return false;
            if (destKind == DEST_VHD_DYNAMIC)
                Vhd_GetDefaultGeometry(bytes, &computed);
            else
                Vhd_ComputeGeometry(bytes, &computed);
            TakeChs(computed, &g);
        }
        based = destKind == DEST_FLAT ? 0 : 1;
        break;
    case DEST_QCOW:
    case DEST_QCOW2:
        // Always the qcow default of the source's byte size.
        if (!ByteSize(total, w.bytes_per_sector, &bytes)) return false;
        if (destKind == DEST_QCOW)
            Qcow_GetDefaultGeometry(bytes, &g);
        else
            Qcow2_GetDefaultGeometry(bytes, &g);
        break;
    case DEST_PARALLELS_BUNDLE:
        if (due) {
            g.heads = 16;
            g.sectors_per_track = 63;
        }
        based = 1;
        break;
    case DEST_BOCHS_GROWING:
    case DEST_BOCHS_SPARSE:
        // The formats store no geometry: the usual one, the total kept.
        if (due) {
            g.heads = 16;
            g.sectors_per_track = 63;
        }
        break;
    case DEST_VDI:
        if (due) {
            if (!ByteSize(total, w.bytes_per_sector, &bytes)) return false;
            Vhd_ComputeGeometry(bytes, &computed);
            TakeChs(computed, &g);
        }
        break;
    case DEST_THD:
        g.heads = 8;
        g.sectors_per_track = 33;
        based = 1;
        break;
    case DEST_PC98E:
        Geometry_SetTotalSectors(&g, PC98E_TOTAL_SECTORS);
        g.heads = 8;
        g.sectors_per_track = 20;
        based = 1;
        break;
    case DEST_UNZ:
        g.heads = 64;
        g.sectors_per_track = 32;
        based = 1;
        break;
    case DEST_SPLIT:
        // The split set takes the heads and sectors per track typed on its page.
        if (job->splitValues[2] != 0 && job->splitValues[3] != 0) {
            g.heads = job->splitValues[2];
            g.sectors_per_track = job->splitValues[3];
        }
        break;
    case DEST_VHDX:  // VHDX: W as it is
    case DEST_PLUGIN:
        break;
    default:
        return false;
    }
    *out = g;
    *cylinderBased = based;
    return true;
}

bool OptionRules_StoreGeometry(ConversionJob* job)
{
    DiskGeometry g;
    uint8_t based = 0;
    if (!OptionRules_DestinationGeometry(job, job->destKind, &g, &based)) return false;
    job->destGeometry = g;
    job->finalGeometry = g;
    job->cylinderBased = based;
    return true;
}

int OptionRules_RoundToCylinders(ConversionJob* job, int32_t rounding, DiskGeometry* out)
{
    DiskGeometry g = job->destGeometry;
    const uint64_t t = Geometry_GetTotalSectors(&g);
    uint64_t rounded = t;
    const DestinationRow* row = Destination_Row(job->destKind);
    if (row != NULL && row->vhdCylinders) {
        rounded = Geometry_RoundToCylinders(&g, rounding == 1 ? 1 : rounding == 2 ? -1 : 0);
    } else {
        const uint64_t c = (uint64_t)g.heads * g.sectors_per_track;
        if (c != 0 && rounding == 2) {
            rounded = t / c * c;
        } else if (c != 0 && rounding == 1 && t % c != 0) {
            if (!Math_AddU64(t / c * c, c, &rounded)) rounded = UINT64_MAX;
        }
    }
    Geometry_SetTotalSectors(&g, rounded == UINT64_MAX ? t : rounded);
    *out = g;
    if (rounded == 0) return CYLINDER_ZERO;
    if (rounded > OPTION_MAX_TOTAL_SECTORS) return CYLINDER_DOES_NOT_FIT;
    if (OptionRules_CheckFinal(job, job->destKind, &g) != 0) return CYLINDER_DOES_NOT_FIT;
    return CYLINDER_OK;
}
