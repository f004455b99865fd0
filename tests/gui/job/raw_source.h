// A raw image file as the source of a conversion job: the set-up the page and run tests share.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk_open.h"
#include "formats/vhd/vhd_records.h"
#include "gui/job/conversion_job.h"
#include "support/test_support.h"

// The geometry these tests give a raw file of `bytes` bytes (the VHD rule).
inline DiskGeometry RawSourceGeometry(uint64_t bytes)
{
    DiskGeometry g{};
    Vhd_ComputeGeometry(bytes, &g);
    return g;
}

// Opens the file at `path` read-only with the geometry as the job's source disk, and records the
// path as the source path.
inline ::testing::AssertionResult OpenRawSource(ConversionJob* job, const std::string& path,
                                                const DiskGeometry& geometry)
{
    job->sourcePath = path.c_str();
    job->sourceDisk = Disk_Alloc();
    Disk_Init(job->sourceDisk);
    const int rc = Disk_OpenRaw(job->sourceDisk, path.c_str(), true, 0, &geometry);
    if (rc == DISK_OK) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "Disk_OpenRaw(" << path << ") answered " << rc;
}

// Writes `bytes` into a raw file at `path` and opens it as the job's source with the geometry
// of its size, which *geometry receives.
inline ::testing::AssertionResult MakeRawSource(ConversionJob* job, const std::string& path,
                                                const std::vector<uint8_t>& bytes,
                                                DiskGeometry* geometry = nullptr)
{
    testsupport::WriteFile(path, bytes);
    const DiskGeometry g = RawSourceGeometry(bytes.size());
    if (geometry != nullptr) *geometry = g;
    return OpenRawSource(job, path, g);
}
