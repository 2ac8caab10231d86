// The host directory file system: host files and directories served through
// the same driver table as the partitions. Names that are not partition paths
// reach it when the program routes them here (SetHostRoute in disk/files.h).
#pragma once

#include <cstdint>

#include "disk/fsdriver.h"

namespace vk {

// Identity "EXT2", attribute size 86, flags 0x01: archives made from host
// directories restore onto ext2 partitions and the other way round.
extern const FsHandler LXDOSHandler;
// The driver's own state record, outside the partition cache; always valid.
extern FsState DosFsState;

// Applies packed attributes (mode, owner, times, ext2 flags), or the
// access and modification times only, to a host path without following a
// symbolic link anywhere along it; failures are ignored.
void UnPackAttr(const char* path, const uint8_t* attributes);
void UnPackTimes(const char* path, const uint8_t* attributes);
// The ext2 directory-size rule: 0 becomes 24 (an empty directory), then the
// entry's record (name length + 8, rounded up to 4) is added, moving to the
// next block first when it would not fit in the rest of the current one.
uint32_t HostAddEntrySize(uint32_t size, const FsEntry* entry, uint16_t blockSize);

} // namespace vk
