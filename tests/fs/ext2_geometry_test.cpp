// Geometry of fresh ext2 volumes: known partition sizes, the dropped small
// last group, the smallest volume, and where a file's indirect blocks go.
#include <gtest/gtest.h>

#include "ext2_internal.h"
#include "geometry.h"

namespace vk {
namespace {

struct Case {
    uint32_t sectors;
    uint32_t blocks, groups, ipg, gd, it, overhead, last;
};

TEST(Ext2GeometryTest, KnownSizes) {
    const Case cases[] = {
        {204800, 102400, 13, 1976, 1, 247, 251, 4095},    // 100 MB
        {16586, 8193, 1, 2048, 1, 256, 260, 8192},        // a 100-block last group is dropped
        {525090, 262545, 33, 1992, 2, 249, 254, 400},     // 33 groups: two descriptor blocks
        {524890, 262145, 32, 2048, 1, 256, 260, 8192},    // 300 blocks are too few: dropped
        {4194304, 2097152, 256, 2048, 8, 256, 267, 8191}, // 2 GB
        {114, 57, 1, 16, 1, 2, 6, 56},                    // the smallest volume
    };
    for (const Case& c : cases) {
        Ext2Geometry g;
        ASSERT_EQ(ComputeExt2Params(c.sectors, &g), 0) << c.sectors;
        EXPECT_EQ(g.blocksCount, c.blocks) << c.sectors;
        EXPECT_EQ(g.groups, c.groups) << c.sectors;
        EXPECT_EQ(g.inodesPerGroup, c.ipg) << c.sectors;
        EXPECT_EQ(g.totalInodes, c.groups * c.ipg) << c.sectors;
        EXPECT_EQ(g.descBlocks, c.gd) << c.sectors;
        EXPECT_EQ(g.inodeBlocks, c.it) << c.sectors;
        EXPECT_EQ(g.overhead, c.overhead) << c.sectors;
        EXPECT_EQ(g.lastGroup, c.last) << c.sectors;
        // The groups cover blocks 1 to blocksCount - 1.
        EXPECT_EQ(g.GroupStart(g.groups - 1) + g.lastGroup, g.blocksCount) << c.sectors;
    }
    Ext2Geometry g;
    for (uint32_t sectors : {0u, 2u, 3u, 112u, 113u})
        EXPECT_NE(ComputeExt2Params(sectors, &g), 0) << sectors;
}

TEST(Ext2GeometryTest, DataSequenceSkipsGroupMetadata) {
    Ext2Geometry g;
    ASSERT_EQ(ComputeExt2Params(204800, &g), 0);
    EXPECT_EQ(g.DataBlock(0), 252u); // behind superblock, descriptors, bitmaps, inode table
    EXPECT_EQ(g.DataBlock(8192 - 251 - 1), 8192u);
    EXPECT_EQ(g.DataBlock(8192 - 251), 8193u + 251);
    EXPECT_EQ(g.DataBlocks(), 12u * (8192 - 251) + 4095 - 251);
    EXPECT_EQ(g.InodeTableBlock(247), 8193u + 1 + 3); // group 1's table
}

TEST(Ext2GeometryTest, RunLayoutCountsWhatSizeInBlocksCounts) {
    const uint32_t P = 256;
    struct Run {
        uint32_t data, indirect, doubleLeaves, middle, leaves;
    };
    const Run runs[] = {
        {0, 0, 0, 0, 0},
        {12, 0, 0, 0, 0},
        {13, 1, 0, 0, 0},
        {12 + P, 1, 0, 0, 0},
        {13 + P, 3, 1, 0, 0},
        {12 + P + P * P, 2 + P, P, 0, 0},
        {13 + P + P * P, 5 + P, P, 1, 1},
        {12 + P + 2 * P * P + 1, 6 + 2 * P, P, 2, P + 1},
        {4194304, 16449, P, 63, 16127}, // 4 GB
    };
    for (const Run& r : runs) {
        Ext2RunLayout l = LayOutRun(r.data, P);
        EXPECT_EQ(l.indirect, r.indirect) << r.data;
        EXPECT_EQ(l.doubleLeaves, r.doubleLeaves) << r.data;
        EXPECT_EQ(l.tripleMiddle, r.middle) << r.data;
        EXPECT_EQ(l.tripleLeaves, r.leaves) << r.data;
        if (r.data < 4194304) {
            EXPECT_EQ(SizeInBlocks(r.data * 1024, 1024), r.data + r.indirect) << r.data;
        }
    }
}

} // namespace
} // namespace vk
