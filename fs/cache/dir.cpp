// The cache directory: enumeration with the CRC-chain checks, creation of
// an entry after the last one (wrapping to entry 0 when full), removal by
// shifting the following entries down, and clearing.
#include <algorithm>
#include <cstring>

#include "cache_internal.h"
#include "fs/cache.h"
#include "platform/console.h"
#include "platform/types.h"
#include "platform/util.h"

namespace vk::cache {

using namespace cachedir;

namespace {

// Makes entry `index` available in the handle's batch; its bytes or null.
uint8_t* BatchEntry(FsState& part, FsDirHandle* dir, uint32_t index) {
    if (index >= kEntries) return nullptr;
    uint32_t first = index - index % kReadBatch;
    if (dir->batchFirst != int32_t(first)) {
        dir->batchFirst = -1;
        if (!ReadAt(part, first, kReadBatch, dir->batch)) return nullptr;
        dir->batchFirst = int32_t(first);
    }
    return dir->batch + (index - first) * kEntrySize;
}

void FillEntry(FsEntry* entry, const uint8_t* e, uint32_t index) {
    *entry = FsEntry{};
    std::memcpy(entry->path, e + kName, kNameSize - 1);
    entry->path[kNameSize - 1] = 0;
    entry->name = entry->path;
    entry->kind = kKindFile;
    entry->start = ld32(e + kFirstSector);
    entry->size = ld32(e + kSize);
    entry->location2 = ld32(e + kLastChunkCrc);
    entry->location3 = index;
}

} // namespace

Status OpenDir(FsState&, FsEntry* entry, FsDirHandle** dir) {
    if (entry) return -1; // the root is the only directory
    *dir = new FsDirHandle;
    return 0;
}

Status CloseDir(FsState&, FsDirHandle* dir) {
    delete dir;
    return 0;
}

Status NextDirEntry(FsState& part, FsDirHandle* dir, FsEntry* entry) {
    if (dir->index < 0 || uint32_t(dir->index) >= kEntries) return 1;
    uint32_t index = uint32_t(dir->index);
    uint8_t* e = BatchEntry(part, dir, index);
    if (!e || e[0] == 0) return 1;
    const char* why = CheckCacheEntry(e, index == 0 ? 0 : dir->chain, part.sizeSectors);
    if (why) {
        Log(why);
        Log("Corrupted directory entry in the cache, removing it\r\n");
        std::memset(e, 0, kEntrySize);
        WriteAt(part, index, 1, e); // the zero entry also ends the directory here
        return 1;
    }
    FillEntry(entry, e, index);
    dir->chain = ld32(e + kCrc);
    ++dir->index;
    return 0;
}

Status CreateFile(FsState& part, FsDirHandle* dir, const char* name, const uint8_t*,
                  FsEntry* entry) {
    size_t length = std::strlen(name);
    if (length == 0 || length >= kNameSize) return 1;
    // Walk to the first empty entry; the new file's data follows the last
    // entry's reserved sectors.
    uint32_t index = 0, first = kDataStart, chain = 0;
    for (; index < kEntries; ++index) {
        const uint8_t* e = BatchEntry(part, dir, index);
        if (!e) return 1;
        if (e[0] == 0) break;
        first = ld32(e + kFirstSector) + ld32(e + kReserved);
        chain = ld32(e + kCrc);
    }
    if (first < kDataStart || first > part.sizeSectors) first = kDataStart;
    if (index == kEntries) { // full: start again at entry 0, dropping the others
        index = 0;
        chain = 0;
    }
    uint8_t sectors[2 * kEntrySize] = {};
    uint8_t* e = sectors;
    std::memcpy(e + kName, name, length);
    st32(e + kFirstSector, first);
    st32(e + kMagic, kMagicValue);
    SealEntry(e, true);
    st32(e + kChain, chain);
    // The zero sector after it ends the directory there.
    if (!WriteAt(part, index, 2, sectors)) return 1;
    dir->batchFirst = -1;
    FillEntry(entry, e, index);
    return 0;
}

Status RemoveFile(FsState& part, FsEntry* entry) {
    if (!entry || entry->location3 >= kEntries) return 1;
    uint32_t index = entry->location3;
    uint8_t removed[kEntrySize];
    if (!ReadAt(part, index, 1, removed) || removed[0] == 0 ||
        ld32(removed + kFirstSector) != entry->start)
        return 1;
    uint32_t chain = ld32(removed + kChain);
    // Shift the following entries down, a batch at a time, up to and with
    // the first empty one (which then ends the directory one place sooner).
    static uint8_t moved[kShiftBatch * kEntrySize];
    uint32_t to = index;
    bool ended = false;
    while (!ended && to + 1 < kEntries) {
        uint32_t count = std::min<uint32_t>(kShiftBatch - 1, kEntries - (to + 1));
        if (!ReadAt(part, to + 1, count, moved)) return 1;
        for (uint32_t i = 0; i < count && !ended; ++i)
            if (moved[i * kEntrySize] == 0) {
                ended = true;
                count = i + 1;
            }
        if (to == index && moved[0] != 0) st32(moved + kChain, chain);
        if (!WriteAt(part, to, count, moved)) return 1;
        to += count;
    }
    if (!ended) {
        std::memset(moved, 0, kEntrySize);
        if (!WriteAt(part, kEntries - 1, 1, moved)) return 1;
    }
    return 0;
}

Status Clean(FsState& part, const char*) {
    uint8_t zero[kEntrySize] = {};
    return WriteAt(part, 0, 1, zero) ? 0 : 1;
}

} // namespace vk::cache
