// The superblock: acceptance of a volume, the driver start-up, and the
// flush that writes the counters, the block cache and the backup copies.
#include <algorithm>
#include <ctime>
#include <vector>

#include "disk/disk.h"
#include "ext2_internal.h"
#include "platform/console.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk {

namespace {

Status Refuse(const char* why) {
    Log("EXT2 ERROR: Superblock refused: ");
    Log(why);
    Log("\r\n");
    return 1;
}

Status ReadSuper(FsState& part, uint8_t* super) {
    if (Seek(part, ext2sb::kSector) != 0 || ReadSects(part, 2, super) != 0) return -1;
    return 0;
}

} // namespace

Status LoadSuper(FsState& part, const uint8_t* s) {
    using namespace ext2sb;
    if (ld16(s + kMagic) != kMagicValue) return 1;
    Ext2Area a{};
    a.blocksCount = ld32(s + kBlocksCount);
    if (a.blocksCount == 0xFFFFFFFF) {
        Log("EXT2: Too many blocks in this file system\r\n");
        return 1;
    }
    const uint32_t logBlock = ld32(s + kLogBlockSize);
    if (logBlock > 2) return Refuse("block size");
    a.sectorsPerBlock = 2u << logBlock;
    a.blocksPerGroup = ld32(s + kBlocksPerGroup);
    a.inodesPerGroup = ld32(s + kInodesPerGroup);
    a.firstDataBlock = ld32(s + kFirstDataBlock);
    a.freeInodes = ld32(s + kFreeInodes);
    a.freeBlocks = ld32(s + kFreeBlocks);
    const uint32_t B = a.B();
    const uint32_t revision = ld32(s + kRevision);
    if (revision > 1) return Refuse("revision");
    a.inodeSize = revision == 0 ? uint16_t(ext2ino::kSize) : ld16(s + kInodeSize);
    if (a.inodeSize < ext2ino::kSize || a.inodeSize > B || (a.inodeSize & (a.inodeSize - 1)))
        return Refuse("inode size");
    uint32_t compat = 0, incompat = 0, roCompat = 0;
    if (revision == 1) {
        compat = ld32(s + kFeatureCompat);
        incompat = ld32(s + kFeatureIncompat);
        roCompat = ld32(s + kFeatureRoCompat);
    }
    if (incompat & ~kIncompatReadable) return Refuse("unsupported features");
    a.typedRecords = (incompat & kIncompatFileType) ? 1 : 0;
    a.sparseCopies = (roCompat & kRoCompatSparseSuper) ? 1 : 0;
    if (a.firstDataBlock != (B == 1024 ? 1u : 0u)) return Refuse("first data block");
    if (a.blocksPerGroup < 8 || a.blocksPerGroup > 8 * B || a.blocksPerGroup % 8 != 0)
        return Refuse("blocks per group");
    if (a.inodesPerGroup == 0 || a.inodesPerGroup > 8 * B) return Refuse("inodes per group");
    if (a.blocksCount <= a.firstDataBlock + 1) return Refuse("blocks count");
    if (uint64_t(a.blocksCount) * a.sectorsPerBlock > part.sizeSectors)
        return Refuse("file system larger than its partition");
    const uint64_t inodes = uint64_t(a.Groups()) * a.inodesPerGroup;
    if (inodes > UINT32_MAX || inodes != ld32(s + kInodesCount)) return Refuse("inodes count");
    a.inodesCount = uint32_t(inodes);
    if (inodes < kExt2FirstInode) return Refuse("inodes count");
    if (a.LastDescBlock() >= a.blocksCount) return Refuse("group descriptors");

    // Writes only where the driver keeps every structure right: the
    // original layout, or a dynamic one that uses none of its features.
    a.writable = 1;
    if (revision == 1 &&
        (compat != 0 || incompat != 0 || roCompat != 0 || ld32(s + kFirstInode) != kExt2FirstInode))
        a.readOnlyReason = kReadOnlyFeatures;
    else if (a.inodeSize != ext2ino::kSize)
        a.readOnlyReason = kReadOnlyInodeSize;
    else if (ld16(s + kState) != kStateCleanValue)
        a.readOnlyReason = kReadOnlyState;
    else if (a.freeBlocks > a.blocksCount || a.freeInodes > a.inodesCount)
        a.readOnlyReason = kReadOnlyCounts;
    if (a.readOnlyReason != kWritable) a.writable = 0;

    // Counters changed in memory since the last flush are kept.
    if (part.state == kStateModified) {
        Ext2Area old = LoadExt2Area(part);
        if (old.blocksCount == a.blocksCount && old.inodesCount == a.inodesCount) {
            a.freeBlocks = old.freeBlocks;
            a.freeInodes = old.freeInodes;
        }
    }
    StoreExt2Area(part, a);
    return 0;
}

