// The raw writer of contiguous images and the flat raw image with its ".txt" description.
#include "disk/raw_writer.h"

#include <cstring>

#include "disk/writer_kit.h"
#include "foundation/format.h"
#include "foundation/platform.h"
#include "foundation/range.h"
#include "volume/used_map.h"
#include "foundation/text.h"
#include "foundation/write_kit.h"

namespace {

const uint32_t kPathSize = 4096;
const uint32_t kTxtMaxSize = 2048;

bool Report(ProgressCallback callback, void* user, uint64_t done, uint64_t total)
{
    return WriteKit_Progress(callback, user, done, total);
}

// Reads a chunk of n sectors at `first` into buffer. Sectors of 512 bytes go through the writer
// kit: a chunk known to read as zeros or free by the map is not read, and only the map's used
// runs are read. Other sector sizes are read whole, free sectors then zeroed (bits holds n bits
// of scratch). *zero tells whether the chunk reads as zeros; only then may buffer be unfilled.
int ReadChunk(const DiskHandle* source, UsedSectorMap* map, uint64_t first, uint32_t n,
              uint32_t bytesPerSector, uint8_t* buffer, uint8_t* bits, bool* zero)
{
    *zero = true;
    if (bytesPerSector == 512) {
        WriterPiece piece;
        int rc = WriterKit_ReadPiece(source, map, first, n, buffer, &piece);
        if (rc == DISK_OK) *zero = piece.zero;
        return rc;
    }
    if (map != nullptr) {
        int rc = UsedMap_GetUsedBits(map, first, static_cast<int32_t>(n), bits);
        if (rc != DISK_OK) return rc;
        if (!Bits_AnySet(bits, 0, n)) return DISK_OK;
    }
    int rc = Disk_Read(source, first * bytesPerSector, n * bytesPerSector, buffer);
    if (rc != DISK_OK) return rc;
    // Free sectors are not copied: they read as zeros in the output.
    for (uint32_t sct = 0; map != nullptr && sct < n; ++sct) {
        if (!Bits_Test(bits, sct))
            std::memset(buffer + static_cast<size_t>(sct) * bytesPerSector, 0, bytesPerSector);
    }
    *zero = Mem_IsZero(buffer, n * bytesPerSector);
    return DISK_OK;
}

}  // namespace

int RawWriter_ZeroFill(ByteStream* file, uint64_t offset, uint64_t length, void* buffer,
                       uint32_t bufferSize)
{
    if (length == 0) return DISK_OK;
    if (file == nullptr || buffer == nullptr || bufferSize == 0) return DISK_ERR_ARG;
    std::memset(buffer, 0, bufferSize);
    while (length > 0) {
        const uint32_t piece = length < bufferSize ? static_cast<uint32_t>(length) : bufferSize;
        if (!Stream_WriteAt(file, offset, piece, buffer)) return DISK_ERR_WRITE;
        offset += piece;
        length -= piece;
    }
    return DISK_OK;
}

