// Pieces of a freshly laid out ext2 volume, shared by quick format and full
// restore: the sequential block writer, the superblock, the inode-table
// sweep and the group descriptors with their bitmaps. Both write straight
// to disk (never through the block cache) and report every failed write.
#pragma once

#include <cstdint>
#include <memory>

#include "disk/fsdriver.h"
#include "geometry.h"
#include "platform/types.h"

namespace vk {

// Gathers blocks in a 65536-byte buffer and writes them in one disk access
// whenever the buffer is full or the next block does not follow the last.
class BlockStream {
  public:
    static constexpr uint32_t kBlocks = 65536 / kExt2FreshBlock;
    explicit BlockStream(FsState& part);
    // Appends a 1024-byte block to be written at block b.
    Status Put(uint32_t b, const uint8_t* data);
    // Writes what is gathered.
    Status Flush();

  private:
    FsState& part;
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t first_ = 0;
    uint32_t count_ = 0;
};

// Loads the driver area of the partition for a fresh volume of
// geometry g (free counts 0 until the groups are written).
void StoreFreshArea(FsState& part, const Ext2Geometry& g);

// Builds the superblock of a complete fresh volume: the counts and sizes of
// the geometry, the free counts of the driver area, the identifier bytes
// naming this system, the disk and the partition, and the label cut to 16
// characters. Writes it at sectors 2 and 3; with its magic, that write
// makes the volume, so it comes last.
Status BuildSuper(FsState& part, const Ext2Geometry& g, uint32_t totalInodes, const char* label);

// The first write of a format or restore: the partition stops being the
// volume it was. Blanks the superblock and the first backup superblock of
// any block size that holds the ext2 magic, so that other tools find no
// file system (rather than a damaged one) until the new one is complete.
Status ForgetOldVolume(FsState& part, uint64_t sizeSectors);

// Blanks the inode-table blocks from sequence index `from` to the end.
Status BlankInodeTables(FsState& part, const Ext2Geometry& g, uint32_t from);

// What the groups are to mark used: the first `usedData` blocks of the
// data sequence, the inodes 1 to `lastInode`, of which 2 and 11 to
// 9 + `directories` are directories.
struct FreshUse {
    uint64_t usedData = 0;
    uint32_t lastInode = 10;
    uint32_t directories = 1;
};

// Writes the descriptor table and every group's bitmaps for that use and
// stores the free counts in the driver area.
Status WriteGroups(FsState& part, const Ext2Geometry& g, const FreshUse& use, BlockStream* stream);

// Sets an inode's block pointers and sector count for a file of `layout`
// laid out in one run from data position `position`.
void FillInodeBlocks(uint8_t* inode, const Ext2Geometry& g, uint64_t position,
                     const Ext2RunLayout& layout);
// Writes a run's indirect blocks (they come first in the run).
Status CreateBlocks(const Ext2Geometry& g, uint64_t position, const Ext2RunLayout& layout,
                    BlockStream* stream);

} // namespace vk
