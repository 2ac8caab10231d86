// Geometry of a fresh FAT volume.
#include "geometry.h"

namespace vk {

namespace {

// Largest cluster count not above `n` whose clusters and two FATs fit.
uint32_t FitClusters(uint32_t sizeSectors, const FatGeometry& g, uint32_t n,
                     uint32_t* sectorsPerFat, uint32_t* total) {
    for (;;) {
        uint64_t f = ((uint64_t(n) + 1) >> (9 - g.widthCode)) + 1;
        uint64_t t = uint64_t(g.spc) * n + 2 * f + g.area;
        if (t <= sizeSectors || n == 0) {
            *sectorsPerFat = uint32_t(f);
            *total = uint32_t(t);
            return n;
        }
        --n;
    }
}

} // namespace

Status ComputeFatParams(bool fat32, uint32_t sizeSectors, FatGeometry* out) {
    FatGeometry g;
    if (!fat32) {
        g.widthCode = 1;
        g.area = 33;
        if (sizeSectors <= g.area) return 1;
        // Clusters of 2 sectors where 4 would leave fewer than 4085, which
        // other systems take for FAT12.
        for (uint32_t first = 4; first >= 2; first /= 2) {
            g.spc = first;
            uint32_t n = (sizeSectors - g.area) / g.spc;
            while (n > kFat16ClusterCap && g.spc <= 64) {
                g.spc *= 2;
                n /= 2;
            }
            if (g.spc > 64) {
                g.spc = 64;
                n = kFat16ClusterCap;
            }
            g.clusters = FitClusters(sizeSectors, g, n, &g.sectorsPerFat, &g.totalSectors);
            if (g.clusters >= kFat16MinClusters) {
                *out = g;
                return 0;
            }
        }
        return 1;
    }
    g.widthCode = 2;
    g.area = 32;
    if (sizeSectors <= g.area) return 1;
    for (uint32_t spc = 8; spc >= 2; spc /= 2) {
        g.spc = spc;
        uint32_t n = (sizeSectors - g.area) / spc;
        if (n > kFat32ClusterLimit) n = kFat32ClusterLimit;
        g.clusters = FitClusters(sizeSectors, g, n, &g.sectorsPerFat, &g.totalSectors);
        if (g.clusters >= kFat32MinClusters) {
            *out = g;
            return 0;
        }
    }
    return 1;
}

uint32_t VolumeSectors(const FatGeometry& g, uint32_t sizeSectors) {
    if (g.widthCode != 1) return sizeSectors;
    uint64_t data = uint64_t(g.area) + 2 * uint64_t(g.sectorsPerFat);
    if (sizeSectors <= data) return sizeSectors;
    return (sizeSectors - data) / g.spc > kFat16MostClusters ? g.totalSectors : sizeSectors;
}

} // namespace vk