namespace {

// Longest stretch of 512-byte sectors passed at once when the source knows it reads as zeros.
const uint32_t kSkipSectors = 0x80000;  // 256 MiB


// Where WriteSparse stores the stretches of a chunk read by WriterKit_ReadDataRuns.
struct SparseRuns {
    ByteStream* out;
    uint64_t at;  // file offset of the chunk's first sector
    bool zero;    // nothing written so far
};

int StoreRun(void* user, uint32_t offset, uint32_t n, const uint8_t* data)
{
    SparseRuns* runs = static_cast<SparseRuns*>(user);
    bool wrote = false;
    if (WriteKit_WriteDataOnly(runs->out, runs->at + static_cast<uint64_t>(offset) * 512, n * 512,
                               data, &wrote) != DISK_OK)
        return DISK_ERR_WRITE;
    if (wrote) runs->zero = false;
    return DISK_OK;
}

// The writer of an image with a used-sector map: free space the map knows of is neither read
// nor written, nor are the source's holes; each used stretch is read once and tested for zeros
// from the same buffer, and pages that hold only zeros are left as holes in the file, which
// gets its length at the end.
// The output is written on a write-only descriptor.
int WriteSparse(const char* path, const DiskHandle* source, UsedSectorMap* map,
                ProgressCallback callback, void* user, uint64_t totalSectors,
                uint32_t bytesPerSector, const void* header, uint32_t headerLength,
                uint64_t dataOffset, uint64_t end, const void* trailer, uint32_t trailerLength,
                uint64_t fileEnd, uint32_t chunkSize)
{
    const uint32_t chunkSectors = chunkSize / bytesPerSector;
    uint8_t* buffer = static_cast<uint8_t*>(Mem_Alloc(chunkSize));
    uint8_t* bits = static_cast<uint8_t*>(Mem_Alloc(chunkSectors / 8 + 1));
    ByteStream* out = nullptr;
    if (buffer == nullptr || bits == nullptr) {
        Mem_Free(buffer);
        Mem_Free(bits);
        return DISK_ERR_NOMEM;
    }
    if (!Stream_CreateWriteOnly(path, fileEnd, false, &out)) {
        Mem_Free(buffer);
        Mem_Free(bits);
        return DISK_ERR_CREATE;
    }
    int rc = DISK_OK;
    do {
        // The header goes out last (the file's holes read as zeros until then): an output that
        // was cancelled or failed carries no header and is not taken for an image.
        if (!Report(callback, user, 0, totalSectors)) {
            rc = DISK_CANCELLED;
            break;
        }
        uint64_t done = 0;
        bool lastZero = false;
        while (done < totalSectors) {
            // After a chunk of zeros, a long stretch that the source knows to read as zeros (a
            // hole of a sparse file) is passed in one step instead of chunk by chunk.
            if (lastZero && bytesPerSector == 512) {
                const uint64_t left = totalSectors - done;
                const uint32_t span =
                    left < kSkipSectors ? static_cast<uint32_t>(left) : kSkipSectors;
                bool known = false;
                if (span > chunkSectors &&
                    Disk_IsRangeKnownZero(source, done, span, &known) == DISK_OK && known) {
                    done += span;
                    if (!Report(callback, user, done, totalSectors)) {
                        rc = DISK_CANCELLED;
                        break;
                    }
                    continue;
                }
            }
            const uint32_t n = totalSectors - done < chunkSectors
                                   ? static_cast<uint32_t>(totalSectors - done)
                                   : chunkSectors;
            const uint32_t bytes = n * bytesPerSector;
            bool zero = true;
            if (bytesPerSector == 512) {
                // Only what may hold data is read, and its pages of zeros stay holes: the
                // sectors left out read as zeros in the new file.
                SparseRuns runs{out, dataOffset + done * 512, true};
                rc = WriterKit_ReadDataRuns(source, map, done, n, buffer, StoreRun, &runs);
                if (rc != DISK_OK) break;
                zero = runs.zero;
            } else {
                rc = ReadChunk(source, map, done, n, bytesPerSector, buffer, bits, &zero);
                if (rc != DISK_OK) break;
                if (!zero && WriteKit_WriteDataOnly(out, dataOffset + done * bytesPerSector,
                                                    bytes, buffer) != DISK_OK) {
                    rc = DISK_ERR_WRITE;
                    break;
                }
            }
            lastZero = zero;
            done += n;
            if (!Report(callback, user, done, totalSectors)) {
                rc = DISK_CANCELLED;
                break;
            }
        }
        if (rc != DISK_OK) break;
        if (!Report(callback, user, totalSectors, totalSectors)) {
            rc = DISK_CANCELLED;
            break;
        }
        if (trailerLength > 0 && !Stream_WriteAt(out, end, trailerLength, trailer)) {
            rc = DISK_ERR_WRITE;
            break;
        }
        if (headerLength > 0 && !Stream_WriteAt(out, 0, headerLength, header)) {
            rc = DISK_ERR_WRITE;
            break;
        }
    } while (false);
    Mem_Free(buffer);
    Mem_Free(bits);
    return WriteKit_CloseOutput(out, false, rc);
}

}  // namespace

