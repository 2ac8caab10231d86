// Geometry of a fresh ext2 volume and the block layout of a file written
// in one run.
#include "geometry.h"

namespace vk {

Status ComputeExt2Params(uint32_t sizeSectors, Ext2Geometry* out) {
    Ext2Geometry g;
    g.blocksCount = sizeSectors / 2;
    for (;;) {
        if (g.blocksCount < 2) return 1;
        g.groups = (g.blocksCount - 2) / kExt2FreshPerGroup + 1;
        // One inode per 4096 bytes, filling whole inode-table blocks.
        const uint64_t inodes = uint64_t(g.blocksCount) * kExt2FreshBlock / kExt2BytesPerInode;
        const uint32_t perBlock = kExt2FreshBlock / 128;
        uint32_t perGroup = uint32_t((inodes + g.groups - 1) / g.groups);
        perGroup = (perGroup + perBlock - 1) / perBlock * perBlock;
        g.inodesPerGroup = perGroup & ~7u;
        g.lastGroup = (g.blocksCount - 1) % kExt2FreshPerGroup;
        if (g.lastGroup == 0) g.lastGroup = kExt2FreshPerGroup;
        g.descBlocks = (g.groups * 32 + kExt2FreshBlock - 1) / kExt2FreshBlock;
        g.inodeBlocks = (g.inodesPerGroup * 128 + kExt2FreshBlock - 1) / kExt2FreshBlock;
        g.overhead = g.descBlocks + g.inodeBlocks + 3;
        if (g.lastGroup >= g.overhead + kExt2LastGroupSlack) break;
        if (g.groups == 1) return 1;
        g.blocksCount -= g.lastGroup;
    }
    g.totalInodes = g.groups * g.inodesPerGroup;
    *out = g;
    return 0;
}

Ext2RunLayout LayOutRun(uint32_t dataBlocks, uint32_t P) {
    Ext2RunLayout r;
    r.dataBlocks = dataBlocks;
    uint64_t left = dataBlocks;
    left -= left < 12 ? left : 12;
    if (left == 0) return r;
    r.indirect = 1; // single indirect
    left -= left < P ? left : P;
    if (left == 0) return r;
    const uint64_t pp = uint64_t(P) * P;
    const uint64_t inDouble = left < pp ? left : pp;
    r.doubleLeaves = uint32_t((inDouble + P - 1) / P);
    r.indirect += 1 + r.doubleLeaves;
    left -= inDouble;
    if (left == 0) return r;
    r.tripleMiddle = uint32_t((left + pp - 1) / pp);
    r.tripleLeaves = uint32_t((left + P - 1) / P);
    r.indirect += 1 + r.tripleMiddle + r.tripleLeaves;
    return r;
}

} // namespace vk
