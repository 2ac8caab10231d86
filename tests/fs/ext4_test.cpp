// The ext4 driver on in-memory disks: its channel never reaches past the
// partition, a cleaned partition is taken by it (not by the ext2 driver),
// and files and directories written through its table read back and give
// every block and inode back when removed.
#include <algorithm>
#include <cstring>
#include <vector>

#include "disk_fixture.h"
#include "ext4_internal.h"
#include "fs/ext2.h"
#include "fs/ext4.h"

namespace vk::test {
namespace {

class Ext4Test : public DiskTest {
  protected:
    void SetUp() override {
        DiskTest::SetUp();
        RegisterFsDriver(EXT2Driver);
        RegisterFsDriver(EXT4Driver);
        InitFsHandlers();
        disk_ = AddMemoryDisk(14);
        // Partition 1: cylinders 0-11 (about 24 MB); 2: cylinder 12 (2 MB).
        PutTable(disk_, 0, {Part(0x83, 0, 1, 11), Part(0x83, 12, 0, 12)});
    }

    FsState* Cleaned(const char* label) {
        FsState* part = SelectPart(0x80, 1);
        if (part == nullptr || EXT4Handler.Clean(*part, label) != 0) return nullptr;
        RecogniseFs(*part);
        return part;
    }

    MemoryDisk* disk_ = nullptr;
};

TEST_F(Ext4Test, TheChannelStaysInsideThePartition) {
    FsState* part = SelectPart(0x80, 2);
    ASSERT_NE(part, nullptr);
    const uint64_t bytes = uint64_t(part->sizeSectors) * 512;
    io_channel channel = nullptr;
    BindNextChannel(*part);
    ASSERT_EQ(PartitionIoManager()->open(kChannelName, 0, &channel), 0);
    ASSERT_EQ(io_channel_set_blksize(channel, 1024), 0);
    std::vector<uint8_t> block(4096, 0x5A), read(4096);
    const uint64_t last = bytes / 1024 - 1;
    ClearLog();
    struct Row {
        unsigned long long block;
        int count;
        bool fits;
    };
    const Row rows[] = {
        {0, 1, true},         {last, 1, true},       {last, 2, false},
        {last + 1, 1, false}, {1, -1024, true},      {last, -1024, true},
        {last, -1025, false}, {~0ULL / 2, 1, false}, {~0ULL, 1, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "block " << row.block << " count " << row.count);
        EXPECT_EQ(io_channel_read_blk64(channel, row.block, row.count, read.data()) == 0, row.fits);
        EXPECT_EQ(io_channel_write_blk64(channel, row.block, row.count, block.data()) == 0,
                  row.fits);
    }
    // Refused before any disk access: nothing logged, nothing written past
    // the partition (the disk's last cylinder is partition 2's).
    EXPECT_EQ(Logged(), "");
    EXPECT_EQ(disk_->Sector(part->start + part->sizeSectors - 1)[0], 0x5A);
    EXPECT_EQ(disk_->Sector(part->start + part->sizeSectors)[0], 0);
    io_channel_close(channel);
}

// Single blocks stay in the channel's cache until the library flushes;
// reads of several blocks and of byte ranges see them, and a byte write
// over a cached block is kept by it.
TEST_F(Ext4Test, CachedBlocksAreSeenByEveryReadAndReachTheDiskAtTheFlush) {
    FsState* part = SelectPart(0x80, 2);
    ASSERT_NE(part, nullptr);
    io_channel channel = nullptr;
    BindNextChannel(*part);
    ASSERT_EQ(PartitionIoManager()->open(kChannelName, 0, &channel), 0);
    ASSERT_EQ(io_channel_set_blksize(channel, 1024), 0);
    std::vector<uint8_t> a(1024, 0xA1), b(512, 0xB2), read(3072);
    ASSERT_EQ(io_channel_write_blk64(channel, 3, 1, a.data()), 0);
    EXPECT_EQ(disk_->Sector(part->start + 6)[0], 0); // block 3 = sectors 6 and 7
    ASSERT_EQ(io_channel_read_blk64(channel, 2, 3, read.data()), 0);
    EXPECT_EQ(read[1023], 0);
    EXPECT_EQ(read[1024], 0xA1);
    EXPECT_EQ(read[2047], 0xA1);
    EXPECT_EQ(read[2048], 0);
    // 512 bytes at block 3: straight to the disk, and into the cached copy.
    ASSERT_EQ(io_channel_write_blk64(channel, 3, -512, b.data()), 0);
    ASSERT_EQ(io_channel_read_blk64(channel, 3, 1, read.data()), 0);
    EXPECT_EQ(read[0], 0xB2);
    EXPECT_EQ(read[512], 0xA1);
    ASSERT_EQ(io_channel_flush(channel), 0);
    EXPECT_EQ(disk_->Sector(part->start + 6)[0], 0xB2);
    EXPECT_EQ(disk_->Sector(part->start + 7)[0], 0xA1);
    io_channel_close(channel);
}

TEST_F(Ext4Test, ACleanedPartitionIsExt4AndABlankOneStaysWithExt2) {
    FsState* part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->handler, &EXT2Handler); // blank: the type's own driver
    EXPECT_EQ(part->valid, 0);
    part = Cleaned("LABEL");
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->handler, &EXT4Handler);
    EXPECT_EQ(part->valid, 1);
    ext2_filsys fs = VolumeOf(*part);
    ASSERT_NE(fs, nullptr);
    EXPECT_TRUE(ext2fs_has_feature_metadata_csum(fs->super));
    EXPECT_TRUE(ext2fs_has_feature_64bit(fs->super));
    EXPECT_TRUE(ext2fs_has_feature_journal(fs->super));
    const char* name = reinterpret_cast<const char*>(fs->super->s_volume_name);
    EXPECT_EQ(std::string(name, strnlen(name, sizeof fs->super->s_volume_name)), "LABEL");
    EXPECT_EQ(EXT2_INODE_SIZE(fs->super), 256);
    // Selected afresh, it is found again by its superblock.
    FlushParts();
    part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->handler, &EXT4Handler);
    EXPECT_EQ(part->valid, 1);
}

