// Feeds hostile ext2 volumes to the ext2 driver. A small valid revision-0
// volume (1 KB or 4 KB blocks, two groups, a root with a subdirectory, a
// small file and one reaching its single indirect block) is laid out in
// memory;
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

#include "driver_exerciser.h"
#include "ext2_internal.h"
#include "fs/ext2.h"
#include "partition_disk.h"
#include "platform/types.h"

using namespace vk;
using namespace vk::fuzz;

namespace {

constexpr uint32_t kCylinders = 40;
constexpr uint32_t kInodesPerGroup = 64;
constexpr uint32_t kPatchBlocks = 64; // the input patches these first blocks

// The volume's first blocks: two groups of 4096 1 KB blocks or of 8192
// 4 KB blocks.
struct Volume {
    explicit Volume(uint32_t blockSize) : B(blockSize), bytes(size_t(kPatchBlocks) * blockSize) {}
    uint32_t B;
    std::vector<uint8_t> bytes;
    uint32_t first = 0, perGroup = 0, table = 0;
    uint8_t* Block(uint32_t b) { return bytes.data() + size_t(b) * B; }
    uint8_t* Inode(uint32_t n) { return Block(table) + (n - 1) * ext2ino::kSize; }
};

void PutInode(Volume& v, uint32_t n, uint16_t mode, uint32_t size, uint16_t links,
              const std::vector<uint32_t>& blocks, uint32_t dataBlocks) {
    uint8_t* i = v.Inode(n);
    st16(i + ext2ino::kMode, mode);
    st32(i + ext2ino::kFileSize, size);
    st16(i + ext2ino::kLinks, links);
    st32(i + ext2ino::kSectors, dataBlocks * (v.B / 512));
    for (size_t k = 0; k < blocks.size(); ++k)
        st32(i + ext2ino::kBlock + 4 * k, blocks[k]);
}

void PutRecord(uint8_t* at, uint32_t inode, const char* name, uint16_t recLen) {
    MakeEntry(inode, name, at);
    st16(at + ext2de::kRecLen, recLen);
}

void BuildVolume(Volume& v) {
    const uint32_t B = v.B;
    v.first = B == 1024 ? 1 : 0;
    v.perGroup = B == 1024 ? 4096 : 8192;
    const uint32_t blocks = 2 * v.perGroup, tableBlocks = kInodesPerGroup * 128 / B;
    uint32_t next = v.first;
    uint8_t* s = v.Block(next++) + (B == 1024 ? 0 : 1024);
    const uint32_t desc = next++, blockBitmap = next++, inodeBitmap = next++;
    v.table = next;
    next += tableBlocks;
    const uint32_t root = next++, sub = next++, small = next;
    next += 5;
    const uint32_t big = next; // 12 direct, the indirect block, 28 more
    next += 12 + 1 + 28;
    const uint32_t used0 = next - v.first;
    const uint32_t meta1 = 4 + tableBlocks; // group 1: superblock copy, descriptors, bitmaps, table
    st32(s + ext2sb::kInodesCount, 2 * kInodesPerGroup);
    st32(s + ext2sb::kBlocksCount, blocks);
    st32(s + ext2sb::kFirstDataBlock, v.first);
    st32(s + ext2sb::kLogBlockSize, B == 1024 ? 0 : 2);
    st32(s + ext2sb::kLogFragSize, B == 1024 ? 0 : 2);
    st32(s + ext2sb::kBlocksPerGroup, v.perGroup);
    st32(s + ext2sb::kFragsPerGroup, v.perGroup);
    st32(s + ext2sb::kInodesPerGroup, kInodesPerGroup);
    st16(s + ext2sb::kMagic, ext2sb::kMagicValue);
    st16(s + ext2sb::kState, 1);
    st32(s + ext2sb::kFreeBlocks, (v.perGroup - used0) + (v.perGroup - v.first - meta1));
    st32(s + ext2sb::kFreeInodes, 2 * kInodesPerGroup - 13);
    uint8_t* d = v.Block(desc);
    st32(d + ext2gd::kBlockBitmap, blockBitmap);
    st32(d + ext2gd::kInodeBitmap, inodeBitmap);
    st32(d + ext2gd::kInodeTable, v.table);
    st16(d + ext2gd::kFreeBlocks, uint16_t(v.perGroup - used0));
    st16(d + ext2gd::kFreeInodes, kInodesPerGroup - 13);
    st16(d + ext2gd::kUsedDirs, 2);
    d += ext2gd::kSize;
    const uint32_t g1 = v.first + v.perGroup;
    st32(d + ext2gd::kBlockBitmap, g1 + 2);
    st32(d + ext2gd::kInodeBitmap, g1 + 3);
    st32(d + ext2gd::kInodeTable, g1 + 4);
    st16(d + ext2gd::kFreeBlocks, uint16_t(v.perGroup - v.first - meta1));
    st16(d + ext2gd::kFreeInodes, kInodesPerGroup);
    ReserveBits(v.Block(blockBitmap), 0, used0);
    ReserveBits(v.Block(inodeBitmap), 0, 13);
    PutInode(v, 2, kExt2NewDirMode, B, 4, {root}, 1);
    PutInode(v, 11, kExt2NewDirMode, B, 2, {sub}, 1);
    PutInode(v, 12, kExt2NewFileMode, 5 * B - 100, 1,
             {small, small + 1, small + 2, small + 3, small + 4}, 5);
    std::vector<uint32_t> pointers;
    for (uint32_t k = 0; k < 13; ++k)
        pointers.push_back(big + k);
    PutInode(v, 13, kExt2NewFileMode, 40 * B, 1, pointers, 41);
    for (uint32_t k = 0; k < 28; ++k)
        st32(v.Block(big + 12) + 4 * k, big + 13 + k);
    PutRecord(v.Block(root), 2, ".", 12);
    PutRecord(v.Block(root) + 12, 2, "..", 12);
    PutRecord(v.Block(root) + 24, 11, "sub", 12);
    PutRecord(v.Block(root) + 36, 12, "f", 12);
    PutRecord(v.Block(root) + 48, 13, "big", uint16_t(B - 48));
    PutRecord(v.Block(sub), 11, ".", 12);
    PutRecord(v.Block(sub) + 12, 2, "..", uint16_t(B - 12));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // Every run ends with its partitions flushed; the states start afresh.
    StartDrivers({EXT2Driver});
    const bool writes = data[0] & 1;
    const uint8_t how = data[1];
    Volume v(data[0] & 2 ? 4096 : 1024);
    data += 2;
    size -= 2;
    BuildVolume(v);
    // Records: block (1 byte, of the first 64), offset in it (2 bytes),
    // length (1 byte), then that many bytes.
    while (size >= 4) {
        size_t at = size_t(data[0] % kPatchBlocks) * v.B + ld16(data + 1) % v.B;
        size_t n = std::min<size_t>({data[3], size - 4, v.bytes.size() - at});
        std::memcpy(v.bytes.data() + at, data + 4, n);
        data += 4 + n;
        size -= 4 + n;
    }
    auto disk = PartitionedDisk(kCylinders, 0x83);
    for (uint32_t s = 0; s < v.bytes.size() / 512; ++s)
        disk->PutSector(kPartitionStart + s, v.bytes.data() + size_t(s) * 512);
    ExerciseFirstPartition(std::move(disk), writes, how);
    ResetDisks();
    return 0;
}
