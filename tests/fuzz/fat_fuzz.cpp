// Feeds hostile FAT volumes to the FAT driver. The input chooses the FAT
// width and a few boot-sector fields of an otherwise plausible boot sector,
// then gives (sector, 512 bytes) records that land in the first sectors of
// the partition: the boot sector itself, FSInfo, the FATs, the root area
// and the first data clusters. The driver then walks every directory,
// reads every file, and creates, writes, shrinks and removes a file and a
// directory; all of it must end, stay inside the partition and never crash.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "fs/fat.h"
#include "fs/mbr.h"
#include "platform/console.h"
#include "platform/types.h"

using namespace vk;

namespace {

constexpr uint32_t kCylinders = 64;
constexpr uint64_t kSectors = uint64_t(kCylinders) * 64 * 63;
constexpr uint32_t kStart = 63;
constexpr uint32_t kRecordSectors = 4096; // records land in this many first sectors
uint8_t capture[kCaptureSize];

struct Budget {
    int dirs = 40;
    int entries = 2000;
};

void PutTable(MemoryDisk* disk, uint8_t type) {
    uint8_t sector[512] = {};
    uint8_t* e = sector + pte::kTableOffset;
    e[pte::kStartHead] = 1;
    st16(e + pte::kStartSectCyl, 1);
    e[pte::kType] = type;
    e[pte::kEndHead] = 63;
    st16(e + pte::kEndSectCyl, uint16_t(63 | (63 << 8)));
    st32(e + pte::kStartLBA, kStart);
    st32(e + pte::kSizeLBA, uint32_t(kSectors - kStart));
    sector[510] = 0x55;
    sector[511] = 0xAA;
    disk->PutSector(0, sector);
}

void PutBoot(MemoryDisk* disk, bool fat32, const uint8_t* fields) {
    using namespace fatboot;
    uint8_t b[512] = {};
    st16(b + kBytesPerSector, 512);
    b[kSectorsPerCluster] = uint8_t(1u << (fields[0] % 8));
    b[kNumFats] = 2;
    b[kMedia] = 0xF8;
    st32(b + kTotalSectors, uint32_t(kSectors - kStart) - fields[1]);
    if (fat32) {
        st16(b + kReservedSectors, 32);
        st32(b + kSectorsPerFat32, 1u + ld16(fields + 2) % 2048);
        st32(b + kRootCluster, 2u + fields[4] % 8);
        st16(b + kInfoSector, 1);
        st16(b + kBackupBoot, 6);
    } else {
        st16(b + kReservedSectors, 1);
        st16(b + kRootEntries, 512);
        st16(b + kSectorsPerFat16, uint16_t(1u + ld16(fields + 2) % 256));
    }
    b[510] = 0x55;
    b[511] = 0xAA;
    disk->PutSector(kStart, b);
    uint16_t reserved = fat32 ? 32 : 1;
    uint8_t fat[512] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
    if (fat32) {
        uint8_t info[512] = {};
        st32(info + 0, 0x41615252);
        st32(info + 484, 0x61417272);
        st32(info + 488, ld32(fields + 5));
        st32(info + 492, ld32(fields + 9));
        disk->PutSector(kStart + 1, info);
    }
    disk->PutSector(kStart + reserved, fat);
}

void ReadFile(const FsHandler* h, FsEntry* entry) {
    uint32_t size = 0;
    FsFileHandle* file = nullptr;
    if (h->OpenFile(entry, &size, &file) != 0) return;
    static uint8_t buffer[kChunkMax];
    for (int chunk = 0; chunk < 64; ++chunk) {
        uint16_t n = h->ReadFileChunk(file, buffer);
        if (n == 0) break;
        if (n > kChunkMax) __builtin_trap();
    }
    h->CloseFile(file);
}

void Walk(const FsHandler* h, FsEntry* dirEntry, int depth, Budget& budget) {
    if (--budget.dirs < 0) return;
    FsDirHandle* dir = nullptr;
    if (h->OpenDir(dirEntry, &dir) != 0) return;
    std::vector<FsEntry> subdirs;
    FsEntry entry{};
    while (budget.entries-- > 0 && h->NextDirEntry(dir, &entry) == 0) {
        if (entry.name < entry.path || entry.name > entry.path + kPathMax ||
            std::memchr(entry.path, 0, kPathMax) == nullptr)
            __builtin_trap();
        if (entry.kind == kKindDir) {
            if (depth < 3 && subdirs.size() < 8) {
                subdirs.emplace_back();
                CopyEntry(subdirs.back(), entry);
            }
        } else {
            ReadFile(h, &entry);
        }
    }
    h->CloseDir(dir);
    for (FsEntry& sub : subdirs)
        Walk(h, &sub, depth + 1, budget);
}

void Write(const FsHandler* h, uint8_t how) {
    FsDirHandle* dir = nullptr;
    if (h->OpenDir(nullptr, &dir) != 0) return;
    FsEntry file{}, sub{};
    Status made = h->CreateFile(dir, "A fuzzed file name.txt", nullptr, &file);
    Status madeDir = h->CreateDir(dir, "sub dir", nullptr, &sub);
    h->CloseDir(dir);
    if (made == 0) {
        FsFileHandle* handle = nullptr;
        if (h->RewriteFile(&file, 1000u * (how + 1u), &handle) == 0) {
            static uint8_t buffer[kChunkMax];
            std::memset(buffer, how, sizeof buffer);
            for (int i = 0; i < 4; ++i)
                if (h->WriteFileChunk(handle, buffer, kChunkMax) == 0) break;
            h->AdjustFileSize(handle, &file, 70000);
            h->WriteFileChunk(handle, buffer, 100);
            h->AdjustFileSize(handle, &file, how);
            h->CloseFile(handle);
        }
        ReadFile(h, &file);
        if (how & 1) h->RemoveFile(&file);
    }
    if (madeDir == 0 && (how & 2)) {
        Budget budget;
        Walk(h, &sub, 0, budget);
        h->RemoveDir(&sub);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kHeader = 14;
    if (size < kHeader) return 0;
    FlushParts();
    ResetDisks();
    SetFsHandler(FsKind::Mbr, &MBRHandler);
    SetFsHandler(FsKind::Fat16, &FAT16Handler);
    SetFsHandler(FsKind::Fat32, &FAT32Handler);
    InitFsHandlers();
    LogFileBuff = capture;
    LogFileAvail = 0;
    AllowDiskWrite = 1;
    const bool fat32 = data[0] & 1;
    const bool writes = data[0] & 2;
    const uint8_t how = data[13];

    auto disk = std::make_unique<MemoryDisk>(kSectors * 512);
    PutTable(disk.get(), fat32 ? 0x0C : 0x06);
    PutBoot(disk.get(), fat32, data + 1);
    data += kHeader;
    size -= kHeader;
    // Records: 2-byte sector of the partition, then up to 512 bytes.
    while (size >= 2) {
        uint32_t sector = ld16(data) % kRecordSectors;
        data += 2;
        size -= 2;
        uint8_t sect[512] = {};
        size_t n = std::min<size_t>(size, 512);
        std::memcpy(sect, data, n);
        data += n;
        size -= n;
        disk->PutSector(kStart + sector, sect);
    }
    MemoryDisk* image = disk.get();
    AddDiskDevice(std::move(disk));
    std::vector<uint8_t> mbr = image->Sector(0);

    if (SelectPart(0x80, 1) == 0 && fsstate && fsstate->valid && fsstate->handler) {
        const FsHandler* h = fsstate->handler;
        Budget budget;
        Walk(h, nullptr, 0, budget);
        if (writes) Write(h, how);
        FlushParts();
    }
    // Nothing outside the partition changed.
    if (image->Sector(0) != mbr) __builtin_trap();
    FlushParts();
    ResetDisks();
    return 0;
}
