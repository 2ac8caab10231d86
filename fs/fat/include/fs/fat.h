// The FAT16 and FAT32 driver. Both tables share every operation but Clean
// and FullUnzip, which choose the FAT width.
#pragma once

#include <cstdint>

#include "disk/fsdriver.h"

namespace vk {

extern const FsHandler FAT16Handler;
extern const FsHandler FAT32Handler;
// Registrations: FAT16 serves types 0x04, 0x06 and 0x0E, FAT32 0x0B and 0x0C.
extern const FsDriver FAT16Driver;
extern const FsDriver FAT32Driver;

// 1 while size changes also stamp the modification date and time; cleared
// by restores that keep the stored times.
extern uint8_t TouchFiles;

} // namespace vk