TEST_F(Ext4Test, WrittenFilesReadBackAndRemovalsGiveEverythingBack) {
    FsState* part = Cleaned("");
    ASSERT_NE(part, nullptr);
    ext2_filsys fs = VolumeOf(*part);
    const blk64_t freeBlocks = ext2fs_free_blocks_count(fs->super);
    const uint32_t freeInodes = fs->super->s_free_inodes_count;
    const FsHandler& h = *part->handler;

    FsDirHandle* root = nullptr;
    ASSERT_EQ(h.OpenDir(*part, nullptr, &root), 0);
    FsEntry dir{}, file{};
    ASSERT_EQ(h.CreateDir(*part, root, "sub", nullptr, &dir), 0);
    h.CloseDir(*part, root);
    FsDirHandle* sub = nullptr;
    ASSERT_EQ(h.OpenDir(*part, &dir, &sub), 0);
    ASSERT_EQ(h.CreateFile(*part, sub, "data.bin", nullptr, &file), 0);
    h.CloseDir(*part, sub);

    // Sizes around block and chunk edges, each written and read back.
    for (uint32_t size : {0u, 1u, 1024u, 1025u, 32768u, 100000u, 3000000u}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> data(size);
        for (uint32_t i = 0; i < size; ++i)
            data[i] = uint8_t(i * 7 + size);
        FsFileHandle* out = nullptr;
        ASSERT_EQ(h.RewriteFile(*part, &file, size, &out), 0);
        std::vector<uint8_t> chunk(kChunkMax);
        for (uint32_t at = 0; at < size;) {
            const uint16_t n = uint16_t(std::min<uint32_t>(size - at, kChunkMax));
            std::copy_n(data.begin() + at, n, chunk.begin());
            const uint16_t written = h.WriteFileChunk(*part, out, chunk.data(), n);
            ASSERT_GT(written, 0);
            at += written;
        }
        EXPECT_EQ(h.WriteFileChunk(*part, out, chunk.data(), 1), 0); // nothing reserved left
        ASSERT_EQ(h.CloseFile(*part, out), 0);
        ASSERT_EQ(h.GetFileInfo(*part, &file), 0);
        EXPECT_EQ(file.size, size);
        uint64_t announced = 0;
        FsFileHandle* in = nullptr;
        ASSERT_EQ(h.OpenFile(*part, &file, &announced, &in), 0);
        EXPECT_EQ(announced, size);
        std::vector<uint8_t> back;
        while (uint16_t n = h.ReadFileChunk(*part, in, chunk.data()))
            back.insert(back.end(), chunk.begin(), chunk.begin() + n);
        h.CloseFile(*part, in);
        back.resize(std::min<size_t>(back.size(), size));
        EXPECT_TRUE(back == data);
    }
    // A reservation larger than the volume is refused before any write.
    FsFileHandle* out = nullptr;
    ASSERT_EQ(h.RewriteFile(*part, &file, 0, &out), 0);
    EXPECT_NE(h.AdjustFileSize(*part, out, &file, 200000000), 0);
    h.CloseFile(*part, out);

    // A directory with content is not removed; emptied, it is.
    EXPECT_NE(h.RemoveDir(*part, &dir), 0);
    ASSERT_EQ(h.RemoveFile(*part, &file), 0);
    ASSERT_EQ(h.RemoveDir(*part, &dir), 0);
    EXPECT_EQ(ext2fs_free_blocks_count(fs->super), freeBlocks);
    EXPECT_EQ(fs->super->s_free_inodes_count, freeInodes);
    ASSERT_EQ(FlushParts(), 0);
    part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    ASSERT_EQ(part->handler, &EXT4Handler);
    fs = VolumeOf(*part);
    EXPECT_EQ(ext2fs_free_blocks_count(fs->super), freeBlocks);
    EXPECT_EQ(fs->super->s_free_inodes_count, freeInodes);
    FsDirHandle* again = nullptr;
    ASSERT_EQ(part->handler->OpenDir(*part, nullptr, &again), 0);
    FsEntry entry{};
    std::vector<std::string> names;
    while (part->handler->NextDirEntry(*part, again, &entry) == 0)
        names.emplace_back(entry.name);
    part->handler->CloseDir(*part, again);
    EXPECT_EQ(names, std::vector<std::string>{"lost+found"});
}

} // namespace
} // namespace vk::test
