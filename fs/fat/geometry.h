// Volume geometry of a fresh FAT16 or FAT32 file system: cluster size, FAT
// size and cluster count for a partition of a given size. Pure arithmetic,
// shared by quick format and full restore.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace vk {

// Cluster counts from which other systems take a volume for FAT16 or FAT32
// (they decide by the count alone), and the largest FAT32 count whose
// cluster numbers stay below the reserved values.
constexpr uint32_t kFat16MinClusters = 4085;   // fewer are taken for FAT12
constexpr uint32_t kFat16ClusterCap = 65518;   // what the layout caps FAT16 at
constexpr uint32_t kFat16MostClusters = 65524; // more are taken for FAT32
constexpr uint32_t kFat32MinClusters = 65525;
constexpr uint32_t kFat32ClusterLimit = 0x0FFFFFF5;

struct FatGeometry {
    uint8_t widthCode = 0;      // 1 = FAT16, 2 = FAT32
    uint32_t area = 0;          // sectors before the FATs counted in the fit (reserved + root)
    uint32_t spc = 0;           // sectors per cluster
    uint32_t sectorsPerFat = 0; // one FAT copy
    uint32_t clusters = 0;      // N: clusters 2 to N + 1
    uint32_t totalSectors = 0;  // T = spc * N + 2 * F + area, at most the partition size
};

// Chooses the geometry for a partition of `sizeSectors` sectors. FAT16
// starts at 4 sectors per cluster and doubles up to 64, capping the count
// at 65518; a small volume takes 2 sectors per cluster where 4 would give
// fewer than 4085 clusters (it would be read as FAT12). FAT32 takes 8 sectors per cluster, or 4 or
// 2 where 8 would give fewer than 65525 clusters (a volume that small would be read as FAT16 by
// other systems). Returns 0, or 1 when no sound geometry exists (FAT16
// below 4085 or FAT32 below 65525 clusters even with 2 sectors).
Status ComputeFatParams(bool fat32, uint32_t sizeSectors, FatGeometry* out);

// Total sector count for the boot sector. Other systems count the clusters
// from it, so a capped FAT16 volume on a larger partition states only the
// sectors it uses (its whole partition would count as more than 65524
// clusters, which they take for FAT32); otherwise the partition size.
uint32_t VolumeSectors(const FatGeometry& g, uint32_t sizeSectors);

} // namespace vk
