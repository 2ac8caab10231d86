// The NTFS driver (Windows partitions, type 0x07): volumes read and written
// through libntfs-3g.
#pragma once

#include "disk/fsdriver.h"

namespace vk {

extern const FsHandler NTFSHandler;
// Registration: type 0x07.
extern const FsDriver NTFSDriver;

} // namespace vk
