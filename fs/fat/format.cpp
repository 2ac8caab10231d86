// Quick format of FAT16 and FAT32 partitions.
#include "fat_internal.h"

namespace vk {

Status Clean16(const char*) { return 1; }
Status Clean32(const char*) { return 1; }

} // namespace vk
