// The ext4 driver (Linux partitions, type 0x83, as an alternative to the
// ext2 driver): volumes the ext2 driver refuses for their features
// (extents, 64-bit block numbers, checksums, ...), read and written
// through libext2fs.
#pragma once

#include "disk/fsdriver.h"

namespace vk {

extern const FsHandler EXT4Handler;
// Registration: an alternative for type 0x83.
extern const FsDriver EXT4Driver;

} // namespace vk
