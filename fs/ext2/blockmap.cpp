// An inode's block map: resolving block indices through the indirect
// blocks, appending and removing blocks at the end of the map, and the
// allocation policy that hands blocks out in ascending order.
#include <algorithm>

#include "ext2_internal.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

uint8_t* Pointer(uint8_t* block, uint32_t index) {
    return block + size_t(index) * 4;
}
uint8_t* InodePointer(Ext2Inode* inode, int slot) {
    return inode->raw + ext2ino::kBlock + size_t(slot) * 4;
}

// Makes `buffer` hold indirect block `block` known as `key`, writing back
// what it held before. A block outside the volume or among the metadata
// is refused.
Status Load(FsState& part, IndirectBuffer& buffer, uint32_t key, uint32_t block) {
    if (!buffer.data.empty() && buffer.key == key && buffer.block == block) return 0;
    Ext2Area a = LoadExt2Area(part);
    if (buffer.dirty && buffer.block != 0) WriteBlock(part, buffer.block, buffer.data.data());
    buffer.dirty = false;
    buffer.data.assign(a.B(), 0);
    buffer.key = 0xFFFFFFFF;
    buffer.block = 0;
    if (CheckMapBlock(part, block) != 0) {
        Log("EXT2 ERROR: Bad indirect block\r\n");
        return -1;
    }
    if (ReadBlock(part, block, buffer.data.data()) != 0) return -1;
    buffer.key = key;
    buffer.block = block;
    return 0;
}

// Gives `buffer` a fresh zeroed block `block` as `key`.
void Fresh(FsState& part, IndirectBuffer& buffer, uint32_t key, uint32_t block) {
    if (buffer.dirty && buffer.block != 0) WriteBlock(part, buffer.block, buffer.data.data());
    buffer.data.assign(LoadExt2Area(part).B(), 0);
    buffer.key = key;
    buffer.block = block;
    buffer.dirty = true;
}

void Forget(IndirectBuffer& buffer) {
    buffer = IndirectBuffer{};
}

// True (after logging) when b is one of the indirect blocks loaded for the
// inode: a map that points back into itself is damaged.
bool InMap(Ext2Inode* inode, uint32_t b) {
    for (const IndirectBuffer* x :
         {&inode->single, &inode->dbl, &inode->dbl2, &inode->tri, &inode->tri2, &inode->tri3}) {
        if (x->block == b && !x->data.empty()) {
            Log("EXT2 ERROR: Block map loops\r\n");
            return true;
        }
    }
    return false;
}

// The map slot holding block index `index`: a pointer into the inode or
// into a loaded indirect block, `*owner` the buffer to mark when it is
// changed (null for the inode itself). Null for a hole above the slot
// (*hole set) or damage.
uint8_t* Slot(FsState& part, Ext2Inode* inode, uint32_t index, IndirectBuffer** owner, bool* hole) {
    Ext2Area a = LoadExt2Area(part);
    BlockPath path;
    BlockAddress(index, a.P(), &path);
    *owner = nullptr;
    *hole = false;
    if (path.level == 0) return InodePointer(inode, int(path.index[0]));
    auto step = [&](uint8_t* parent, IndirectBuffer& buffer, uint32_t key) -> bool {
        uint32_t b = ld32(parent);
        if (b == 0) {
            *hole = true;
            return false;
        }
        if (!(buffer.key == key && buffer.block == b) && InMap(inode, b)) return false;
        return Load(part, buffer, key, b) == 0;
    };
    if (path.level == 1) {
        if (!step(InodePointer(inode, ext2ino::kSingle), inode->single, 0)) return nullptr;
        *owner = &inode->single;
        return Pointer(inode->single.data.data(), path.index[0]);
    }
    if (path.level == 2) {
        if (!step(InodePointer(inode, ext2ino::kDouble), inode->dbl, 0)) return nullptr;
        if (!step(Pointer(inode->dbl.data.data(), path.index[0]), inode->dbl2, path.index[0]))
            return nullptr;
        *owner = &inode->dbl2;
        return Pointer(inode->dbl2.data.data(), path.index[1]);
    }
    if (!step(InodePointer(inode, ext2ino::kTriple), inode->tri, 0)) return nullptr;
    if (!step(Pointer(inode->tri.data.data(), path.index[0]), inode->tri2, path.index[0]))
        return nullptr;
    if (!step(Pointer(inode->tri2.data.data(), path.index[1]), inode->tri3,
              path.index[0] * a.P() + path.index[1]))
        return nullptr;
    *owner = &inode->tri3;
    return Pointer(inode->tri3.data.data(), path.index[2]);
}

} // namespace