bool WriteRefused(FsState& part) {
    Ext2Area a = LoadExt2Area(part);
    if (part.valid && a.writable) return false;
    static const char* const reasons[] = {
        "the volume is not valid",
        "it uses file system features this driver does not maintain",
        "its inodes are not 128 bytes",
        "it was not cleanly unmounted or has errors recorded",
        "its free counts are damaged",
    };
    Log("EXT2 ERROR: Volume not written: ");
    Log(part.valid ? reasons[std::min<int>(a.readOnlyReason, 4)] : reasons[0]);
    Log("\r\n");
    return true;
}

Status Ext2InitFsSpecific(FsState& part) {
    // A partition examined afresh (selected anew, formatted, restored) is
    // read from the disk, not from blocks cached before.
    if (CacheServes(&part)) FlushCache();
    uint8_t super[ext2sb::kSize];
    if (ReadSuper(part, super) != 0 || LoadSuper(part, super) != 0) return 1;
    Ext2Area a = LoadExt2Area(part);
    std::vector<uint8_t> block(a.B());
    if (ReadBlock(part, a.firstDataBlock, block.data()) != 0) return 1;
    const size_t offset = a.B() > 1024 ? 1024 : 0;
    return ld16(block.data() + offset + ext2sb::kMagic) == ext2sb::kMagicValue ? 0 : 1;
}

Status SyncSuper(FsState& part) {
    using namespace ext2sb;
    uint8_t s[kSize];
    if (ReadSuper(part, s) != 0 || ld16(s + kMagic) != kMagicValue) {
        Log("EXT2 ERROR: Cannot read the superblock\r\n");
        return -1;
    }
    Ext2Area a = LoadExt2Area(part);
    uint32_t logBlock = 0;
    while ((2u << logBlock) < a.sectorsPerBlock)
        ++logBlock;
    st32(s + kBlocksCount, a.blocksCount);
    if (ld32(s + kLogFragSize) == ld32(s + kLogBlockSize)) st32(s + kLogFragSize, logBlock);
    st32(s + kLogBlockSize, logBlock);
    if (ld32(s + kFragsPerGroup) == ld32(s + kBlocksPerGroup))
        st32(s + kFragsPerGroup, a.blocksPerGroup);
    st32(s + kBlocksPerGroup, a.blocksPerGroup);
    st32(s + kInodesPerGroup, a.inodesPerGroup);
    st32(s + kFirstDataBlock, a.firstDataBlock);
    st32(s + kFreeInodes, a.freeInodes);
    st32(s + kFreeBlocks, a.freeBlocks);
    // Both times advance by one second, but never into the future (other
    // tools take that for a wrong clock).
    const uint32_t now = uint32_t(std::time(nullptr));
    for (size_t field : {kMountTime, kWriteTime}) {
        uint32_t t = ld32(s + field);
        if (t < now) st32(s + field, t + 1);
    }
    if (Seek(part, kSector) != 0 || WriteSects(part, 2, s) != 0) return -1;
    return 0;
}

namespace {

// Copies the superblock and the descriptor table to the start of every
// other group. With blocks above 1024 bytes the copy's superblock sits at
// the start of its block, not 1024 bytes in as in block 0.
Status WriteBackups(FsState& part) {
    Ext2Area a = LoadExt2Area(part);
    const uint32_t count = a.LastDescBlock() - a.firstDataBlock + 1;
    const uint32_t perStep = kChunkMax / a.B();
    std::vector<uint8_t> buffer(kChunkMax);
    Status status = 0;
    for (uint32_t k = 1; status == 0; ++k) {
        const uint64_t target = a.firstDataBlock + uint64_t(k) * a.blocksPerGroup;
        if (target + count > a.blocksCount) break;
        for (uint32_t done = 0; done < count && status == 0; done += perStep) {
            MonitorESC();
            uint16_t n = uint16_t(std::min(perStep, count - done));
            status = ReadBlocks(part, a.firstDataBlock + done, n, buffer.data());
            if (status == 0 && done == 0 && a.B() > 1024) {
                std::copy_n(buffer.data() + 1024, ext2sb::kSize, buffer.data());
                std::fill_n(buffer.data() + ext2sb::kSize, a.B() - ext2sb::kSize, 0);
            }
            if (status == 0) status = WriteBlocks(part, uint32_t(target) + done, n, buffer.data());
        }
    }
    return status;
}

} // namespace

Status Ext2FlushFsSpecific(FsState& part) {
    if (part.state != kStateModified) return 0;
    Status status = SyncSuper(part);
    if (FlushCache() != 0) status = -1;
    part.state = kStateClean;
    const char* backup = ReadSetting("EXT2-Backup");
    bool off = (backup[0] == 'o' || backup[0] == 'O') && (backup[1] == 'f' || backup[1] == 'F') &&
               (backup[2] == 'f' || backup[2] == 'F') && backup[3] == '\0';
    if (!off && status == 0) status = WriteBackups(part);
    if (status != 0) Log("EXT2 ERROR: Cannot write the file system accounting\r\n");
    return status;
}

} // namespace vk
