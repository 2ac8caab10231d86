// Block-map arithmetic, record lengths, directory sizes, name translation
// and packed attributes of the ext2 driver.
#include <gtest/gtest.h>

#include <cstring>

#include "ext2_internal.h"

namespace vk {
namespace {

TEST(Ext2Helpers, SizeInBlocks) {
    const struct {
        uint32_t size, B, blocks;
    } cases[] = {
        {0, 1024, 0},
        {1, 1024, 1},
        {12 * 1024, 1024, 12},
        {13 * 1024, 1024, 14}, // first single indirect
        {268 * 1024, 1024, 269},
        {269 * 1024, 1024, 272}, // double indirect opens
        {10485760, 1024, 10281},
        {10485760, 4096, 2564},
        {65805u * 1024, 1024, 66066}, // first triple-indirect block
        {0xFFFFFFFF, 4096, 1049601},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SizeInBlocks(c.size, c.B), c.blocks) << c.size << " / " << c.B;
}

TEST(Ext2Helpers, BlockAddress) {
    const struct {
        uint32_t index;
        int level;
        uint32_t a, b, c;
    } cases[] = {
        {0, 0, 0, 0, 0},
        {11, 0, 11, 0, 0},
        {12, 1, 0, 0, 0},
        {267, 1, 255, 0, 0},
        {268, 2, 0, 0, 0},
        {268 + 256 + 3, 2, 1, 3, 0},
        {12 + 256 + 65536, 3, 0, 0, 0},
        {12 + 256 + 65536 + 65536 + 256 + 1, 3, 1, 1, 1},
    };
    for (const auto& c : cases) {
        BlockPath path;
        BlockAddress(c.index, 256, &path);
        EXPECT_EQ(path.level, c.level) << c.index;
        EXPECT_EQ(path.index[0], c.a) << c.index;
        EXPECT_EQ(path.index[1], c.b) << c.index;
        EXPECT_EQ(path.index[2], c.c) << c.index;
    }
}

TEST(Ext2Helpers, RecordLengthsAndDirectorySizes) {
    EXPECT_EQ(RecLen(1), 12);
    EXPECT_EQ(RecLen(4), 12);
    EXPECT_EQ(RecLen(5), 16);
    EXPECT_EQ(RecLen(255), 264);
    FsEntry e{};
    std::strcpy(e.path, "{0:1}/abcd");
    e.name = e.path + 6;
    EXPECT_EQ(Ext2AddEntrySize(0, nullptr, 1024), 24u);
    EXPECT_EQ(Ext2AddEntrySize(0, &e, 1024), 36u);
    EXPECT_EQ(Ext2AddEntrySize(1012, &e, 1024), 1024u); // fits exactly
    EXPECT_EQ(Ext2AddEntrySize(1020, &e, 1024), 1036u); // moves to the next block
    EXPECT_EQ(Ext2AddEntrySize(1024, &e, 1024), 1036u);
}

TEST(Ext2Helpers, NamesTravelInIso) {
    uint8_t record[32] = {};
    EXPECT_EQ(MakeEntry(77, "caf\x82", record), 12);
    EXPECT_EQ(ld32(record), 77u);
    EXPECT_EQ(ld16(record + 6), 4);
    EXPECT_EQ(record[ext2de::kName + 3], 0xE9);
    char back[8];
    NameFromDisk(record + ext2de::kName, 4, back);
    EXPECT_STREQ(back, "caf\x82");
}

TEST(Ext2Helpers, PackedAttributes) {
    uint8_t inode[ext2ino::kSize] = {}, attr[ext2attr::kTotal], again[ext2ino::kSize] = {};
    st16(inode + ext2ino::kMode, kExt2Symlink | 0777);
    st32(inode + ext2ino::kFileSize, 7);
    std::memcpy(inode + ext2ino::kBlock, "target!", 7);
    st32(inode + ext2ino::kMtime, 123456);
    PackAttr(attr, inode);
    EXPECT_EQ(std::memcmp(attr + ext2attr::kExtra, "target!", 8), 0);
    UnPackAttr(again, attr);
    EXPECT_EQ(std::memcmp(again, inode, ext2ino::kSize), 0);
    // Devices: small numbers in the first pointer, large ones in the second;
    // flags of other layouts (extents) are not carried onto an inode.
    for (uint32_t device : {0x0801u, 0x12345678u}) {
        std::memset(attr, 0, sizeof attr);
        st16(attr + ext2attr::kMode, kExt2BlockDev | 0660);
        st32(attr + ext2attr::kExtra, device);
        st32(attr + ext2attr::kFlags, ext2ino::kExtentsFlag | 0x10);
        std::memset(again, 0, sizeof again);
        UnPackAttr(again, attr);
        EXPECT_EQ(ld32(again + ext2ino::kBlock + (device < 0x10000 ? 0 : 4)), device);
        EXPECT_EQ(ld32(again + ext2ino::kFlags), 0x10u);
        PackAttr(attr, again);
        EXPECT_EQ(ld32(attr + ext2attr::kExtra), device);
    }
}

} // namespace
} // namespace vk