uint32_t ReadInodeBlock(FsState& part, Ext2Inode* inode, uint32_t index, uint8_t* dst) {
    if (index >= inode->blockCount) return 0;
    IndirectBuffer* owner = nullptr;
    bool hole = false;
    uint8_t* slot = Slot(part, inode, index, &owner, &hole);
    if (!slot && !hole) return 0;
    uint32_t b = slot ? ld32(slot) : 0;
    Ext2Area a = LoadExt2Area(part);
    if (b == 0) {
        if (dst) std::fill_n(dst, a.B(), 0);
        return kHoleBlock;
    }
    if (CheckMapBlock(part, b) != 0 || InMap(inode, b)) return 0;
    if (dst && ReadBlock(part, b, dst) != 0) return 0;
    return b;
}

uint32_t NextInodeBlock(FsState& part, Ext2Inode* inode, uint8_t* dst) {
    uint32_t b = ReadInodeBlock(part, inode, inode->position, dst);
    if (b != 0) ++inode->position;
    return b;
}

uint32_t AllocateBlock(FsState& part, Ext2Group* hint) {
    if (hint && ld16(hint->desc + ext2gd::kFreeBlocks) != 0) {
        uint32_t b = AllocateBlockinGroup(part, hint);
        if (b != 0 || hint->damaged) return b;
    }
    Ext2Area a = LoadExt2Area(part);
    for (uint32_t g = 0; g < a.Groups(); ++g) {
        if (hint && g == hint->number) continue;
        Ext2Group* group = OpenGroup(part, g, false);
        if (!group) return 0;
        bool free = ld16(group->desc + ext2gd::kFreeBlocks) != 0;
        CloseGroup(group);
        if (!free) continue;
        group = OpenGroup(part, g, true);
        if (!group) return 0;
        uint32_t b = AllocateBlockinGroup(part, group);
        const bool damaged = group->damaged;
        if (b != 0 && WriteGroup(part, group) != 0) b = 0;
        CloseGroup(group);
        if (b != 0 || damaged) return b;
    }
    return 0;
}

Status AddBlock(FsState& part, uint32_t b, Ext2Inode* inode, Ext2Group* hint) {
    Ext2Area a = LoadExt2Area(part);
    const uint32_t index = inode->blockCount;
    BlockPath path;
    BlockAddress(index, a.P(), &path);
    // Indirect blocks that this index opens: allocated all before anything
    // is linked, so that a failure leaves the map as it was.
    int need = 0;
    if (path.level == 1) need = path.index[0] == 0;
    if (path.level == 2) need = path.index[1] == 0 ? (path.index[0] == 0 ? 2 : 1) : 0;
    if (path.level == 3)
        need = path.index[2] == 0 ? (path.index[1] == 0 ? (path.index[0] == 0 ? 3 : 2) : 1) : 0;
    uint32_t fresh[3] = {};
    for (int i = 0; i < need; ++i) {
        fresh[i] = AllocateBlock(part, hint);
        if (fresh[i] == 0) {
            for (int k = 0; k < i; ++k)
                FreeBlock(part, fresh[k]);
            return 1;
        }
    }
    // Resolve the existing part of the path (loads the right blocks).
    uint8_t* slot = nullptr;
    int next = 0;
    auto link = [&](uint8_t* parent, IndirectBuffer* parentBuffer, IndirectBuffer& child,
                    uint32_t key, bool create) -> bool {
        if (create) {
            Fresh(part, child, key, fresh[next]);
            st32(parent, fresh[next++]);
            if (parentBuffer) parentBuffer->dirty = true;
            return true;
        }
        return Load(part, child, key, ld32(parent)) == 0;
    };
    bool ok = true;
    IndirectBuffer* owner = nullptr;
    switch (path.level) {
    case 0: slot = InodePointer(inode, int(path.index[0])); break;
    case 1:
        ok = link(InodePointer(inode, ext2ino::kSingle), nullptr, inode->single, 0, need == 1);
        owner = &inode->single;
        if (ok) slot = Pointer(inode->single.data.data(), path.index[0]);
        break;
    case 2:
        ok = link(InodePointer(inode, ext2ino::kDouble), nullptr, inode->dbl, 0, need == 2) &&
             link(Pointer(inode->dbl.data.data(), path.index[0]), &inode->dbl, inode->dbl2,
                  path.index[0], need >= 1);
        owner = &inode->dbl2;
        if (ok) slot = Pointer(inode->dbl2.data.data(), path.index[1]);
        break;
    default:
        ok = link(InodePointer(inode, ext2ino::kTriple), nullptr, inode->tri, 0, need == 3) &&
             link(Pointer(inode->tri.data.data(), path.index[0]), &inode->tri, inode->tri2,
                  path.index[0], need >= 2) &&
             link(Pointer(inode->tri2.data.data(), path.index[1]), &inode->tri2, inode->tri3,
                  path.index[0] * a.P() + path.index[1], need >= 1);
        owner = &inode->tri3;
        if (ok) slot = Pointer(inode->tri3.data.data(), path.index[2]);
        break;
    }
    if (!ok) {
        for (int k = next; k < need; ++k)
            FreeBlock(part, fresh[k]);
        return 1;
    }
    st32(slot, b);
    if (owner) owner->dirty = true;
    ++inode->blockCount;
    return 0;
}

