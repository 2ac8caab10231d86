// The MBR pseudo file system: the first track of the whole disk (or of an
// extended partition) seen as a one-level directory of two files, so that
// archives save and restore boot code like any other files:
//   BootCode  bytes 0-445 of sector 0 (everything before the partition table)
//   BootData  sectors 1 to the end of the first track
#pragma once

#include "disk/fsdriver.h"

namespace vk {

extern const FsHandler MBRHandler;
// Registration: the whole disk and the extended types 0x05 and 0x0F.
extern const FsDriver MBRDriver;

constexpr uint32_t kBootCodeSize = 446;

} // namespace vk
