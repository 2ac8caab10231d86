// Quick format of an ext2 partition, and the pieces of a fresh volume that
// the full restore shares: the block writer, the superblock, the group
// descriptors and bitmaps, and the block maps of files laid out in one run.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "ext2_internal.h"
#include "fresh.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr uint32_t kB = kExt2FreshBlock;
constexpr uint32_t kSectorsPerBlock = kB / kSectorSize;
constexpr uint32_t kP = kB / 4;

Status WriteAt(FsState& part, uint32_t block, uint32_t count, const uint8_t* data) {
    return Seek(part, block * kSectorsPerBlock) != 0 ||
                   WriteSects(part, uint16_t(count * kSectorsPerBlock), data) != 0
               ? 1
               : 0;
}

// Sets bits [first, first + count) of a bitmap.
void SetBits(uint8_t* bitmap, uint32_t first, uint32_t count) {
    for (uint32_t bit = first; bit < first + count; ++bit)
        bitmap[bit / 8] = uint8_t(bitmap[bit / 8] | (1u << (bit % 8)));
}

uint32_t Clamp(uint64_t value, uint32_t most) {
    return uint32_t(std::min<uint64_t>(value, most));
}

} // namespace

BlockStream::BlockStream(FsState& part) : part(part), buffer_(new uint8_t[kBlocks * kB]) {}

Status BlockStream::Put(uint32_t b, const uint8_t* data) {
    if (count_ > 0 && b != first_ + count_ && Flush() != 0) return 1;
    if (count_ == 0) first_ = b;
    std::memcpy(buffer_.get() + count_ * kB, data, kB);
    ++count_;
    return count_ == kBlocks ? Flush() : 0;
}

Status BlockStream::Flush() {
    if (count_ == 0) return 0;
    MonitorESC();
    Status status = WriteAt(part, first_, count_, buffer_.get());
    count_ = 0;
    return status;
}

void StoreFreshArea(FsState& part, const Ext2Geometry& g) {
    Ext2Area area{};
    area.blocksCount = g.blocksCount;
    area.sectorsPerBlock = kSectorsPerBlock;
    area.blocksPerGroup = kExt2FreshPerGroup;
    area.inodesPerGroup = g.inodesPerGroup;
    area.firstDataBlock = 1;
    area.inodesCount = g.totalInodes;
    area.inodeSize = ext2ino::kSize;
    area.writable = 1;
    area.typedRecords = 0;
    StoreExt2Area(part, area);
}

Status BuildSuper(FsState& part, const Ext2Geometry& g, uint32_t totalInodes, const char* label) {
    using namespace ext2sb;
    uint8_t s[kSize] = {};
    st32(s + kInodesCount, totalInodes);
    st32(s + kBlocksCount, g.blocksCount);
    st32(s + kFirstDataBlock, 1);
    st32(s + kBlocksPerGroup, kExt2FreshPerGroup);
    st32(s + kFragsPerGroup, kExt2FreshPerGroup);
    st32(s + kInodesPerGroup, g.inodesPerGroup);
    st16(s + kMaxMountCount, 20);
    // Written last, on a complete volume: the magic, the clean state and
    // the free counts make the volume.
    const Ext2Area area = LoadExt2Area(part);
    st16(s + kMagic, kMagicValue);
    st32(s + kFreeBlocks, area.freeBlocks);
    st32(s + kFreeInodes, area.freeInodes);
    st16(s + kState, kStateCleanValue);
    st16(s + kErrors, 1);
    std::memcpy(s + kUuid, "VESKLOR", 7);
    s[kUuid + 7] = part.disk;
    s[kUuid + 8] = uint8_t(part.partition);
    if (label != nullptr) std::memcpy(s + kVolumeName, label, strnlen(label, kVolumeNameSize));
    return Seek(part, kSector) != 0 || WriteSects(part, uint16_t(kSize / kSectorSize), s) != 0 ? 1
                                                                                               : 0;
}

Status ForgetOldVolume(FsState& part, uint64_t sizeSectors) {
    uint8_t zero[ext2sb::kSize] = {};
    if (Seek(part, ext2sb::kSector) != 0 ||
        WriteSects(part, uint16_t(sizeof zero / kSectorSize), zero) != 0)
        return 1;
    // The first backup for every block size, where other tools look when
    // the superblock is gone.
    for (uint64_t bs = 1024; bs <= 65536; bs *= 2) {
        const uint64_t at = (bs * 8 + (bs == 1024 ? 1 : 0)) * bs / kSectorSize;
        if (at + 2 > sizeSectors) break;
        uint8_t sector[kSectorSize];
        if (Seek(part, at) != 0 || ReadSects(part, 1, sector) != 0) return 1;
        if (ld16(sector + ext2sb::kMagic) == ext2sb::kMagicValue &&
            (Seek(part, at) != 0 ||
             WriteSects(part, uint16_t(sizeof zero / kSectorSize), zero) != 0))
            return 1;
    }
    return 0;
}

