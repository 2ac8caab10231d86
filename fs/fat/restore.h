// Quick format and full restore of FAT volumes: the shared entry points
// behind the Clean and FullUnzip slots, and the pieces they share.
#pragma once

#include <cstdint>

#include "disk/fsdriver.h"
#include "geometry.h"
#include "platform/types.h"

namespace vk {

Status CleanFat(FsState& part, bool fat32, const char* label);
Status FullUnzipFat(FsState& part, bool fat32, IArchive* archive);

// Loads the driver area from the fresh or patched boot sector `boot` and
// bounds it by the geometry (clusters beyond it have no FAT entries).
// Unlike mounting, this needs no FAT yet. 0 or 1.
Status PrepareFatBoot(FsState& part, const uint8_t* boot, const FatGeometry& g);

// Logs why a partition of that size gets no geometry.
void LogFatGeometryRefusal(const char* who, bool fat32, uint64_t sizeSectors);
// False, after logging why, for a partition larger than a FAT volume's
// 32-bit sector count can describe.
bool FatAddressable(const char* who, uint64_t sizeSectors);

} // namespace vk
