// Internals shared by the ext2 driver's files: the driver area, the block
// cache, groups and inodes with their block maps, directory records,
// packed attributes and the superblock flush.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "disk/fsdriver.h"
#include "platform/types.h"
#include "records.h"

namespace vk {

// Quick format and full restore (the Clean and FullUnzip slots).
Status Ext2Clean(FsState& part, const char* label);
Status Ext2FullUnzip(FsState& part, IArchive* archive);

// Why a volume that the driver reads is not written.
enum Ext2ReadOnly : uint8_t {
    kWritable = 0,
    kReadOnlyFeatures = 1,  // revision 1 with features the driver does not maintain
    kReadOnlyInodeSize = 2, // inodes spaced other than 128 bytes
    kReadOnlyState = 3,     // not cleanly unmounted, or errors recorded
    kReadOnlyCounts = 4,    // free counts beyond the volume
};

// The layout of the current ext2 partition, kept in FsState::driverArea.
// The first seven fields come from the superblock; the rest say how far
// the driver may go on this volume.
struct Ext2Area {
    uint32_t blocksCount;
    uint32_t sectorsPerBlock; // 2, 4 or 8
    uint32_t blocksPerGroup;
    uint32_t inodesPerGroup;
    uint32_t firstDataBlock;
    uint32_t freeInodes; // kept current in memory, written by SyncSuper
    uint32_t freeBlocks;
    uint32_t inodesCount;   // inodesPerGroup x groups
    uint16_t inodeSize;     // bytes between inodes in the table: 128 or 256
    uint8_t writable;       // 1: the driver may change this volume
    uint8_t typedRecords;   // 1: directory records carry a type byte
    uint8_t readOnlyReason; // why writable is 0 (Ext2ReadOnly)
    uint8_t sparseCopies;   // 1: superblock copies only in groups 0, 1 and powers of 3, 5, 7

