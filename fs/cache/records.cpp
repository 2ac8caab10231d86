// Pure checks of the cache partition's records and the sector access.
#include <cstring>

#include "cache_internal.h"
#include "disk/disk.h"
#include "fs/cache.h"
#include "platform/checksum.h"
#include "platform/types.h"

namespace vk {

const char* CheckCacheEntry(const uint8_t* e, uint32_t previousCrc, uint64_t sizeSectors) {
    using namespace cachedir;
    if (CRC32(0, e, kCrcCovered) != ld32(e + kCrc)) return "CacheFS: CRC does not match\r\n";
    if (ld32(e + kChain) != previousCrc) return "CacheFS: Chained CRC does not match\r\n";
    if (ld32(e + kMagic) != kMagicValue) return "CacheFS: Invalid magic\r\n";
    uint32_t first = ld32(e + kFirstSector);
    uint64_t reserved = ld32(e + kReserved);
    if (first < kEntries) return "CacheFS: invalid firstsect (too small)\r\n";
    if (first >= sizeSectors) return "CacheFS: invalid firstsect (too big)\r\n";
    if (first + reserved > sizeSectors) return "CacheFS: invalid directory structure\r\n";
    // The name must end within its field, and the data the size announces
    // must lie inside the sectors the entry reserves.
    if (e[kName + kNameSize - 1] != 0) return "CacheFS: invalid name\r\n";
    if (uint64_t(cache::ChunksFor(ld32(e + kSize))) * cachechunk::kSectors > reserved)
        return "CacheFS: invalid file size\r\n";
    return nullptr;
}

int CheckCacheChunk(const uint8_t* chunk, uint32_t runningCrc) {
    using namespace cachechunk;
    if (CRC32(0, chunk, kOwnCrc) != ld32(chunk + kOwnCrc)) return 1;
    if (ld32(chunk + kPreviousCrc) != runningCrc) return 2;
    return 0;
}

namespace cache {

bool ReadAt(FsState& part, uint32_t sector, uint32_t count, uint8_t* buffer) {
    return Seek(part, sector) == 0 && ReadSects(part, uint16_t(count), buffer) == 0;
}

bool WriteAt(FsState& part, uint32_t sector, uint32_t count, const uint8_t* data) {
    return Seek(part, sector) == 0 && WriteSects(part, uint16_t(count), data) == 0;
}

uint32_t SealEntry(uint8_t* entry, bool writing) {
    uint32_t crc = CRC32(0, entry, cachedir::kCrcCovered) - (writing ? 1 : 0);
    st32(entry + cachedir::kCrc, crc);
    return crc;
}

} // namespace cache
} // namespace vk
