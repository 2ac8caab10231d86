// Block groups: descriptors and bitmaps, allocation and release of single
// blocks and inodes.
#include <algorithm>

#include "ext2_internal.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

Ext2Group* OpenGroup(FsState& part, uint32_t g, bool withBitmaps) {
    Ext2Area a = LoadExt2Area(part);
    if (g >= a.Groups()) return nullptr;
    auto* group = new Ext2Group;
    group->number = g;
    group->descBlock = a.DescBlock(g);
    group->descBuffer.resize(a.B());
    if (ReadBlock(part, group->descBlock, group->descBuffer.data()) != 0) {
        delete group;
        return nullptr;
    }
    group->desc = group->descBuffer.data() + (g % a.DescPerBlock()) * ext2gd::kSize;
    if (withBitmaps) {
        uint32_t inodeBitmap = ld32(group->desc + ext2gd::kInodeBitmap);
        uint32_t blockBitmap = ld32(group->desc + ext2gd::kBlockBitmap);
        group->inodeBitmap.resize(a.B());
        group->blockBitmap.resize(a.B());
        if (!a.ValidBlock(inodeBitmap) || !a.ValidBlock(blockBitmap) ||
            ReadBlock(part, inodeBitmap, group->inodeBitmap.data()) != 0 ||
            ReadBlock(part, blockBitmap, group->blockBitmap.data()) != 0) {
            Log("EXT2 ERROR: Bad group descriptor\r\n");
            delete group;
            return nullptr;
        }
    }
    return group;
}

Status WriteGroup(FsState& part, Ext2Group* group) {
    Status status = 0;
    if (group->inodeDirty &&
        WriteBlock(part, ld32(group->desc + ext2gd::kInodeBitmap), group->inodeBitmap.data()) != 0)
        status = -1;
    if (group->blockDirty &&
        WriteBlock(part, ld32(group->desc + ext2gd::kBlockBitmap), group->blockBitmap.data()) != 0)
        status = -1;
    group->inodeDirty = group->blockDirty = false;
    // Descriptors of other groups share the block and may have changed
    // through their own handles: only this group's 32 bytes are written.
    const size_t offset = size_t(group->desc - group->descBuffer.data());
    std::vector<uint8_t> current(group->descBuffer.size());
    if (ReadBlock(part, group->descBlock, current.data()) != 0) {
        status = -1;
    } else {
        std::copy_n(group->desc, ext2gd::kSize, current.data() + offset);
        if (WriteBlock(part, group->descBlock, current.data()) != 0) status = -1;
    }
    part.state = kStateModified;
    return status;
}

void CloseGroup(Ext2Group* group) {
    delete group;
}

int FindFreeBit(uint8_t* byte) {
    for (int bit = 0; bit < 8; ++bit) {
        if (!(*byte & (1u << bit))) {
            *byte = uint8_t(*byte | (1u << bit));
            return bit;
        }
    }
    return 8;
}

void ReserveBits(uint8_t* bitmap, uint32_t first, uint32_t count) {
    for (uint32_t i = first; i < first + count; ++i)
        bitmap[i / 8] = uint8_t(bitmap[i / 8] | (1u << (i % 8)));
}

namespace {

// The lowest clear bit among the first `bits` bits of a bitmap, set; or
// `bits` when all are set.
uint32_t TakeBit(uint8_t* bitmap, uint32_t bits) {
    for (uint32_t byte = 0; byte * 8 < bits; ++byte) {
        if (bitmap[byte] == 0xFF) continue;
        uint8_t copy = bitmap[byte];
        uint32_t bit = uint32_t(FindFreeBit(&copy));
        if (byte * 8 + bit >= bits) return bits;
        bitmap[byte] = copy;
        return byte * 8 + bit;
    }
    return bits;
}

// Blocks of group g that exist: the last group may be short.
uint32_t BlocksInGroup(const Ext2Area& a, uint32_t g) {
    uint32_t first = a.firstDataBlock + g * a.blocksPerGroup;
    return std::min(a.blocksPerGroup, a.blocksCount - first);
}

// Whether group g starts with a copy of the superblock and descriptors.
bool HasSuperCopy(const Ext2Area& a, uint32_t g) {
    if (g <= 1 || !a.sparseCopies) return true;
    for (uint64_t base : {3u, 5u, 7u}) {
        uint64_t power = base;
        while (power < g)
            power *= base;
        if (power == g) return true;
    }
    return false;
}

void LogMetadataInMap() {
    Log("EXT2 ERROR: Block map names file system metadata\r\n");
}

} // namespace

bool GroupMetadata(FsState& part, const uint8_t* desc, uint32_t g, uint32_t b) {
    Ext2Area a = LoadExt2Area(part);
    const uint32_t start = a.firstDataBlock + g * a.blocksPerGroup;
    const uint32_t copy = a.LastDescBlock() - a.firstDataBlock + 1;
    if (HasSuperCopy(a, g) && b >= start && b - start < copy) return true;
    if (b == ld32(desc + ext2gd::kBlockBitmap) || b == ld32(desc + ext2gd::kInodeBitmap))
        return true;
    const uint32_t table = ld32(desc + ext2gd::kInodeTable);
    const uint32_t tableBlocks = (a.inodesPerGroup + a.InodesPerBlock() - 1) / a.InodesPerBlock();
    return b >= table && b - table < tableBlocks;
}