    uint32_t B() const { return sectorsPerBlock * 512u; }
    uint32_t P() const { return B() / 4u; } // block numbers per indirect block
    uint32_t InodesPerBlock() const { return B() / inodeSize; }
    uint32_t DescPerBlock() const { return B() / 32u; }
    // Groups cover the blocks from firstDataBlock on.
    uint32_t Groups() const { return (blocksCount - firstDataBlock - 1) / blocksPerGroup + 1; }
    uint32_t DescBlock(uint32_t g) const { return firstDataBlock + 1 + g / DescPerBlock(); }
    uint32_t LastDescBlock() const { return DescBlock(Groups() - 1); }
    // A block that may hold data or metadata of this volume.
    bool ValidBlock(uint32_t b) const { return b >= firstDataBlock && b < blocksCount; }
    bool ValidInode(uint32_t n) const { return n >= 1 && n <= inodesCount; }
};
static_assert(std::is_trivially_copyable_v<Ext2Area>);
static_assert(sizeof(Ext2Area) <= kDriverAreaSize);

// Copies of the partition's driver area.
inline Ext2Area LoadExt2Area(FsState& part) {
    Ext2Area area;
    std::memcpy(&area, part.driverArea, sizeof area);
    return area;
}
inline void StoreExt2Area(FsState& part, const Ext2Area& area) {
    std::memcpy(part.driverArea, &area, sizeof area);
}

// Checks a superblock (1024 bytes) against the partition and
// loads the driver area from it: 0, or 1 after logging why it is refused.
// Volumes with features the driver cannot maintain are loaded with
// writable 0.
Status LoadSuper(FsState& part, const uint8_t* super);
// True (after logging why) when the volume must not be changed.
bool WriteRefused(FsState& part);

// ---- Block cache ---------------------------------------------------------
// 16 slots over one 16384-byte buffer (16384 / B of them in use), in
// recency order, bound to one partition at a time. Metadata goes through
// it; file data bypasses it.
constexpr uint32_t kCacheBytes = 16384;
constexpr int kCacheSlots = 16;
constexpr uint32_t kHoleBlock = 0xFFFFFFFF; // ReadBlocks: a hole, reads as zeros
constexpr uint16_t kMaxBlockRun = 64;       // ReadBlocks/WriteBlocks limit
constexpr uint32_t kMaxBlockBytes = 4096;   // largest block size the driver accepts

// Allocates the cache buffer (driver start-up).
void InitCache();
// Positions the disk at block b.
Status SeekBlock(FsState& part, uint32_t b);
// Cached single-block access; -1 for a block outside the volume or a disk
// error (logged).
Status ReadBlock(FsState& part, uint32_t b, uint8_t* dst);
Status WriteBlock(FsState& part, uint32_t b, const uint8_t* src);
// Straight to disk; WriteBlocks and BlankBlocks first write back and drop
// cached copies of the blocks they cover. count at most kMaxBlockRun.
Status ReadBlocks(FsState& part, uint32_t first, uint16_t count, uint8_t* dst);
Status WriteBlocks(FsState& part, uint32_t first, uint16_t count, const uint8_t* src);
Status BlankBlocks(FsState& part, uint32_t first, uint32_t count);
Status DirectWriteBlock(FsState& part, uint32_t b, const uint8_t* src);
// A zeroed block buffer (Malloc); the caller gives it back with Free.
uint8_t* MallocBlock(FsState& part);
// Writes every dirty entry back and unbinds the cache; -1 also when a
// write-back failed since the last flush.
Status FlushCache();
// Write-backs of cached blocks that failed so far (evictions included).
uint32_t WriteBackFailures();
// Writes dirty entries back to their partition, empties the cache and
// binds it to the partition.
void StartCache(FsState& part);
// True while the cache is bound to this state record.
bool CacheServes(const FsState* state);

// ---- Groups --------------------------------------------------------------
struct Ext2Group {
    uint32_t number = 0;
    uint32_t descBlock = 0;
    std::vector<uint8_t> descBuffer;  // the descriptor block
    uint8_t* desc = nullptr;          // this group's 32 bytes in it
    std::vector<uint8_t> inodeBitmap; // empty unless loaded
    std::vector<uint8_t> blockBitmap;
    bool inodeDirty = false;
    bool blockDirty = false;
    bool damaged = false; // the block bitmap marks metadata free
};
// Null on a read error or a damaged descriptor (bitmap blocks outside the
// volume).
Ext2Group* OpenGroup(FsState& part, uint32_t g, bool withBitmaps);
Status WriteGroup(FsState& part, Ext2Group* group);
void CloseGroup(Ext2Group* group);
// True when block b of group g is the group's own metadata as its
// descriptor desc places it: the superblock and descriptor copy (where
// the group carries one), a bitmap or the inode table.
bool GroupMetadata(FsState& part, const uint8_t* desc, uint32_t g, uint32_t b);
// 0 when block b may be a file's data or indirect block; -1 after logging
// why when it lies outside the volume or is metadata of its group.
Status CheckMapBlock(FsState& part, uint32_t b);
// 0 when the group has nothing free, or (damaged set) when its bitmap
// offers a metadata block.
uint32_t AllocateBlockinGroup(FsState& part, Ext2Group* group);
uint32_t AllocateInodeinGroup(FsState& part, Ext2Group* group);
// Sets the lowest clear bit of *byte and returns its index (8: none).
int FindFreeBit(uint8_t* byte);
// Sets count bits of a bitmap from bit first.
void ReserveBits(uint8_t* bitmap, uint32_t first, uint32_t count);

// ---- Inodes and block maps -----------------------------------------------
// One loaded indirect block of an inode's map: which one it is (key),
// where it lives on disk (0: not allocated) and whether it must be written.
struct IndirectBuffer {
    std::vector<uint8_t> data; // empty: nothing loaded
    uint32_t key = 0xFFFFFFFF; // which block of its level is loaded
    uint32_t block = 0;
    bool dirty = false;
};

struct Ext2Inode {
    uint32_t number = 0;
    uint32_t tableBlock = 0;    // inode-table block holding it
    uint32_t offset = 0;        // byte offset of the inode in that block
    std::vector<uint8_t> block; // private copy of that block
    uint8_t* raw = nullptr;     // the 128 inode bytes in it
    uint8_t symlink = 0;        // 0 none, 1 fast (target in the pointers), 2 slow
    uint32_t blockCount = 0;    // blocks mapped: size rounded up; 0 for a fast symlink
    uint32_t position = 0;      // next block for NextInodeBlock
    bool withIndirect = false;
    // single indirect; double root and one second-level block; triple root,
    // one second-level and one third-level block.
    IndirectBuffer single, dbl, dbl2, tri, tri2, tri3;
    uint32_t groupHint = 0; // group AllocateBlocks starts from
};

// Path of a block index through the map: level 0 direct (index[0] the
// pointer), 1 single (index[0] in it), 2 double, 3 triple.
struct BlockPath {
    int level = 0;
    uint32_t index[3] = {};
};

// Null when n is outside the volume or the table block cannot be read.
Ext2Inode* OpenInode(FsState& part, uint32_t n, bool withIndirect);
Status WriteInode(FsState& part, Ext2Inode* inode, bool writeInodeBlock);
void CloseInode(Ext2Inode* inode);
// kind 1 file, 2 directory: a fresh inode in memory (the caller writes it).
Ext2Inode* AllocateInode(FsState& part, uint8_t kind);
Status FreeInode(FsState& part, uint32_t n);
void InodeMergeBuffers(Ext2Inode* dir, const Ext2Inode* child);
void BlockAddress(uint32_t index, uint32_t P, BlockPath* path);
// Block number of a block index, kHoleBlock for a hole, 0 beyond the
// block count or on damage. With dst the block is read too.
uint32_t ReadInodeBlock(FsState& part, Ext2Inode* inode, uint32_t index, uint8_t* dst);
uint32_t NextInodeBlock(FsState& part, Ext2Inode* inode, uint8_t* dst);
// 0 when nothing is free or a bitmap is damaged.
uint32_t AllocateBlock(FsState& part, Ext2Group* hint);
Status FreeBlock(FsState& part, uint32_t b);
Status AddBlock(FsState& part, uint32_t b, Ext2Inode* inode, Ext2Group* hint);
Status RemoveBlock(FsState& part, Ext2Inode* inode);
Status GetBlocks(FsState& part, uint32_t g, Ext2Inode* inode, uint32_t count, uint32_t* got);
Status AllocateBlocks(FsState& part, Ext2Inode* inode, uint32_t count);
Status RemoveBlocks(FsState& part, Ext2Inode* inode, uint32_t count);
// Blocks a file of `size` bytes occupies, indirect blocks included.
uint32_t SizeInBlocks(uint32_t size, uint32_t B);

// ---- Directory records, names and attributes -----------------------------
// nameLength + 8 rounded up to a multiple of 4.
inline uint16_t RecLen(uint32_t nameLength) {
    return uint16_t((nameLength + 8u + 3u) & ~3u);
}
// Writes a record for inode and name (PC code page, translated and cut to
// 255 bytes) with record length RecLen; returns that length.
uint16_t MakeEntry(uint32_t inode, const char* name, uint8_t* record);
// Name translation: PC code page in memory, ISO-8859-1 on disk.
void NameToDisk(const char* name, uint8_t* out, size_t length);
void NameFromDisk(const uint8_t* name, size_t length, char* out);
void PackAttr(uint8_t* attributes, const uint8_t* rawInode);
void UnPackAttr(uint8_t* rawInode, const uint8_t* attributes);
// A symbolic link whose target lives in the block pointers.
bool IsFastSymlink(const uint8_t* rawInode);

// ---- Superblock and flush ------------------------------------------------
Status SyncSuper(FsState& part);
Status Ext2FlushFsSpecific(FsState& part);
Status Ext2InitFsSpecific(FsState& part);

// ---- The table operations of the directory and file code -----------------
Status Ext2OpenDir(FsState& part, FsEntry* entry, FsDirHandle** dir);
Status Ext2NextDirEntry(FsState& part, FsDirHandle* dir, FsEntry* entry);
Status Ext2GetFileInfo(FsState& part, FsEntry* entry);
uint32_t Ext2AddEntrySize(uint32_t size, FsEntry* entry, uint16_t blockSize);
Status Ext2CreateFile(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                      FsEntry* entry);
Status Ext2CreateDir(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                     FsEntry* entry);
Status Ext2CloseDir(FsState& part, FsDirHandle* dir);
Status Ext2RemoveFile(FsState& part, FsEntry* entry);
Status Ext2RemoveDir(FsState& part, FsEntry* entry);
Status Ext2OpenFile(FsState& part, FsEntry* entry, uint64_t* size, FsFileHandle** file);
Status Ext2RewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file);
uint16_t Ext2ReadFileChunk(FsState& part, FsFileHandle* file, uint8_t* buffer);
uint16_t Ext2WriteFileChunk(FsState& part, FsFileHandle* file, const uint8_t* buffer,
                            uint16_t length);
Status Ext2CloseFile(FsState& part, FsFileHandle* file);
Status Ext2AdjustFileSize(FsState& part, FsFileHandle* file, FsEntry* entry, uint32_t newSize);

} // namespace vk
