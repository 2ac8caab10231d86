// The block cache: 16 slots over one 16384-byte buffer in recency order
// (index 0 least recent), bound to one partition at a time, written back
// on eviction and flush. Also the uncached block transfers.
#include <algorithm>

#include "disk/disk.h"
#include "ext2_internal.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

namespace {

enum SlotState : uint8_t { kEmpty = 0, kClean = 1, kDirty = 2 };

struct CacheSlot {
    uint32_t block = 0;
    uint8_t* buffer = nullptr;
    uint8_t state = kEmpty;
};

uint8_t* cachestart = nullptr;
CacheSlot localcache[kCacheSlots];
int ext2_cache_size = 0;
// The partition the cache serves (null: none), by state record and by
// disk and partition number.
FsState* cachedState = nullptr;
struct {
    uint8_t disk = 0;
    int8_t partition = 0;
    uint64_t start = 0; // first sector, so that a moved partition is not served
} cachedpart;
uint32_t cachedBlockBytes = 0;
// Failed write-backs: all so far, and as many as the last flush saw.
uint32_t writeBackFailures = 0;
uint32_t failuresAtFlush = 0;

bool OutOfRange(FsState& part, uint32_t b, uint32_t count) {
    Ext2Area a = LoadExt2Area(part);
    if (b < a.blocksCount && count <= a.blocksCount - b) return false;
    Log("EXT2 ERROR: Block number out of range\r\n");
    return true;
}

// Disk transfer of whole blocks on the partition.
Status DiskRead(FsState& part, uint32_t b, uint32_t count, uint8_t* dst) {
    Ext2Area a = LoadExt2Area(part);
    if (SeekBlock(part, b) != 0) return -1;
    return ReadSects(part, uint16_t(count * a.sectorsPerBlock), dst) == 0 ? 0 : -1;
}

Status DiskWrite(FsState& part, uint32_t b, uint32_t count, const uint8_t* src) {
    Ext2Area a = LoadExt2Area(part);
    if (SeekBlock(part, b) != 0) return -1;
    return WriteSects(part, uint16_t(count * a.sectorsPerBlock), src) == 0 ? 0 : -1;
}

// Writes a dirty slot back to the partition the cache serves.
Status WriteBack(CacheSlot& slot) {
    if (slot.state != kDirty) return 0;
    slot.state = kClean;
    // The state record must still describe the partition the block came
    // from; a block is dropped rather than written anywhere else.
    if (cachedState->disk != cachedpart.disk || cachedState->partition != cachedpart.partition ||
        cachedState->start != cachedpart.start) {
        Log("EXT2 ERROR: Cached block of a partition no longer selected dropped\r\n");
        ++writeBackFailures;
        return -1;
    }
    // The write-back does not move the position of the partition's state.
    uint64_t position = cachedState->position;
    Status status = DiskWrite(*cachedState, slot.block, 1, slot.buffer);
    cachedState->position = position;
    if (status != 0) {
        Log("EXT2 ERROR: Cannot write a cached block\r\n");
        ++writeBackFailures;
    }
    return status;
}

// Moves slot i to the most recent end; returns its new index.
int Touch(int i) {
    CacheSlot slot = localcache[i];
    for (int k = i; k + 1 < ext2_cache_size; ++k)
        localcache[k] = localcache[k + 1];
    localcache[ext2_cache_size - 1] = slot;
    return ext2_cache_size - 1;
}

bool CacheIsCurrent(FsState& part) {
    return cachedState == &part && cachedpart.disk == part.disk &&
           cachedpart.partition == part.partition && cachedpart.start == part.start &&
           cachedBlockBytes == LoadExt2Area(part).B();
}

void EnsureCache(FsState& part) {
    if (!CacheIsCurrent(part)) StartCache(part);
}

int Find(uint32_t b) {
    for (int i = ext2_cache_size; i-- > 0;)
        if (localcache[i].state != kEmpty && localcache[i].block == b) return i;
    return -1;
}

// Evicts the least recent slot and gives it block b (data not filled);
// -1 when the evicted block could not be written back, which fails the
// access that needed the slot.
int Insert(uint32_t b) {
    const Status written = WriteBack(localcache[0]);
    localcache[0].state = kEmpty;
    if (written != 0) return -1;
    int i = Touch(0);
    localcache[i].block = b;
    return i;
}

// Writes back and drops the cached copies of blocks [first, first + count).
void Drop(FsState& part, uint32_t first, uint32_t count) {
    if (!CacheIsCurrent(part)) return;
    for (int i = 0; i < ext2_cache_size; ++i) {
        CacheSlot& s = localcache[i];
        if (s.state != kEmpty && s.block >= first && s.block - first < count) {
            WriteBack(s);
            s.state = kEmpty;
        }
    }
}

} // namespace