Status RemoveBlock(FsState& part, Ext2Inode* inode) {
    if (inode->blockCount == 0) return -1;
    Ext2Area a = LoadExt2Area(part);
    const uint32_t index = inode->blockCount - 1;
    BlockPath path;
    BlockAddress(index, a.P(), &path);
    IndirectBuffer* owner = nullptr;
    bool hole = false;
    uint8_t* slot = Slot(part, inode, index, &owner, &hole);
    if (!slot && !hole) return -1;
    inode->blockCount = index;
    if (slot) { // under a hole nothing is mapped at the index itself
        uint32_t b = ld32(slot);
        if (b != 0 && FreeBlock(part, b) != 0) {
            ++inode->blockCount;
            return -1;
        }
        st32(slot, 0);
        if (owner) owner->dirty = true;
    }
    // An indirect block whose first entry was removed is empty: it goes
    // too, and so on up the tree. Under a hole some of them were never
    // allocated; the ones that were are loaded (Slot went through them).
    auto drop = [&](IndirectBuffer& buffer, uint8_t* parent, IndirectBuffer* parentBuffer) {
        const uint32_t block = ld32(parent);
        if (block == 0) return;
        FreeBlock(part, block);
        if (buffer.block == block) Forget(buffer);
        st32(parent, 0);
        if (parentBuffer) parentBuffer->dirty = true;
    };
    switch (path.level) {
    case 1:
        if (path.index[0] == 0) drop(inode->single, InodePointer(inode, ext2ino::kSingle), nullptr);
        break;
    case 2:
        if (path.index[1] != 0 || ld32(InodePointer(inode, ext2ino::kDouble)) == 0) break;
        drop(inode->dbl2, Pointer(inode->dbl.data.data(), path.index[0]), &inode->dbl);
        if (path.index[0] == 0) drop(inode->dbl, InodePointer(inode, ext2ino::kDouble), nullptr);
        break;
    case 3:
        if (path.index[2] != 0 || ld32(InodePointer(inode, ext2ino::kTriple)) == 0) break;
        if (ld32(Pointer(inode->tri.data.data(), path.index[0])) != 0)
            drop(inode->tri3, Pointer(inode->tri2.data.data(), path.index[1]), &inode->tri2);
        if (path.index[1] != 0) break;
        drop(inode->tri2, Pointer(inode->tri.data.data(), path.index[0]), &inode->tri);
        if (path.index[0] == 0) drop(inode->tri, InodePointer(inode, ext2ino::kTriple), nullptr);
        break;
    default: break;
    }
    return 0;
}

Status GetBlocks(FsState& part, uint32_t g, Ext2Inode* inode, uint32_t count, uint32_t* got) {
    Ext2Group* group = OpenGroup(part, g, true);
    if (!group) return -1;
    Status status = 0;
    while (*got < count) {
        MonitorESC();
        uint32_t b = AllocateBlockinGroup(part, group);
        if (b == 0) {
            if (group->damaged) status = -1;
            break;
        }
        if (AddBlock(part, b, inode, group) != 0) {
            // Not linked: its bit goes back at once.
            Ext2Area a = LoadExt2Area(part);
            uint32_t bit = (b - a.firstDataBlock) % a.blocksPerGroup;
            group->blockBitmap[bit / 8] = uint8_t(group->blockBitmap[bit / 8] & ~(1u << (bit % 8)));
            st16(group->desc + ext2gd::kFreeBlocks,
                 uint16_t(ld16(group->desc + ext2gd::kFreeBlocks) + 1));
            ++a.freeBlocks;
            StoreExt2Area(part, a);
            status = group->damaged ? -1 : 1;
            break;
        }
        ++*got;
    }
    if (WriteGroup(part, group) != 0) status = -1;
    CloseGroup(group);
    return status;
}

Status AllocateBlocks(FsState& part, Ext2Inode* inode, uint32_t count) {
    if (count == 0) return 0;
    Ext2Area a = LoadExt2Area(part);
    uint32_t got = 0;
    uint32_t g = inode->groupHint;
    Status status = 0;
    for (; g < a.Groups(); ++g) {
        Ext2Group* group = OpenGroup(part, g, false);
        if (!group) break;
        bool free = ld16(group->desc + ext2gd::kFreeBlocks) != 0;
        CloseGroup(group);
        if (!free) continue;
        inode->groupHint = g;
        status = GetBlocks(part, g, inode, count, &got);
        if (status != 0 || got == count) break;
    }
    if (got == count && status == 0) return 0;
    // What was taken goes back, so that a failed growth leaves the file and
    // the bitmaps as they were.
    RemoveBlocks(part, inode, got);
    if (status >= 0) {
        Log("EXT2: No free block\r\n");
        NoteDiskFull();
    }
    return 1;
}

Status RemoveBlocks(FsState& part, Ext2Inode* inode, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        MonitorESC();
        if (RemoveBlock(part, inode) != 0) return -1;
    }
    return 0;
}

} // namespace vk