namespace {

int WriteImage(const char* path, const DiskHandle* source, UsedSectorMap* map, bool holes,
               ProgressCallback callback, void* user, uint64_t totalSectors,
               uint32_t bytesPerSector, const void* header, uint32_t headerLength,
               uint64_t dataOffset, uint64_t gapLength, const void* trailer, uint32_t trailerLength,
               uint32_t chunkSize)
{
    if (path == nullptr || source == nullptr || bytesPerSector == 0 || chunkSize < bytesPerSector) {
        return DISK_ERR_ARG;
    }
    if (header == nullptr) headerLength = 0;
    if (trailer == nullptr) trailerLength = 0;
    if (headerLength > dataOffset) return DISK_ERR_ARG;
    uint64_t dataBytes = 0, dataEnd = 0, end = 0, fileEnd = 0;
    if (!Math_MulU64(totalSectors, bytesPerSector, &dataBytes) ||
        !Math_AddU64(dataOffset, dataBytes, &dataEnd) || !Math_AddU64(dataEnd, gapLength, &end) ||
        !Math_AddU64(end, trailerLength, &fileEnd)) {
        return DISK_ERR_ARG;
    }

    if (holes) {
        return WriteSparse(path, source, map, callback, user, totalSectors, bytesPerSector, header,
                           headerLength, dataOffset, end, trailer, trailerLength, fileEnd,
                           chunkSize);
    }
    ByteStream* out = nullptr;
    if (!Stream_CreatePreallocated(path, fileEnd, &out)) return DISK_ERR_CREATE;
    const uint32_t chunkSectors = chunkSize / bytesPerSector;
    uint8_t* buffer = static_cast<uint8_t*>(Mem_Alloc(chunkSize));
    uint8_t* bits = static_cast<uint8_t*>(Mem_Alloc(chunkSectors / 8 + 1));
    if (buffer == nullptr || bits == nullptr) {
        Mem_Free(buffer);
        Mem_Free(bits);
        Stream_ClosePreallocated(out);
        return DISK_ERR_NOMEM;
    }

    int rc = DISK_OK;
    do {
        // Zeros where the header goes: the header itself is written last, so that an output that
        // was cancelled or failed carries none and is not taken for an image.
        rc = RawWriter_ZeroFill(out, 0, dataOffset, buffer, chunkSize);
        if (rc != DISK_OK) break;
        if (!Report(callback, user, 0, totalSectors)) {
            rc = DISK_CANCELLED;
            break;
        }
        uint64_t done = 0;
        bool lastSkipped = false;
        while (done < totalSectors) {
            const uint32_t n = totalSectors - done < chunkSectors
                                   ? static_cast<uint32_t>(totalSectors - done)
                                   : chunkSectors;
            const uint32_t bytes = n * bytesPerSector;
            // A chunk that reads as zeros is not written: the preallocated file holds zeros.
            bool skip = true;
            rc = ReadChunk(source, map, done, n, bytesPerSector, buffer, bits, &skip);
            if (rc != DISK_OK) break;
            if (!skip && !Stream_WriteAt(out, dataOffset + done * bytesPerSector, bytes, buffer)) {
                rc = DISK_ERR_WRITE;
                break;
            }
            lastSkipped = skip;
            done += n;
            if (!Report(callback, user, done, totalSectors)) {
                rc = DISK_CANCELLED;
                break;
            }
        }
        if (rc != DISK_OK) break;
        // A skipped last chunk leaves zeros of the preallocated file; its last sector is written
        // so that the file keeps its full length.
        if (lastSkipped) {
            rc = RawWriter_ZeroFill(out, dataEnd - bytesPerSector, bytesPerSector, buffer,
                                    chunkSize);
            if (rc != DISK_OK) break;
        }
        if (!Report(callback, user, totalSectors, totalSectors)) {
            rc = DISK_CANCELLED;
            break;
        }
        rc = RawWriter_ZeroFill(out, dataEnd, gapLength, buffer, chunkSize);
        if (rc != DISK_OK) break;
        if (trailerLength > 0 && !Stream_WriteAt(out, end, trailerLength, trailer)) {
            rc = DISK_ERR_WRITE;
            break;
        }
        if (headerLength > 0 && !Stream_WriteAt(out, 0, headerLength, header)) {
            rc = DISK_ERR_WRITE;
            break;
        }
    } while (false);

    Mem_Free(buffer);
    Mem_Free(bits);
    return WriteKit_CloseOutput(out, true, rc);
}

}  // namespace

int RawWriter_WriteWithMap(const char* path, const DiskHandle* source, UsedSectorMap* map,
                           ProgressCallback callback, void* user, uint64_t totalSectors,
                           uint32_t bytesPerSector, const void* header, uint32_t headerLength,
                           uint64_t dataOffset, uint64_t gapLength, const void* trailer,
                           uint32_t trailerLength, uint32_t chunkSize)
{
    return WriteImage(path, source, map, true, callback, user, totalSectors, bytesPerSector, header,
                      headerLength, dataOffset, gapLength, trailer, trailerLength, chunkSize);
}

