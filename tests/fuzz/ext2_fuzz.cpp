// Feeds hostile ext2 volumes to the ext2 driver. A small valid revision-0
// volume (1 KB blocks, two groups, a root with a subdirectory, a small
// file and one reaching its single indirect block) is laid out in memory;
// the input's records then patch bytes of its first 64 blocks: superblock,
// descriptors, bitmaps, inode table and directory and indirect blocks.
// The driver walks every directory, reads every file, and creates, writes,
// shrinks and removes a file and a directory; all of it must end, stay
// inside the partition and never crash.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "ext2_internal.h"
#include "fs/ext2.h"
#include "fs/mbr.h"
#include "platform/console.h"
#include "platform/types.h"

using namespace vk;

namespace {

constexpr uint32_t kCylinders = 8;
constexpr uint64_t kSectors = uint64_t(kCylinders) * 64 * 63;
constexpr uint32_t kStart = 63;
constexpr uint32_t kB = 1024;
constexpr uint32_t kBlocks = 8192, kPerGroup = 4096, kInodesPerGroup = 64;
uint8_t capture[kCaptureSize];

struct Budget {
    int dirs = 40;
    int entries = 2000;
};

void PutTable(MemoryDisk* disk) {
    uint8_t sector[512] = {};
    uint8_t* e = sector + pte::kTableOffset;
    e[pte::kStartHead] = 1;
    st16(e + pte::kStartSectCyl, 1);
    e[pte::kType] = 0x83;
    e[pte::kEndHead] = 63;
    st16(e + pte::kEndSectCyl, uint16_t(63 | ((kCylinders - 1) << 8)));
    st32(e + pte::kStartLBA, kStart);
    st32(e + pte::kSizeLBA, uint32_t(kSectors - kStart));
    sector[510] = 0x55;
    sector[511] = 0xAA;
    disk->PutSector(0, sector);
}

// The volume's first 64 blocks.
struct Volume {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(64 * kB);
    uint8_t* Block(uint32_t b) { return bytes.data() + size_t(b) * kB; }
    uint8_t* Inode(uint32_t n) { return Block(5) + (n - 1) * ext2ino::kSize; }
};

void PutInode(Volume& v, uint32_t n, uint16_t mode, uint32_t size, uint16_t links,
              std::initializer_list<uint32_t> blocks, uint32_t sectors) {
    uint8_t* i = v.Inode(n);
    st16(i + ext2ino::kMode, mode);
    st32(i + ext2ino::kFileSize, size);
    st16(i + ext2ino::kLinks, links);
    st32(i + ext2ino::kSectors, sectors);
    int k = 0;
    for (uint32_t b : blocks)
        st32(i + ext2ino::kBlock + 4 * k++, b);
}

void PutRecord(uint8_t* at, uint32_t inode, const char* name, uint16_t recLen) {
    MakeEntry(inode, name, at);
    st16(at + ext2de::kRecLen, recLen);
}

void BuildVolume(Volume& v) {
    uint8_t* s = v.Block(1);
    st32(s + ext2sb::kInodesCount, 2 * kInodesPerGroup);
    st32(s + ext2sb::kBlocksCount, kBlocks);
    st32(s + ext2sb::kFirstDataBlock, 1);
    st32(s + ext2sb::kBlocksPerGroup, kPerGroup);
    st32(s + ext2sb::kFragsPerGroup, kPerGroup);
    st32(s + ext2sb::kInodesPerGroup, kInodesPerGroup);
    st16(s + ext2sb::kMagic, ext2sb::kMagicValue);
    st16(s + ext2sb::kState, 1);
    const uint32_t used0 = 60; // blocks 1..60 of group 0
    st32(s + ext2sb::kFreeBlocks, (kPerGroup - used0) + (kPerGroup - 1 - 12));
    st32(s + ext2sb::kFreeInodes, 2 * kInodesPerGroup - 13);
    // Descriptors: group 0 at blocks 3, 4, 5..12; group 1 at 4099, 4100, 4101..
    uint8_t* d = v.Block(2);
    st32(d + ext2gd::kBlockBitmap, 3);
    st32(d + ext2gd::kInodeBitmap, 4);
    st32(d + ext2gd::kInodeTable, 5);
    st16(d + ext2gd::kFreeBlocks, uint16_t(kPerGroup - used0));
    st16(d + ext2gd::kFreeInodes, kInodesPerGroup - 13);
    st16(d + ext2gd::kUsedDirs, 2);
    d += ext2gd::kSize;
    st32(d + ext2gd::kBlockBitmap, 4099);
    st32(d + ext2gd::kInodeBitmap, 4100);
    st32(d + ext2gd::kInodeTable, 4101);
    st16(d + ext2gd::kFreeBlocks, uint16_t(kPerGroup - 1 - 12));
    st16(d + ext2gd::kFreeInodes, kInodesPerGroup);
    ReserveBits(v.Block(3), 0, used0);
    ReserveBits(v.Block(4), 0, 13);
    PutInode(v, 2, kExt2NewDirMode, kB, 4, {13}, 2);
    PutInode(v, 11, kExt2NewDirMode, kB, 2, {14}, 2);
    PutInode(v, 12, kExt2NewFileMode, 5000, 1, {15, 16, 17, 18, 19}, 10);
    PutInode(v, 13, kExt2NewFileMode, 40 * kB, 1,
             {20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32}, 82);
    for (uint32_t k = 0; k < 28; ++k)
        st32(v.Block(32) + 4 * k, 33 + k);
    PutRecord(v.Block(13), 2, ".", 12);
    PutRecord(v.Block(13) + 12, 2, "..", 12);
    PutRecord(v.Block(13) + 24, 11, "sub", 12);
    PutRecord(v.Block(13) + 36, 12, "f", 12);
    PutRecord(v.Block(13) + 48, 13, "big", kB - 48);
    PutRecord(v.Block(14), 11, ".", 12);
    PutRecord(v.Block(14) + 12, 2, "..", kB - 12);
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
        if (h->GetFileInfo(&entry) != 0) continue;
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
    if (size < 2) return 0;
    FlushParts();
    ResetDisks();
    SetFsHandler(FsKind::Mbr, &MBRHandler);
    SetFsHandler(FsKind::Ext2, &EXT2Handler);
    InitFsHandlers();
    LogFileBuff = capture;
    LogFileAvail = 0;
    AllowDiskWrite = 1;
    const bool writes = data[0] & 1;
    const uint8_t how = data[1];
    data += 2;
    size -= 2;

    Volume v;
    BuildVolume(v);
    // Records: block (1 byte, of the first 64), offset in it (2 bytes),
    // length (1 byte), then that many bytes.
    while (size >= 4) {
        uint32_t at = (data[0] % 64u) * kB + ld16(data + 1) % kB;
        size_t n = std::min<size_t>({data[3], size - 4, v.bytes.size() - at});
        std::memcpy(v.bytes.data() + at, data + 4, n);
        data += 4 + n;
        size -= 4 + n;
    }
    auto disk = std::make_unique<MemoryDisk>(kSectors * 512);
    PutTable(disk.get());
    for (uint32_t s = 0; s < v.bytes.size() / 512; ++s)
        disk->PutSector(kStart + s, v.bytes.data() + size_t(s) * 512);
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
