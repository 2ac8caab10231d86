// Geometry of a fresh ext2 file system, shared by quick format and full
// restore: 1024-byte blocks in groups of 8192, one inode per 4096 bytes of
// partition, and where each group keeps its metadata and its data. Also
// where a file laid out in one run puts its indirect blocks. Pure
// arithmetic, no disk access.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace vk {

constexpr uint32_t kExt2FreshBlock = 1024;
// Largest partition a fresh volume is made on (restores and cleans refuse
// larger ones): its blocks and sector numbers stay well within 32 bits.
constexpr uint32_t kExt2MostSectors = UINT32_MAX;
constexpr uint32_t kExt2FreshPerGroup = 8192;
constexpr uint32_t kExt2BytesPerInode = 4096;
// A last group must hold its metadata and this many data blocks, or it is
// left out of the volume.
constexpr uint32_t kExt2LastGroupSlack = 50;

struct Ext2Geometry {
    uint32_t blocksCount = 0;    // blocks of the volume, block 0 included
    uint32_t groups = 0;         // N
    uint32_t inodesPerGroup = 0; // a multiple of 8 (whole inode-table blocks)
    uint32_t totalInodes = 0;    // N x inodesPerGroup
    uint32_t descBlocks = 0;     // Gd: blocks of the descriptor table
    uint32_t inodeBlocks = 0;    // It: inode-table blocks per group
    uint32_t overhead = 0;       // O = Gd + It + 3: metadata blocks of each group
    uint32_t lastGroup = 0;      // L: blocks of the last group

    // Layout of group g: superblock copy, descriptors, block bitmap, inode
    // bitmap, inode table, data.
    uint32_t GroupStart(uint32_t g) const { return 1 + kExt2FreshPerGroup * g; }
    uint32_t GroupBlocks(uint32_t g) const {
        return g + 1 == groups ? lastGroup : kExt2FreshPerGroup;
    }
    uint32_t BlockBitmap(uint32_t g) const { return GroupStart(g) + descBlocks + 1; }
    uint32_t InodeBitmap(uint32_t g) const { return GroupStart(g) + descBlocks + 2; }
    uint32_t InodeTable(uint32_t g) const { return GroupStart(g) + descBlocks + 3; }
    uint32_t DataStart(uint32_t g) const { return GroupStart(g) + overhead; }
    uint32_t GroupData(uint32_t g) const { return GroupBlocks(g) - overhead; }
    // Data blocks of the whole volume.
    uint64_t DataBlocks() const {
        return uint64_t(groups - 1) * (kExt2FreshPerGroup - overhead) + (lastGroup - overhead);
    }
    // Block of position i in the sequence of data blocks (group 0's data
    // area, then group 1's, ...); i below DataBlocks().
    uint32_t DataBlock(uint64_t i) const {
        const uint32_t usable = kExt2FreshPerGroup - overhead;
        return DataStart(uint32_t(i / usable)) + uint32_t(i % usable);
    }
    // Block j of the sequence of inode-table blocks (j below N x It).
    uint32_t InodeTableBlock(uint32_t j) const {
        return InodeTable(j / inodeBlocks) + j % inodeBlocks;
    }
};

// Geometry for a partition of `sizeSectors` sectors. A last group smaller
// than its metadata plus 50 blocks is left out (and the volume ends before
// it). 0, or 1 when not even one group fits.
Status ComputeExt2Params(uint32_t sizeSectors, Ext2Geometry* out);

// A file's blocks laid out in one run: first its indirect blocks (the
// single indirect block; the double indirect block and its second-level
// blocks; the triple indirect block and, for each of its second-level
// blocks, that block followed by its third-level blocks), then its data
// blocks in order. P block numbers fit in one indirect block.
struct Ext2RunLayout {
    uint32_t dataBlocks = 0;
    uint32_t indirect = 0;     // indirect blocks in front of the data
    uint32_t doubleLeaves = 0; // second-level blocks under the double indirect block
    uint32_t tripleMiddle = 0; // second-level blocks under the triple indirect block
    uint32_t tripleLeaves = 0; // third-level blocks under them
};
Ext2RunLayout LayOutRun(uint32_t dataBlocks, uint32_t P);

} // namespace vk