Status CheckMapBlock(FsState& part, uint32_t b) {
    Ext2Area a = LoadExt2Area(part);
    if (!a.ValidBlock(b)) {
        Log("EXT2 ERROR: Block number out of range\r\n");
        return -1;
    }
    const uint32_t g = (b - a.firstDataBlock) / a.blocksPerGroup;
    uint8_t descBlock[kMaxBlockBytes];
    if (ReadBlock(part, a.DescBlock(g), descBlock) != 0) return -1;
    if (GroupMetadata(part, descBlock + (g % a.DescPerBlock()) * ext2gd::kSize, g, b)) {
        LogMetadataInMap();
        return -1;
    }
    return 0;
}

uint32_t AllocateBlockinGroup(FsState& part, Ext2Group* group) {
    Ext2Area a = LoadExt2Area(part);
    uint16_t free = ld16(group->desc + ext2gd::kFreeBlocks);
    if (free == 0 || group->blockBitmap.empty()) return 0;
    // Bits past the end of the volume are never handed out, whether or not
    // the bitmap marks them.
    uint32_t bits = BlocksInGroup(a, group->number);
    uint32_t bit = TakeBit(group->blockBitmap.data(), bits);
    if (bit >= bits) return 0;
    const uint32_t b = a.blocksPerGroup * group->number + a.firstDataBlock + bit;
    // A bitmap that offers the group's own metadata is damaged: the bit
    // stays as it was and nothing is handed out.
    if (GroupMetadata(part, group->desc, group->number, b)) {
        group->blockBitmap[bit / 8] = uint8_t(group->blockBitmap[bit / 8] & ~(1u << (bit % 8)));
        group->damaged = true;
        Log("EXT2 ERROR: Block bitmap damaged\r\n");
        return 0;
    }
    st16(group->desc + ext2gd::kFreeBlocks, uint16_t(free - 1));
    if (a.freeBlocks) --a.freeBlocks;
    StoreExt2Area(part, a);
    group->blockDirty = true;
    return b;
}

uint32_t AllocateInodeinGroup(FsState& part, Ext2Group* group) {
    Ext2Area a = LoadExt2Area(part);
    uint16_t free = ld16(group->desc + ext2gd::kFreeInodes);
    if (free == 0 || group->inodeBitmap.empty()) return 0;
    uint32_t bit = TakeBit(group->inodeBitmap.data(), a.inodesPerGroup);
    if (bit >= a.inodesPerGroup) return 0;
    uint32_t n = a.inodesPerGroup * group->number + bit + 1;
    // Reserved inodes are never handed out, even if their bits are clear.
    if (n < kExt2FirstInode) {
        Log("EXT2 ERROR: Reserved inode free in the bitmap\r\n");
        return 0;
    }
    st16(group->desc + ext2gd::kFreeInodes, uint16_t(free - 1));
    if (a.freeInodes) --a.freeInodes;
    StoreExt2Area(part, a);
    group->inodeDirty = true;
    return n;
}

Status FreeBlock(FsState& part, uint32_t b) {
    Ext2Area a = LoadExt2Area(part);
    if (b == 0 || !a.ValidBlock(b)) return -1;
    uint32_t g = (b - a.firstDataBlock) / a.blocksPerGroup;
    uint32_t bit = (b - a.firstDataBlock) % a.blocksPerGroup;
    Ext2Group* group = OpenGroup(part, g, true);
    if (!group) return -1;
    // A map that names metadata never frees it.
    if (GroupMetadata(part, group->desc, g, b)) {
        LogMetadataInMap();
        CloseGroup(group);
        return -1;
    }
    Status status = 0;
    uint8_t& byte = group->blockBitmap[bit / 8];
    if (byte & (1u << (bit % 8))) {
        byte = uint8_t(byte & ~(1u << (bit % 8)));
        st16(group->desc + ext2gd::kFreeBlocks,
             uint16_t(ld16(group->desc + ext2gd::kFreeBlocks) + 1));
        a = LoadExt2Area(part);
        ++a.freeBlocks;
        StoreExt2Area(part, a);
        group->blockDirty = true;
        status = WriteGroup(part, group);
    }
    CloseGroup(group);
    return status;
}

Status FreeInode(FsState& part, uint32_t n) {
    Ext2Area a = LoadExt2Area(part);
    if (!a.ValidInode(n)) return -1;
    uint32_t g = (n - 1) / a.inodesPerGroup;
    uint32_t bit = (n - 1) % a.inodesPerGroup;
    Ext2Group* group = OpenGroup(part, g, true);
    if (!group) return -1;
    Status status = 0;
    uint8_t& byte = group->inodeBitmap[bit / 8];
    if (byte & (1u << (bit % 8))) {
        byte = uint8_t(byte & ~(1u << (bit % 8)));
        st16(group->desc + ext2gd::kFreeInodes,
             uint16_t(ld16(group->desc + ext2gd::kFreeInodes) + 1));
        a = LoadExt2Area(part);
        ++a.freeInodes;
        StoreExt2Area(part, a);
        group->inodeDirty = true;
        status = WriteGroup(part, group);
    }
    CloseGroup(group);
    return status;
}

} // namespace vk