int RawWriter_Write(const char* path, const DiskHandle* source, ProgressCallback callback,
                    void* user, uint64_t totalSectors, uint32_t bytesPerSector, const void* header,
                    uint32_t headerLength, uint64_t dataOffset, uint64_t gapLength,
                    const void* trailer, uint32_t trailerLength, uint32_t chunkSize)
{
    return WriteImage(path, source, nullptr, false, callback, user, totalSectors, bytesPerSector,
                      header, headerLength, dataOffset, gapLength, trailer, trailerLength,
                      chunkSize);
}

// ---- Flat raw image ----------------------------------------------------------------------

int32_t FlatImage_CheckGeometry(const DiskGeometry* geometry)
{
    if (geometry == nullptr) return -1;
    return Geometry_ByteSizeFitsInt64(geometry) ? 0 : -1;
}

int FlatImage_WriteTxtFile(const char* imagePath, const DiskGeometry* geometry, const char* mode)
{
    if (imagePath == nullptr || geometry == nullptr || mode == nullptr) return DISK_ERR_ARG;
    const size_t pathLength = std::strlen(imagePath);
    if (pathLength >= kPathSize) return DISK_ERR_ARG;
    char dir[kPathSize];
    char stem[kPathSize];
    Path_SplitCStr(imagePath, dir, stem, nullptr);
    const size_t dirLength = std::strlen(dir);
    const size_t stemLength = std::strlen(stem);
    if (dirLength + stemLength + 4 >= kPathSize) return DISK_ERR_ARG;
    char txtPath[kPathSize];
    std::memcpy(txtPath, dir, dirLength);
    std::memcpy(txtPath + dirLength, stem, stemLength);
    std::memcpy(txtPath + dirLength + stemLength, ".txt", 5);

    TextView name;
    Text_FromCStringUtf8(&name, imagePath + dirLength);
    const uint64_t total = Geometry_GetTotalSectors(geometry);
    const uint64_t cylinderSectors =
        static_cast<uint64_t>(geometry->heads) * geometry->sectors_per_track;
    const uint64_t cylinders = cylinderSectors == 0 ? 0 : total / cylinderSectors;

    uint8_t storage[kTxtMaxSize + 1];
    TextBuffer text;
    TextBuffer_Init(&text, storage, 0, sizeof(storage));
    if (!Text_Format(&text, TEXT_ENC_UTF8,
                     "#bps=%u,sector=%wu\n#file=\"%t\", cyl=%wu, heads=%u, spt=%u\n"
                     "type=disk, path=\"%t\", mode=%s, cylinders=%wu, heads=%u, spt=%u\n",
                     TEXT_ENC_UTF8, geometry->bytes_per_sector, total, name, TEXT_ENC_UTF8,
                     cylinders, geometry->heads, geometry->sectors_per_track, name, TEXT_ENC_UTF8,
                     static_cast<const void*>(mode), TEXT_ENC_UTF8, cylinders, geometry->heads,
                     geometry->sectors_per_track) ||
        text.length > kTxtMaxSize) {
        return DISK_ERR_ARG;
    }

    ByteStream* out = nullptr;
    if (!Stream_CreateFile(txtPath, &out)) return DISK_ERR_CREATE;
    int rc = Stream_WriteAt(out, 0, text.length, storage) ? DISK_OK : DISK_ERR_WRITE;
    if (!Stream_Close(out) && rc == DISK_OK) rc = DISK_ERR_WRITE;
    return rc;
}

int FlatImage_Create(const char* path, const DiskHandle* source, UsedSectorMap* map,
                     ProgressCallback callback, void* user)
{
    if (path == nullptr || source == nullptr || source->object == nullptr) return DISK_ERR_ARG;
    DiskGeometry g{0, 0, 0, 0, 0};
    Disk_GetGeometry(source, &g);
    if (FlatImage_CheckGeometry(&g) != 0) return DISK_ERR_ARG;
    int rc = FlatImage_WriteTxtFile(path, &g, "flat");
    if (rc != DISK_OK) return rc;
    return RawWriter_WriteWithMap(path, source, map, callback, user, Geometry_GetTotalSectors(&g),
                                  g.bytes_per_sector, nullptr, 0, 0, 0, nullptr, 0,
                                  RAW_WRITER_CHUNK);
}
