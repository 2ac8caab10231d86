// Feeds hostile cache partitions to the cache driver. The input gives
// (sector, 512 bytes) records that land in the directory and the first data
// chunks of a one-cylinder cache area; the first byte asks for directory
// entries and chunks to be sealed with correct CRCs (so that the deeper
// paths are reached) and for writes. The driver then enumerates, reads
// every file, creates and writes a file, and removes one; all of it must
// end, stay inside the cache area and never crash.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "fs/cache.h"
#include "fs/mbr.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/types.h"

using namespace vk;

namespace {

constexpr uint32_t kCylinder = 64 * 63;
constexpr uint32_t kCacheStart = 2 * kCylinder; // cylinders 0 and 1 are a partition
constexpr uint64_t kSectors = 3ull * kCylinder;
constexpr uint32_t kRecordSectors = 513 + 64 * 4; // the directory and four chunks
uint8_t capture[kCaptureSize];

void PutTable(MemoryDisk* disk) {
    uint8_t sector[512] = {};
    uint8_t* e = sector + pte::kTableOffset;
    e[pte::kStartHead] = 1;
    st16(e + pte::kStartSectCyl, 1);
    e[pte::kType] = 0x06;
    e[pte::kEndHead] = 63;
    st16(e + pte::kEndSectCyl, uint16_t(63 | (1 << 8)));
    st32(e + pte::kStartLBA, 63);
    st32(e + pte::kSizeLBA, kCacheStart - 63);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    disk->PutSector(0, sector);
}

// Seals every non-empty entry and chains it to the one before.
void SealDirectory(MemoryDisk* disk) {
    uint32_t chain = 0;
    for (uint32_t i = 0; i < 512; ++i) {
        std::vector<uint8_t> e = disk->Sector(kCacheStart + i);
        if (e[0] == 0) break;
        st32(&e[500], 0x48730A43);
        st32(&e[504], CRC32(0, e.data(), 504));
        st32(&e[508], i == 0 ? 0 : chain);
        chain = ld32(&e[504]);
        disk->PutSector(kCacheStart + i, e.data());
    }
}

// Seals the four chunks after the directory as one file's chain.
void SealChunks(MemoryDisk* disk) {
    uint32_t running = 0;
    std::vector<uint8_t> chunk(32768);
    for (uint32_t c = 0; c < 4; ++c) {
        uint32_t first = kCacheStart + 513 + c * 64;
        for (uint32_t s = 0; s < 64; ++s)
            std::memcpy(&chunk[s * 512], disk->Sector(first + s).data(), 512);
        st32(&chunk[32760], running);
        running = CRC32(0, chunk.data(), 32764);
        st32(&chunk[32764], running);
        for (uint32_t s = 0; s < 64; ++s)
            disk->PutSector(first + s, &chunk[s * 512]);
    }
}

void ReadAll(FsState& part, const FsHandler* h, std::vector<FsEntry>& entries) {
    entries.clear();
    FsDirHandle* dir = nullptr;
    if (h->OpenDir(part, nullptr, &dir) != 0) return;
    FsEntry e{};
    while (entries.size() < 600 && h->NextDirEntry(part, dir, &e) == 0)
        entries.push_back(e);
    h->CloseDir(part, dir);
    static uint8_t buffer[kChunkMax];
    for (FsEntry& entry : entries) {
        uint64_t size = 0;
        FsFileHandle* f = nullptr;
        if (h->OpenFile(part, &entry, &size, &f) != 0) continue;
        for (int n = 0; n < 200 && h->ReadFileChunk(part, f, buffer) != 0; ++n) {
        }
        h->CloseFile(part, f);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The cache driver never leaves a partition state modified, so the
    // states are simply started afresh (a flush would also sync the host).
    ResetDisks();
    RegisterFsDriver(MBRDriver);
    RegisterFsDriver(CacheDriver);
    InitFsHandlers();
    LogFileBuff = capture;
    LogFileAvail = 0;
    AllowDiskWrite = 1;
    const uint8_t how = data[0];
    ++data;
    --size;

    auto disk = std::make_unique<MemoryDisk>(kSectors * 512);
    PutTable(disk.get());
    while (size >= 2) {
        uint32_t sector = ld16(data) % kRecordSectors;
        data += 2;
        size -= 2;
        uint8_t sect[512] = {};
        size_t n = std::min<size_t>(size, 512);
        std::memcpy(sect, data, n);
        data += n;
        size -= n;
        disk->PutSector(kCacheStart + sector, sect);
    }
    if (how & 1) SealDirectory(disk.get());
    if (how & 2) SealChunks(disk.get());
    MemoryDisk* image = disk.get();
    AddDiskDevice(std::move(disk));
    std::vector<uint8_t> before = image->Sector(kCacheStart - 1);

    FsState* selected = SelectPart(0x80, -1);
    if (selected && selected->valid && selected->handler) {
        FsState& part = *selected;
        const FsHandler* h = part.handler;
        std::vector<FsEntry> entries;
        ReadAll(part, h, entries);
        if (how & 4) {
            // One chunk always fits the area, so the write never needs more
            // room than a reclaim can give.
            FsDirHandle* dir = nullptr;
            FsEntry made{};
            if (h->OpenDir(part, nullptr, &dir) == 0) {
                if (h->CreateFile(part, dir, "fuzzed", nullptr, &made) == 0) {
                    FsFileHandle* f = nullptr;
                    if (h->RewriteFile(part, &made, 0x7FFFFFFF, &f) == 0) {
                        static const uint8_t piece[100] = {1, 2, 3};
                        h->WriteFileChunk(part, f, piece, sizeof piece);
                        h->AdjustFileSize(part, f, &made, sizeof piece);
                        h->CloseFile(part, f);
                    }
                }
                h->CloseDir(part, dir);
            }
        }
        if ((how & 8) && !entries.empty()) h->RemoveFile(part, &entries[how % entries.size()]);
        ReadAll(part, h, entries);
    }
    // Nothing before the cache area changed.
    if (image->Sector(kCacheStart - 1) != before || image->Sector(0)[510] != 0x55) __builtin_trap();
    InitFsHandlers();
    ResetDisks();
    return 0;
}
