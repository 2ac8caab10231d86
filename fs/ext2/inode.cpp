// Inodes: opening an inode with a private copy of its table block,
// writing it back, allocation of fresh inodes.
#include <algorithm>

#include "ext2_internal.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

Ext2Inode* OpenInode(FsState& part, uint32_t n, bool withIndirect) {
    Ext2Area a = LoadExt2Area(part);
    if (!a.ValidInode(n)) {
        Log("EXT2 ERROR: Inode number out of range\r\n");
        return nullptr;
    }
    const uint32_t g = (n - 1) / a.inodesPerGroup;
    const uint32_t index = (n - 1) % a.inodesPerGroup;
    Ext2Group* group = OpenGroup(part, g, false);
    if (!group) return nullptr;
    uint32_t table = ld32(group->desc + ext2gd::kInodeTable);
    CloseGroup(group);
    const uint32_t tableBlocks = (a.inodesPerGroup + a.InodesPerBlock() - 1) / a.InodesPerBlock();
    if (!a.ValidBlock(table) || a.blocksCount - table < tableBlocks) {
        Log("EXT2 ERROR: Bad group descriptor\r\n");
        return nullptr;
    }
    auto* inode = new Ext2Inode;
    inode->number = n;
    inode->tableBlock = table + index / a.InodesPerBlock();
    inode->offset = (index % a.InodesPerBlock()) * a.inodeSize;
    inode->block.resize(a.B());
    if (ReadBlock(part, inode->tableBlock, inode->block.data()) != 0) {
        delete inode;
        return nullptr;
    }
    inode->raw = inode->block.data() + inode->offset;
    inode->withIndirect = withIndirect;
    const uint16_t mode = ld16(inode->raw + ext2ino::kMode);
    const uint32_t size = ld32(inode->raw + ext2ino::kFileSize);
    // Block pointers replaced by an extent tree cannot be followed.
    if (ld32(inode->raw + ext2ino::kFlags) & ext2ino::kExtentsFlag) {
        Log("EXT2 ERROR: Inode with extents\r\n");
        delete inode;
        return nullptr;
    }
    inode->blockCount = uint32_t((uint64_t(size) + a.B() - 1) / a.B());
    if ((mode & kExt2TypeMask) == kExt2Symlink) {
        // A link of size 0 has no target yet: it is made that way when its
        // target is too long for the inode and comes as content, which
        // needs a block, so it counts as a slow link.
        inode->symlink = size != 0 && size <= kExt2FastLinkMax ? 1 : 2;
        if (inode->symlink == 1) inode->blockCount = 0;
        inode->withIndirect = false;
    }
    return inode;
}

namespace {

Status FlushIndirect(FsState& part, IndirectBuffer& buffer) {
    if (!buffer.dirty) return 0;
    buffer.dirty = false;
    return buffer.block != 0 ? WriteBlock(part, buffer.block, buffer.data.data()) : 0;
}

} // namespace

Status WriteInode(FsState& part, Ext2Inode* inode, bool writeInodeBlock) {
    Ext2Area a = LoadExt2Area(part);
    Status status = 0;
    for (IndirectBuffer* b :
         {&inode->single, &inode->dbl, &inode->dbl2, &inode->tri, &inode->tri2, &inode->tri3})
        if (FlushIndirect(part, *b) != 0) status = -1;
    const uint32_t size = ld32(inode->raw + ext2ino::kFileSize);
    st32(inode->raw + ext2ino::kSectors,
         inode->symlink == 1 ? 0 : SizeInBlocks(size, a.B()) * a.sectorsPerBlock);
    if (writeInodeBlock) {
        // Other handles may have changed other inodes of the same table
        // block since this copy was read: only this inode's bytes are put
        // into the block's current contents.
        std::vector<uint8_t> current(a.B());
        if (ReadBlock(part, inode->tableBlock, current.data()) != 0) return -1;
        std::copy_n(inode->raw, ext2ino::kSize, current.data() + inode->offset);
        std::copy(current.begin(), current.end(), inode->block.begin());
        if (WriteBlock(part, inode->tableBlock, current.data()) != 0) status = -1;
        part.state = kStateModified;
    }
    return status;
}

void CloseInode(Ext2Inode* inode) {
    delete inode;
}

void InodeMergeBuffers(Ext2Inode* dir, const Ext2Inode* child) {
    if (dir->tableBlock != child->tableBlock) return;
    std::copy_n(child->raw, ext2ino::kSize, dir->block.data() + child->offset);
}

Ext2Inode* AllocateInode(FsState& part, uint8_t kind) {
    Ext2Area a = LoadExt2Area(part);
    uint32_t n = 0;
    for (uint32_t g = 0; g < a.Groups() && n == 0; ++g) {
        MonitorESC();
        Ext2Group* group = OpenGroup(part, g, false);
        if (!group) return nullptr;
        bool free = ld16(group->desc + ext2gd::kFreeInodes) != 0;
        CloseGroup(group);
        if (!free) continue;
        group = OpenGroup(part, g, true);
        if (!group) return nullptr;
        n = AllocateInodeinGroup(part, group);
        if (n != 0) {
            if (kind == kKindDir)
                st16(group->desc + ext2gd::kUsedDirs,
                     uint16_t(ld16(group->desc + ext2gd::kUsedDirs) + 1));
            WriteGroup(part, group);
        }
        CloseGroup(group);
    }
    if (n == 0) {
        Log("EXT2: No free inode\r\n");
        return nullptr;
    }
    Ext2Inode* inode = OpenInode(part, n, false);
    if (!inode) return nullptr;
    // An inode that still has links belongs to a file whatever the bitmap
    // says: it is not overwritten.
    if (ld16(inode->raw + ext2ino::kLinks) != 0) {
        Log("EXT2 ERROR: Inode bitmap damaged\r\n");
        CloseInode(inode);
        return nullptr;
    }
    std::fill_n(inode->raw, ext2ino::kSize, 0);
    st16(inode->raw + ext2ino::kMode, kind == kKindDir ? kExt2NewDirMode : kExt2NewFileMode);
    st16(inode->raw + ext2ino::kLinks, 1);
    st32(inode->raw + ext2ino::kGeneration, 1);
    inode->symlink = 0;
    inode->blockCount = 0;
    inode->withIndirect = true;
    return inode;
}

} // namespace vk