void InitCache() {
    if (!cachestart) cachestart = static_cast<uint8_t*>(Malloc(kCacheBytes / kParagraph));
}

Status SeekBlock(FsState& part, uint32_t b) {
    Ext2Area a = LoadExt2Area(part);
    uint64_t sector = uint64_t(b) * a.sectorsPerBlock;
    if (part.position == sector) return 0;
    return Seek(part, sector);
}

void StartCache(FsState& part) {
    InitCache();
    if (cachedState) {
        for (int i = 0; i < ext2_cache_size; ++i)
            WriteBack(localcache[i]);
    }
    for (CacheSlot& s : localcache)
        s = CacheSlot{};
    cachedState = &part;
    cachedpart.disk = part.disk;
    cachedpart.partition = part.partition;
    cachedpart.start = part.start;
    cachedBlockBytes = LoadExt2Area(part).B();
    ext2_cache_size = int(std::min<uint32_t>(kCacheSlots, kCacheBytes / cachedBlockBytes));
    for (int i = 0; i < ext2_cache_size; ++i)
        localcache[i].buffer = cachestart + size_t(i) * cachedBlockBytes;
}

Status FlushCache() {
    if (cachedState) {
        for (int i = 0; i < ext2_cache_size; ++i)
            WriteBack(localcache[i]);
    }
    // Blocks lost on eviction since the last flush count too.
    const Status status = writeBackFailures != failuresAtFlush ? -1 : 0;
    failuresAtFlush = writeBackFailures;
    for (CacheSlot& s : localcache)
        s = CacheSlot{};
    cachedState = nullptr;
    ext2_cache_size = 0;
    return status;
}

uint32_t WriteBackFailures() {
    return writeBackFailures;
}

bool CacheServes(const FsState* state) {
    return cachedState == state;
}

Status ReadBlock(FsState& part, uint32_t b, uint8_t* dst) {
    if (OutOfRange(part, b, 1)) return -1;
    EnsureCache(part);
    const uint32_t B = cachedBlockBytes;
    int i = Find(b);
    if (i >= 0) {
        i = Touch(i);
    } else {
        i = Insert(b);
        if (i < 0) return -1;
        if (DiskRead(part, b, 1, localcache[i].buffer) != 0) {
            Log("EXT2 ERROR: Cannot read a block\r\n");
            return -1;
        }
        localcache[i].state = kClean;
    }
    std::copy_n(localcache[i].buffer, B, dst);
    return 0;
}

Status WriteBlock(FsState& part, uint32_t b, const uint8_t* src) {
    if (OutOfRange(part, b, 1)) return -1;
    EnsureCache(part);
    int i = Find(b);
    i = i >= 0 ? Touch(i) : Insert(b);
    if (i < 0) return -1;
    std::copy_n(src, cachedBlockBytes, localcache[i].buffer);
    localcache[i].state = kDirty;
    part.state = kStateModified; // the flush must come
    return 0;
}

Status ReadBlocks(FsState& part, uint32_t first, uint16_t count, uint8_t* dst) {
    Ext2Area a = LoadExt2Area(part);
    if (first == kHoleBlock) {
        if (count > 1) Log("EXT2: More than one empty block\r\n");
        std::fill_n(dst, a.B(), 0);
        return 0;
    }
    if (count > kMaxBlockRun || OutOfRange(part, first, count)) return -1;
    // Dirty cached copies reach the disk first, so that the read sees them.
    if (CacheIsCurrent(part)) {
        for (int i = 0; i < ext2_cache_size; ++i) {
            CacheSlot& s = localcache[i];
            if (s.state == kDirty && s.block >= first && s.block - first < count) WriteBack(s);
        }
    }
    return DiskRead(part, first, count, dst);
}

Status WriteBlocks(FsState& part, uint32_t first, uint16_t count, const uint8_t* src) {
    if (count > kMaxBlockRun || OutOfRange(part, first, count)) return -1;
    Drop(part, first, count);
    return DiskWrite(part, first, count, src);
}

Status BlankBlocks(FsState& part, uint32_t first, uint32_t count) {
    if (OutOfRange(part, first, count)) return -1;
    Drop(part, first, count);
    if (SeekBlock(part, first) != 0) return -1;
    return BlankSects(part, count * LoadExt2Area(part).sectorsPerBlock) == 0 ? 0 : -1;
}

Status DirectWriteBlock(FsState& part, uint32_t b, const uint8_t* src) {
    return WriteBlocks(part, b, 1, src);
}

uint8_t* MallocBlock(FsState& part) {
    uint32_t B = LoadExt2Area(part).B();
    auto* block = static_cast<uint8_t*>(Malloc(uint16_t(B / kParagraph)));
    std::fill_n(block, B, 0);
    return block;
}

} // namespace vk
