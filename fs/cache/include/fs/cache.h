// The cache partition driver (CacheHandler): a flat file system in the
// unpartitioned space at the end of a disk, holding whole files written once
// and read back sequentially, every record protected by chained CRCs. A
// damaged record is dropped, never repaired.
#pragma once

#include <cstdint>

#include "disk/fsdriver.h"

namespace vk {

extern const FsHandler CacheHandler;
// Registration: the cache partition (type 0xFF).
extern const FsDriver CacheDriver;

// Checks one directory entry (512 bytes) against the CRC chain value of
// the entry before it (0 for entry 0) and a partition of sizeSectors
// sectors. Returns null when the entry is sound, else the message that
// names the first failing test.
const char* CheckCacheEntry(const uint8_t* entry, uint32_t previousCrc, uint64_t sizeSectors);

// Checks one data chunk (32768 bytes) against the running CRC of the
// chunks before it. 0 when sound, 1 for a wrong own CRC, 2 for a wrong
// previous-chunk CRC.
int CheckCacheChunk(const uint8_t* chunk, uint32_t runningCrc);

} // namespace vk
