// File data: opening, reading and writing runs of contiguous blocks, and
// resizing a file's allocation.
#include <algorithm>
#include <cstring>
#include <vector>

#include "ext2_internal.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

struct Ext2File {
    Ext2Inode* inode = nullptr;
    std::vector<uint8_t> staging; // writes: the chunk with its last block zero-filled
};

Ext2File* AsFile(FsFileHandle* handle) {
    return reinterpret_cast<Ext2File*>(handle);
}

FsFileHandle* NewHandle(Ext2Inode* inode) {
    auto* f = new Ext2File;
    f->inode = inode;
    return reinterpret_cast<FsFileHandle*>(f);
}

// The run of contiguous blocks from the read position, at most `limit`:
// its first block (kHoleBlock for a hole, 0 at the end or on damage) and
// its length.
uint32_t TakeRun(FsState& part, Ext2Inode* inode, uint32_t limit, uint32_t* count) {
    *count = 0;
    uint32_t first = NextInodeBlock(part, inode, nullptr);
    if (first == 0) return 0;
    *count = 1;
    if (first == kHoleBlock) return first;
    while (*count < limit) {
        uint32_t next = ReadInodeBlock(part, inode, inode->position, nullptr);
        if (next != first + *count) break;
        ++inode->position;
        ++*count;
    }
    return first;
}

uint16_t TypeOf(const Ext2Inode* inode) {
    return ld16(inode->raw + ext2ino::kMode) & kExt2TypeMask;
}

} // namespace

Status Ext2OpenFile(FsState& part, FsEntry* entry, uint64_t* size, FsFileHandle** file) {
    Ext2Inode* inode = OpenInode(part, entry->start, true);
    if (!inode) return 1;
    const uint16_t type = TypeOf(inode);
    *size = (type == kExt2Regular || type == kExt2Dir || type == kExt2Symlink) ? entry->size : 0;
    *file = NewHandle(inode);
    return 0;
}

Status Ext2RewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file) {
    if (WriteRefused(part)) return 1;
    Ext2Area a = LoadExt2Area(part);
    if (entry->start < kExt2FirstInode) return 1;
    Ext2Inode* inode = OpenInode(part, entry->start, true);
    if (!inode) return 1;
    if (TypeOf(inode) == kExt2Dir) {
        CloseInode(inode);
        return 1;
    }
    if (inode->symlink != 1) {
        // Every block of the map is checked before anything is written:
        // a damaged map (metadata, blocks outside the volume, loops) is
        // refused as a whole.
        for (uint32_t i = 0; i < inode->blockCount; ++i) {
            MonitorESC();
            if (ReadInodeBlock(part, inode, i, nullptr) == 0) {
                Log("EXT2 ERROR: File not rewritten: its block map is damaged\r\n");
                CloseInode(inode);
                return 1;
            }
        }
    }
    FsFileHandle* handle = NewHandle(inode);
    if (inode->symlink != 1) {
        // A file with holes or blocks its size does not account for is
        // emptied first, so that every block it keeps is really its own.
        const uint32_t size = ld32(inode->raw + ext2ino::kFileSize);
        if (ld32(inode->raw + ext2ino::kSectors) != SizeInBlocks(size, a.B()) * a.sectorsPerBlock) {
            RemoveBlocks(part, inode, inode->blockCount);
            st32(inode->raw + ext2ino::kFileSize, 0);
            inode->blockCount = 0;
            WriteInode(part, inode, true);
        }
        if (Ext2AdjustFileSize(part, handle, entry, newSize) != 0) {
            Ext2CloseFile(part, handle);
            return 1;
        }
    }
    inode->position = 0;
    *file = handle;
    return 0;
}

uint16_t Ext2ReadFileChunk(FsState& part, FsFileHandle* file, uint8_t* buffer) {
    Ext2Inode* inode = AsFile(file)->inode;
    if (inode->symlink == 1) return 0;
    const uint32_t B = LoadExt2Area(part).B();
    uint32_t count = 0;
    uint32_t first = TakeRun(part, inode, kChunkMax / B, &count);
    if (first == 0) return 0;
    if (ReadBlocks(part, first, uint16_t(count), buffer) != 0) return 0;
    return uint16_t(count * B);
}

uint16_t Ext2WriteFileChunk(FsState& part, FsFileHandle* file, const uint8_t* buffer,
                            uint16_t length) {
    Ext2File* f = AsFile(file);
    Ext2Inode* inode = f->inode;
    if (inode->symlink == 1 || length == 0) return 0;
    const uint32_t B = LoadExt2Area(part).B();
    length = std::min<uint16_t>(length, kChunkMax);
    const uint32_t blocks = (uint32_t(length) + B - 1) / B;
    uint32_t count = 0;
    const uint32_t before = inode->position;
    uint32_t first = TakeRun(part, inode, blocks, &count);
    if (first == 0) return 0;
    if (first == kHoleBlock) {
        inode->position = before;
        Log("EXT2 ERROR: No block to write to\r\n");
        return 0;
    }
    // Bytes beyond the length are zero on disk, whatever the buffer holds.
    f->staging.resize(kChunkMax);
    const uint32_t bytes = count * B;
    const uint32_t copied = std::min<uint32_t>(bytes, length);
    std::memcpy(f->staging.data(), buffer, copied);
    std::fill(f->staging.begin() + copied, f->staging.begin() + bytes, 0);
    if (WriteBlocks(part, first, uint16_t(count), f->staging.data()) != 0) return 0;
    return uint16_t(bytes);
}

Status Ext2CloseFile(FsState&, FsFileHandle* file) {
    Ext2File* f = AsFile(file);
    CloseInode(f->inode);
    delete f;
    return 0;
}

Status Ext2AdjustFileSize(FsState& part, FsFileHandle* file, FsEntry* entry, uint32_t newSize) {
    if (WriteRefused(part)) return 1;
    Ext2Inode* inode = AsFile(file)->inode;
    // A short link's target lives in its inode: there is nothing to size.
    if (inode->symlink == 1) return 0;
    const uint32_t B = LoadExt2Area(part).B();
    const uint32_t want = uint32_t((uint64_t(newSize) + B - 1) / B);
    if (want > inode->blockCount) {
        if (AllocateBlocks(part, inode, want - inode->blockCount) != 0) {
            WriteInode(part, inode, false);
            return 1;
        }
    } else if (want < inode->blockCount &&
               RemoveBlocks(part, inode, inode->blockCount - want) != 0) {
        // What could not be given back stays the file's.
        const uint64_t kept = uint64_t(inode->blockCount) * B;
        if (kept < ld32(inode->raw + ext2ino::kFileSize))
            st32(inode->raw + ext2ino::kFileSize, uint32_t(kept));
        WriteInode(part, inode, true);
        return 1;
    }
    inode->blockCount = want;
    inode->position = std::min(inode->position, want);
    st32(inode->raw + ext2ino::kFileSize, newSize);
    if ((ld16(inode->raw + ext2ino::kMode) & kExt2TypeMask) == kExt2Symlink)
        inode->symlink = newSize <= kExt2FastLinkMax ? 1 : 2;
    WriteInode(part, inode, true);
    entry->size = newSize;
    return 0;
}

} // namespace vk
