// The NTFS driver (Windows partitions, type 0x07): volumes read and written
// through libntfs-3g.
#pragma once

#include "disk/fsdriver.h"

namespace vk {

extern const FsHandler NTFSHandler;
// Registration: type 0x07.
extern const FsDriver NTFSDriver;
// Registration: an alternative for the FAT types 0x0C and 0x0E, which
// GUID partition tables' basic data partitions get.
extern const FsDriver NTFSDataDriver;

} // namespace vk
