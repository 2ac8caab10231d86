// Internals shared by the FAT driver's files.
#pragma once

#include <cstdint>

#include "disk/fsdriver.h"
#include "platform/types.h"

namespace vk {

// Quick format and full restore (the two slots that differ between the
// FAT16 and FAT32 tables).
Status Clean16(const char* label);
Status Clean32(const char* label);
Status FullUnzip16(IArchive* archive);
Status FullUnzip32(IArchive* archive);

} // namespace vk
