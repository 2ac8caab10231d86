// Internals shared by the cache driver's files: the handles and the sector
// access of the cache partition.
#pragma once

#include <cstdint>

#include "disk/fsdriver.h"
#include "records.h"

namespace vk {

struct FsDirHandle {
    int16_t index = 0;       // next entry to enumerate
    uint32_t chain = 0;      // kCrc value of the last sound entry (0 before entry 0)
    int32_t batchFirst = -1; // entry index held at the start of batch, -1 none
    uint8_t batch[cachedir::kReadBatch * cachedir::kEntrySize];
};

struct FsFileHandle {
    uint32_t sector = 0;   // next chunk's first sector
    uint32_t first = 0;    // the file's first data sector
    uint32_t running = 0;  // CRC of the last chunk written or read
    uint32_t expected = 0; // reading: the entry's last-chunk CRC
    int16_t index = 0;     // the entry's index
    uint8_t writing = 0;
    uint8_t failed = 0;
    uint32_t size = 0;        // reading: the announced size
    uint32_t transferred = 0; // file bytes written or read so far
    uint8_t chunk[cachechunk::kBytes];
};

namespace cache {

// Sector transfers on the partition; false on any failure.
bool ReadAt(FsState& part, uint32_t sector, uint32_t count, uint8_t* buffer);
bool WriteAt(FsState& part, uint32_t sector, uint32_t count, const uint8_t* data);
// Stores the correct CRC of an entry (bytes 0..503) at its kCrc offset,
// minus 1 while the file is being written; returns the value stored.
uint32_t SealEntry(uint8_t* entry, bool writing);
// Number of chunks a file of `size` bytes takes.
inline uint32_t ChunksFor(uint32_t size) {
    return uint32_t((uint64_t(size) + cachechunk::kData - 1) / cachechunk::kData);
}

Status OpenDir(FsState& part, FsEntry* entry, FsDirHandle** dir);
Status NextDirEntry(FsState& part, FsDirHandle* dir, FsEntry* entry);
Status CreateFile(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                  FsEntry* entry);
Status CloseDir(FsState& part, FsDirHandle* dir);
Status RemoveFile(FsState& part, FsEntry* entry);
Status Clean(FsState& part, const char* label);

Status OpenFile(FsState& part, FsEntry* entry, uint64_t* size, FsFileHandle** file);
Status RewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file);
uint16_t ReadFileChunk(FsState& part, FsFileHandle* file, uint8_t* buffer);
uint16_t WriteFileChunk(FsState& part, FsFileHandle* file, const uint8_t* buffer, uint16_t length);
Status CloseFile(FsState& part, FsFileHandle* file);
Status AdjustFileSize(FsState& part, FsFileHandle* file, FsEntry* entry, uint32_t newSize);

} // namespace cache
} // namespace vk
