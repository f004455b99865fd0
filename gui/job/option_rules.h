// The rules of the destination option pages, free of widgets: whether a destination format can
// take a geometry, which geometry the destination gets on Next, and the cylinder rounding of
// the cylinder-boundary page.
//
// Geometries are handled only through Geometry_SetTotalSectors and Geometry_GetTotalSectors, and
// every "total x bytes per sector" is computed in 64 bits with an overflow check.
#pragma once

#include <cstdint>

#include "disk/disk.h"
#include "gui/job/conversion_job.h"

// Largest total a wizard geometry may have (the geometry page's limit).
enum : uint64_t { OPTION_MAX_TOTAL_SECTORS = 0x3FFFFFFFFFFFFFull };

// The capability check of a destination kind on a geometry: 0 the format can hold it, -1 it
// cannot (also for a kind without a check in the destination table, and for a plug-in
// destination that is not loaded or refuses the geometry).
int OptionRules_CheckGeometry(ConversionJob* job, int32_t destKind, const DiskGeometry* geometry);

// The capability check of an option page: OptionRules_CheckGeometry on the geometry that the
// page's rule gives the destination (OptionRules_DestinationGeometry of the job's working
// geometry), not on the working geometry itself; -1 as well when there is no such geometry or
// it holds fewer sectors than the working geometry (the source would be cut).
int OptionRules_CheckDestination(ConversionJob* job, int32_t destKind);

// The capability check and, for a VMDK destination, the layout rules of its options
// (ConvertRun_CheckVmdkLayout), for a version-3 COWD destination the writer's whole-cylinder
// rules (one extent; SCSI of any size), on a final geometry: 0 or -1.
int OptionRules_CheckFinal(ConversionJob* job, int32_t destKind, const DiskGeometry* geometry);

// Whether the qcow2 writer can lay out a disk of the geometry's total with clusters of
// 512 << clusterIndex bytes (its L1 table is limited): 0 yes, -1 no. *largestGiB receives the
// largest disk those clusters hold, in GiB.
int OptionRules_CheckQcow2Clusters(const DiskGeometry* geometry, uint32_t clusterIndex,
                                   uint64_t* largestGiB);

// A typed VMDK split size in whole grains of 128 sectors (64 KiB): rounded up, or down where
// rounding up would leave 32 bits. Other readers misread sparse extents that end inside a grain.
// 100000 gives 100096; 0 stays 0.
uint32_t OptionRules_RoundVmdkSplit(uint32_t sectors);

// The destination geometry of an option page for the job's working geometry W, with whether it
// is cylinder based. A recompute is due when job->geometryRecompute is set or W lacks heads or
// sectors per track. Rules by destination:
//   0 VMDK: when due, the VMDK default for W's bytes with the adapter (vmdkRadio != 0: SCSI);
//   1 COWD version 3: when due, the VMDK rule for W's bytes with the adapter (formatFlags bit 0:
//     SCSI), a SCSI disk taking the writer's size class (64 x 32, 128 x 32 or 255 x 63);
//     cylinder based for one extent and for SCSI (the writer refuses partial cylinders there);
//   2 COWD version 1: when due, the VMDK rule with the adapter (formatFlags 1: SCSI); cylinder
//     based;
//   4 dynamic VHD: when due, the dynamic VHD default; cylinder based;
//   5 fixed VHD, 13 HDI, 15 NHD, 16 VHD1.00, 18 HDIM: when due, the VHD CHS rule; cylinder based;
//   14 THD: always 8 heads, 33 sectors per track; cylinder based;
//   17 PC98E: always 128000 sectors, 8 heads, 20 sectors per track; cylinder based;
//   19 Unz: always 64 heads, 32 sectors per track; cylinder based;
//   3 VHDX: W as it is;
//   21 flat raw image: when due, the VHD CHS rule;
//   22 plug-in: W as it is.
// Heads and sectors per track come from the rule; the total and the bytes per sector stay W's
// (a rule made for 512-byte sectors never changes a disk of other sectors' size), except the
// VMDK SCSI default, which rounds the total up to whole MiB, and PC98E's fixed size.
// False (nothing stored) for a destination without a rule here or a byte size beyond 64 bits.
bool OptionRules_DestinationGeometry(const ConversionJob* job, int32_t destKind, DiskGeometry* out,
                                     uint8_t* cylinderBased);
// OptionRules_DestinationGeometry of job->destKind into job->destGeometry and
// job->finalGeometry with job->cylinderBased.
bool OptionRules_StoreGeometry(ConversionJob* job);

// Results of the cylinder rounding.
enum : int {
    CYLINDER_OK = 0,
    CYLINDER_ZERO = 1,         // rounding down would leave no sector: the page stays
    CYLINDER_DOES_NOT_FIT = 2  // the rounded geometry fails the destination's check (message 124)
};
// Rounds the total of job->destGeometry: rounding 0 keeps it, 1 rounds up and 2 down to whole
// cylinders of heads x sectors per track (the VHD destinations: the VHD rule). A geometry
// without heads or sectors per track keeps its total. The result must hold at least one sector,
// stay within OPTION_MAX_TOTAL_SECTORS and pass OptionRules_CheckFinal; *out receives it either
// way.
int OptionRules_RoundToCylinders(ConversionJob* job, int32_t rounding, DiskGeometry* out);
