// The ext2 driver (Linux partitions, type 0x83).
#pragma once

#include "disk/fsdriver.h"

namespace vk {

extern const FsHandler EXT2Handler;
// Registration: type 0x83.
extern const FsDriver EXT2Driver;

} // namespace vk