Status BlankInodeTables(FsState& part, const Ext2Geometry& g, uint32_t from) {
    const uint32_t total = g.groups * g.inodeBlocks;
    while (from < total) {
        const uint32_t group = from / g.inodeBlocks;
        const uint32_t count = g.inodeBlocks - from % g.inodeBlocks;
        if (Seek(part, g.InodeTableBlock(from) * kSectorsPerBlock) != 0 ||
            BlankSects(part, count * kSectorsPerBlock) != 0)
            return 1;
        from = (group + 1) * g.inodeBlocks;
    }
    return 0;
}

Status WriteGroups(FsState& part, const Ext2Geometry& g, const FreshUse& use, BlockStream* stream) {
    std::vector<uint8_t> table(size_t(g.descBlocks) * kB, 0);
    uint8_t blocks[kB], inodes[kB];
    uint64_t freeBlocks = 0, freeInodes = 0;
    const uint32_t ipg = g.inodesPerGroup;
    const uint64_t lastDir = 9 + uint64_t(use.directories); // 11 .. lastDir beside the root
    for (uint32_t n = 0; n < g.groups; ++n) {
        const uint32_t usable = kExt2FreshPerGroup - g.overhead;
        const uint32_t usedData =
            Clamp(use.usedData > uint64_t(n) * usable ? use.usedData - uint64_t(n) * usable : 0,
                  g.GroupData(n));
        const uint64_t firstInode = uint64_t(n) * ipg + 1, lastInode = firstInode + ipg - 1;
        const uint32_t usedInodes =
            use.lastInode >= firstInode ? Clamp(use.lastInode - firstInode + 1, ipg) : 0;
        uint32_t dirs = firstInode <= 2 && 2 <= lastInode ? 1 : 0;
        const uint64_t lo = std::max<uint64_t>(firstInode, 11), hi = std::min(lastInode, lastDir);
        if (hi >= lo) dirs += uint32_t(hi - lo + 1);

        std::memset(blocks, 0, sizeof blocks);
        SetBits(blocks, 0, g.overhead + usedData);
        SetBits(blocks, g.GroupBlocks(n), kExt2FreshPerGroup - g.GroupBlocks(n));
        std::memset(inodes, 0, sizeof inodes);
        SetBits(inodes, 0, usedInodes);
        SetBits(inodes, ipg, kB * 8 - ipg);
        if (stream->Put(g.BlockBitmap(n), blocks) != 0 ||
            stream->Put(g.InodeBitmap(n), inodes) != 0)
            return 1;

        uint8_t* d = table.data() + size_t(n) * ext2gd::kSize;
        const uint32_t groupFreeBlocks = g.GroupData(n) - usedData;
        const uint32_t groupFreeInodes = ipg - usedInodes;
        st32(d + ext2gd::kBlockBitmap, g.BlockBitmap(n));
        st32(d + ext2gd::kInodeBitmap, g.InodeBitmap(n));
        st32(d + ext2gd::kInodeTable, g.InodeTable(n));
        st16(d + ext2gd::kFreeBlocks, uint16_t(groupFreeBlocks));
        st16(d + ext2gd::kFreeInodes, uint16_t(groupFreeInodes));
        st16(d + ext2gd::kUsedDirs, uint16_t(dirs));
        freeBlocks += groupFreeBlocks;
        freeInodes += groupFreeInodes;
    }
    for (uint32_t k = 0; k < g.descBlocks; ++k)
        if (stream->Put(g.GroupStart(0) + 1 + k, table.data() + size_t(k) * kB) != 0) return 1;
    if (stream->Flush() != 0) return 1;
    Ext2Area area = LoadExt2Area(part);
    area.freeBlocks = uint32_t(freeBlocks);
    area.freeInodes = uint32_t(freeInodes);
    StoreExt2Area(part, area);
    return 0;
}

void FillInodeBlocks(uint8_t* inode, const Ext2Geometry& g, uint64_t position,
                     const Ext2RunLayout& layout) {
    const uint64_t data = position + layout.indirect;
    for (uint32_t k = 0; k < std::min<uint32_t>(layout.dataBlocks, ext2ino::kDirect); ++k)
        st32(inode + ext2ino::kBlock + 4 * k, g.DataBlock(data + k));
    if (layout.indirect > 0)
        st32(inode + ext2ino::kBlock + 4 * ext2ino::kSingle, g.DataBlock(position));
    if (layout.doubleLeaves > 0)
        st32(inode + ext2ino::kBlock + 4 * ext2ino::kDouble, g.DataBlock(position + 1));
    if (layout.tripleMiddle > 0)
        st32(inode + ext2ino::kBlock + 4 * ext2ino::kTriple,
             g.DataBlock(position + 2 + layout.doubleLeaves));
    st32(inode + ext2ino::kSectors,
         (uint64_t(layout.indirect) + layout.dataBlocks) * kSectorsPerBlock);
}

