// Cache files: sequential reading with the chunk CRC chain, writing in
// 64-sector chunks with reclaiming of the whole partition when it runs
// out, and the closing updates of the entry.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cache_internal.h"
#include "fs/cache.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/settings.h"
#include "platform/types.h"
#include "platform/util.h"

namespace vk::cache {

namespace {

using namespace cachedir;

// Reads the entry at `index` and the sector after it (2 sectors).
bool ReadEntryPair(FsState& part, uint32_t index, uint8_t* pair) {
    return index < kEntries && ReadAt(part, index, 2, pair);
}

// Updates the file's entry through `change`, seals it and carries the seal
// into the next sector's chain field.
template <typename Change>
Status UpdateEntry(FsState& part, FsFileHandle* file, bool writing, Change change) {
    uint8_t pair[2 * kEntrySize];
    if (!ReadEntryPair(part, uint32_t(file->index), pair) || pair[0] == 0 ||
        ld32(pair + kFirstSector) != file->first)
        return 1;
    change(pair);
    st32(pair + kMagic, kMagicValue);
    uint32_t crc = SealEntry(pair, writing);
    st32(pair + kEntrySize + kChain, crc);
    return WriteAt(part, uint32_t(file->index), 2, pair) ? 0 : 1;
}

// The partition is full while a file is written: keep only this file, as
// entry 0 with its data moved to the start of the data area.
bool Reclaim(FsState& part, FsFileHandle* file) {
    Log("Cache space exhausted, trying to clean on the fly\r\n");
    uint8_t pair[2 * kEntrySize];
    if (!ReadEntryPair(part, uint32_t(file->index), pair) || pair[0] == 0 ||
        ld32(pair + kFirstSector) != file->first)
        return false;
    if (file->first < kDataStart + 1) FatalError("FATAL ERROR: cache space is too short");
    st32(pair + kFirstSector, kDataStart);
    st32(pair + kChain, 0);
    st32(pair + kMagic, kMagicValue);
    SealEntry(pair, false);
    std::memset(pair + kEntrySize, 0, kEntrySize);
    if (!WriteAt(part, 0, 2, pair)) return false;
    static uint8_t moving[cachechunk::kBytes];
    uint32_t used = file->sector - file->first;
    for (uint32_t done = 0; done < used; done += cachechunk::kSectors) {
        if (!ReadAt(part, file->first + done, cachechunk::kSectors, moving) ||
            !WriteAt(part, kDataStart + done, cachechunk::kSectors, moving))
            return false;
    }
    file->index = 0;
    file->first = kDataStart;
    file->sector = kDataStart + used;
    return true;
}

} // namespace

Status OpenFile(FsState& part, FsEntry* entry, uint64_t* size, FsFileHandle** file) {
    if (!entry || entry->location3 >= kEntries || entry->start < kDataStart ||
        entry->start >= part.sizeSectors)
        return 1;
    auto* f = new FsFileHandle;
    f->sector = f->first = entry->start;
    f->expected = entry->location2;
    f->index = int16_t(entry->location3);
    f->size = entry->size;
    *size = entry->size;
    *file = f;
    return 0;
}

Status RewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file) {
    if (!entry || entry->location3 >= kEntries) return 1;
    auto* f = new FsFileHandle;
    f->sector = f->first = entry->start;
    f->index = int16_t(entry->location3);
    f->writing = 1;
    if (UpdateEntry(part, f, true, [&](uint8_t* e) { st32(e + kSize, newSize); }) != 0) {
        delete f;
        return 1;
    }
    *file = f;
    return 0;
}

uint16_t ReadFileChunk(FsState& part, FsFileHandle* file, uint8_t* buffer) {
    using namespace cachechunk;
    if (file->writing || file->failed || file->transferred >= file->size) return 0;
    if (uint64_t(file->sector) + kSectors > part.sizeSectors ||
        !ReadAt(part, file->sector, kSectors, buffer)) {
        Log("ERROR: CacheFS.[ReadChunk] Read error\r\n");
        // A file cut short is no sound copy: closing reports and drops it.
        file->failed = 1;
        return 0;
    }
    int bad = CheckCacheChunk(buffer, file->running);
    if (bad == 1) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "ERROR: CacheFS.[ReadChunk] Invalid current CRC at %u : %08X/%08X\r\n",
                      unsigned(file->transferred), unsigned(CRC32(0, buffer, kOwnCrc)),
                      unsigned(ld32(buffer + kOwnCrc)));
        Log(text);
    } else if (bad == 2) {
        Log("ERROR: CacheFS.[ReadChunk] Invalid previous CRC\r\n");
    }
    if (bad) {
        file->failed = 1;
        file->transferred = file->size; // the rest counts as read
        return 0;
    }
    file->running = ld32(buffer + kOwnCrc);
    file->sector += kSectors;
    file->transferred += std::min<uint32_t>(kData, file->size - file->transferred);
    return uint16_t(kData);
}

uint16_t WriteFileChunk(FsState& part, FsFileHandle* file, const uint8_t* buffer, uint16_t length) {
    using namespace cachechunk;
    if (!file->writing || length == 0) return 0;
    if (uint64_t(file->sector) + kSectors > part.sizeSectors &&
        (!Reclaim(part, file) || uint64_t(file->sector) + kSectors > part.sizeSectors))
        return 0;
    // The chunk is built in the handle: the caller's buffer may be shorter
    // than a chunk, and bytes beyond the file's data are zeros.
    uint16_t taken = uint16_t(std::min<uint32_t>(length, kData));
    std::memcpy(file->chunk, buffer, taken);
    std::memset(file->chunk + taken, 0, kData - taken);
    st32(file->chunk + kPreviousCrc, file->running);
    uint32_t crc = CRC32(0, file->chunk, kOwnCrc);
    st32(file->chunk + kOwnCrc, crc);
    if (!WriteAt(part, file->sector, kSectors, file->chunk)) return 0;
    file->running = crc;
    file->sector += kSectors;
    file->transferred += taken;
    return taken;
}

Status AdjustFileSize(FsState& part, FsFileHandle* file, FsEntry*, uint32_t newSize) {
    if (!file->writing) return 1;
    return UpdateEntry(part, file, false, [&](uint8_t* e) { st32(e + kSize, newSize); });
}

Status CloseFile(FsState& part, FsFileHandle* file) {
    Status result = 0;
    if (file->writing) {
        result = UpdateEntry(part, file, false, [&](uint8_t* e) {
            uint32_t used = file->sector - file->first;
            uint32_t reserved = ld32(e + kReserved);
            if (used > reserved) {
                uint64_t grown = used;
                if (SettingIsOn("CacheReserve")) grown += used / 4;
                reserved = uint32_t(std::min<uint64_t>(grown, part.sizeSectors - file->first));
                // The data may now overlap the next entry's: the directory
                // ends after this file.
                std::memset(e + kEntrySize, 0, 4);
            }
            st32(e + kReserved, reserved);
            st32(e + kLastChunkCrc, file->running);
            st32(e + kSize, file->transferred);
        });
    } else if (file->failed ||
               (file->transferred >= file->size && file->running != file->expected)) {
        Log("Corrupted file in the cache, removing it\r\n");
        uint8_t zero[kEntrySize] = {};
        WriteAt(part, uint32_t(file->index), 1, zero);
        result = 1;
    }
    delete file;
    return result;
}

} // namespace vk::cache
