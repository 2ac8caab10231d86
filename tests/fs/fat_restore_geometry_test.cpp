// Geometry of fresh FAT volumes: the table of sizes the layout must give,
// the FAT16 cap, the FAT32 floor of 65525 clusters and the fit itself over
// a sweep of partition sizes.
#include <gtest/gtest.h>

#include "geometry.h"

namespace vk {
namespace {

struct Case {
    bool fat32;
    uint32_t size;
    uint32_t spc, fat, clusters, total;
};

TEST(FatGeometryTest, KnownSizes) {
    const Case cases[] = {
        {false, 204800, 4, 200, 51091, 204797},    // 100 MB: 4 sectors per cluster
        {false, 409600, 8, 200, 51145, 409593},    // 200 MB
        {false, 4194304, 64, 256, 65518, 4193697}, // 2 GB: capped
        {false, 8388608, 64, 256, 65518, 4193697}, // 4 GB: the cap again
        {false, 20480, 4, 20, 5101, 20477},        // 10 MB
        {false, 12288, 2, 24, 6103, 12287},        // 6 MB: 2 sectors keep it FAT16
        {true, 614400, 8, 599, 76646, 614398},     // 300 MB: 8 sectors
        {true, 266240, 4, 518, 66293, 266240},     // 130 MB: 4 keep FAT32 sound
        {true, 204800, 2, 794, 101590, 204800},    // 100 MB: 2 do
        {true, 4194304, 8, 4088, 523262, 4194304}, // 2 GB
    };
    for (const Case& c : cases) {
        FatGeometry g;
        ASSERT_EQ(ComputeFatParams(c.fat32, c.size, &g), 0) << c.size;
        EXPECT_EQ(g.widthCode, c.fat32 ? 2 : 1);
        EXPECT_EQ(g.area, c.fat32 ? 32u : 33u);
        EXPECT_EQ(g.spc, c.spc) << c.size;
        EXPECT_EQ(g.sectorsPerFat, c.fat) << c.size;
        EXPECT_EQ(g.clusters, c.clusters) << c.size;
        EXPECT_EQ(g.totalSectors, c.total) << c.size;
    }
}

TEST(FatGeometryTest, TooSmallIsRefused) {
    FatGeometry g;
    EXPECT_NE(ComputeFatParams(false, 33, &g), 0); // no cluster fits
    EXPECT_NE(ComputeFatParams(false, 0, &g), 0);
    EXPECT_NE(ComputeFatParams(false, 8234, &g), 0); // 4 MB: below 4085 clusters
    ASSERT_EQ(ComputeFatParams(false, 8235, &g), 0);
    EXPECT_EQ(g.spc, 2u);
    EXPECT_EQ(g.clusters, 4085u);
    EXPECT_NE(ComputeFatParams(true, 131072, &g), 0); // 64 MB: below 65525 clusters
    EXPECT_NE(ComputeFatParams(true, 20, &g), 0);
    // The smallest FAT32 volume: 65525 clusters of 2 sectors, 512-sector FATs.
    const uint32_t smallest = 2 * 65525 + 2 * 512 + 32;
    EXPECT_NE(ComputeFatParams(true, smallest - 1, &g), 0);
    ASSERT_EQ(ComputeFatParams(true, smallest, &g), 0);
    EXPECT_EQ(g.spc, 2u);
    EXPECT_EQ(g.clusters, 65525u);
}

// Every size fits its partition, uses it (one more cluster would not fit),
// stays within what FAT16 or FAT32 can be, and states a total sector count
// from which other systems count the same kind.
TEST(FatGeometryTest, SweepOfSizes) {
    for (uint64_t size = 40; size <= 0xFFFFFFFFull; size = size * 21 / 20 + 7) {
        for (bool fat32 : {false, true}) {
            FatGeometry g;
            if (ComputeFatParams(fat32, uint32_t(size), &g) != 0) {
                ASSERT_TRUE(size < (fat32 ? 140000u : 8300u)) << size;
                continue;
            }
            ASSERT_LE(g.totalSectors, size);
            uint32_t need = g.area + 2 * g.sectorsPerFat + g.spc * g.clusters;
            ASSERT_EQ(g.totalSectors, need);
            // The FAT holds entries 0 to N + 1.
            ASSERT_GE(uint64_t(g.sectorsPerFat) * (512 >> g.widthCode), g.clusters + 2ull);
            uint32_t total = VolumeSectors(g, uint32_t(size));
            uint32_t counted = (total - g.area - 2 * g.sectorsPerFat) / g.spc;
            if (fat32) {
                ASSERT_GE(g.clusters, 65525u) << size;
                ASSERT_LE(g.clusters, 0x0FFFFFF5u) << size;
                ASSERT_EQ(total, size);
            } else {
                ASSERT_LE(g.clusters, 65518u) << size;
                ASSERT_GE(g.clusters, 4085u) << size;
                ASSERT_LE(counted, 65524u) << size;
                ASSERT_GE(counted, g.clusters);
                if (g.spc < 64) {
                    // Not capped: one more cluster would not fit.
                    uint32_t f = ((g.clusters + 2) >> 8) + 1;
                    ASSERT_GT(uint64_t(g.spc) * (g.clusters + 1) + 2 * f + g.area, size);
                }
            }
        }
    }
}

} // namespace
} // namespace vk