Status CreateBlocks(const Ext2Geometry& g, uint64_t position, const Ext2RunLayout& layout,
                    BlockStream* stream) {
    if (layout.indirect == 0) return 0;
    const uint64_t data = position + layout.indirect;
    const uint64_t n = layout.dataBlocks;
    uint8_t block[kB];
    uint64_t at = position;
    // Fills `block` with the data blocks of indices first, first + 1, ...
    // (below n) and writes it at the next position.
    auto leaf = [&](uint64_t first) {
        std::memset(block, 0, sizeof block);
        for (uint32_t j = 0; j < kP && first + j < n; ++j)
            st32(block + 4 * j, g.DataBlock(data + first + j));
        return stream->Put(g.DataBlock(at++), block);
    };
    // An index block whose entries name the positions given.
    auto index = [&](uint32_t count, auto position) {
        std::memset(block, 0, sizeof block);
        for (uint32_t j = 0; j < count; ++j)
            st32(block + 4 * j, g.DataBlock(position(j)));
        return stream->Put(g.DataBlock(at++), block);
    };
    if (leaf(ext2ino::kDirect) != 0) return 1;
    if (layout.doubleLeaves > 0) {
        const uint64_t root = at;
        if (index(layout.doubleLeaves, [&](uint32_t a) { return root + 1 + a; }) != 0) return 1;
        for (uint32_t a = 0; a < layout.doubleLeaves; ++a)
            if (leaf(ext2ino::kDirect + kP + uint64_t(a) * kP) != 0) return 1;
    }
    if (layout.tripleMiddle > 0) {
        const uint64_t root = at;
        if (index(layout.tripleMiddle,
                  [&](uint32_t a) { return root + 1 + uint64_t(a) * (1 + kP); }) != 0)
            return 1;
        const uint64_t base = ext2ino::kDirect + kP + uint64_t(kP) * kP;
        for (uint32_t a = 0; a < layout.tripleMiddle; ++a) {
            const uint32_t first = a * kP;
            const uint32_t leaves = std::min(kP, layout.tripleLeaves - first);
            const uint64_t middle = at;
            if (index(leaves, [&](uint32_t b) { return middle + 1 + b; }) != 0) return 1;
            for (uint32_t b = 0; b < leaves; ++b)
                if (leaf(base + (uint64_t(first) + b) * kP) != 0) return 1;
        }
    }
    return 0;
}

Status Ext2Clean(FsState& part, const char* label) {
    FlushCache();
    Ext2Geometry g;
    if (part.sizeSectors > kExt2MostSectors) {
        char text[120];
        snprintf(text, sizeof text,
                 "EXT2 Clean: a partition of %llu sectors is too large for ext2 (at most %u)\r\n",
                 static_cast<unsigned long long>(part.sizeSectors), unsigned(kExt2MostSectors));
        Log(text);
        return 1;
    }
    if (ComputeExt2Params(uint32_t(part.sizeSectors), &g) != 0) {
        char text[120];
        snprintf(text, sizeof text,
                 "EXT2 Clean: a partition of %u sectors is too small for ext2\r\n",
                 unsigned(part.sizeSectors));
        Log(text);
        return 1;
    }
    // From the first write on, the partition holds no sound volume until
    // the clean is complete: a failure leaves it unwritable for the rest of
    // the run (until it is examined afresh).
    part.valid = 0;
    StoreFreshArea(part, g);
    if (ForgetOldVolume(part, part.sizeSectors) != 0) return 1;

    // The root directory: inode 2 and the first data block of group 0.
    uint8_t block[kB] = {};
    uint8_t* root = block + (kExt2RootInode - 1) * ext2ino::kSize;
    st16(root + ext2ino::kMode, kExt2NewDirMode);
    st32(root + ext2ino::kFileSize, kB);
    st16(root + ext2ino::kLinks, 2);
    FillInodeBlocks(root, g, 0, LayOutRun(1, kP));
    BlockStream stream(part);
    if (stream.Put(g.InodeTable(0), block) != 0 || stream.Flush() != 0 ||
        BlankInodeTables(part, g, 1) != 0)
        return 1;
    std::memset(block, 0, sizeof block);
    const uint16_t dot = MakeEntry(kExt2RootInode, ".", block);
    MakeEntry(kExt2RootInode, "..", block + dot);
    st16(block + dot + ext2de::kRecLen, uint16_t(kB - dot));
    if (stream.Put(g.DataBlock(0), block) != 0) return 1;

    FreshUse use;
    use.usedData = 1;
    if (WriteGroups(part, g, use, &stream) != 0 || BuildSuper(part, g, g.totalInodes, label) != 0)
        return 1;
    part.state = kStateModified;
    part.valid = 1;
    return Ext2FlushFsSpecific(part) != 0 ? 1 : 0;
}

} // namespace vk
