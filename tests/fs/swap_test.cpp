// Swap headers: the size limits, version 0 bitmaps and version 1 headers,
// and the driver's Clean on a partition.
#include <cstring>

#include "disk_fixture.h"
#include "fs/swap.h"

namespace vk::test {
namespace {

bool Bit(const uint8_t* page, uint32_t i) {
    return (page[i / 8] >> (i % 8)) & 1;
}

TEST(SwapHeaderTest, TooSmallAreasAreRefused) {
    uint8_t page[kSwapPage];
    EXPECT_EQ(BuildSwapHeader(0, page), -1);
    EXPECT_EQ(BuildSwapHeader(7, page), -1);
    EXPECT_EQ(BuildSwapHeader(80, page), -1); // last page 9
    EXPECT_EQ(BuildSwapHeader(87, page), -1);
    EXPECT_EQ(BuildSwapHeader(88, page), 0); // last page 10
}

TEST(SwapHeaderTest, VersionZeroMarksPagesOneToLast) {
    uint8_t page[kSwapPage];
    ASSERT_EQ(BuildSwapHeader(88, page), 0);
    EXPECT_EQ(page[0], 0xFE);
    EXPECT_EQ(page[1], 0x07);
    for (int i = 2; i < 4086; ++i)
        ASSERT_EQ(page[i], 0) << i;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(page) + 4086, 10), "SWAP-SPACE");

    // The largest version 0 area: its map reaches right up to the magic.
    const uint32_t last = kSwapVersion1From - 1;
    ASSERT_EQ(BuildSwapHeader((last + 1) * 8 + 7, page), 0);
    EXPECT_FALSE(Bit(page, 0));
    for (uint32_t i = 1; i <= last; ++i)
        ASSERT_TRUE(Bit(page, i)) << i;
    EXPECT_EQ(page[4085], 0xFF);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(page) + 4086, 10), "SWAP-SPACE");
}

TEST(SwapHeaderTest, VersionOneFromLastPage32688) {
    uint8_t page[kSwapPage];
    ASSERT_EQ(BuildSwapHeader((kSwapVersion1From + 1) * 8, page), 1);
    EXPECT_EQ(ld32(page + 1024), 1u);
    EXPECT_EQ(ld32(page + 1028), kSwapVersion1From);
    EXPECT_EQ(ld32(page + 1032), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(page) + 4086, 10), "SWAPSPACE2");
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(page[i], 0);
    ASSERT_EQ(BuildSwapHeader(0xFFFFFFFFu, page), 1);
    EXPECT_EQ(ld32(page + 1028), 0xFFFFFFFFu / 8 - 1);
}

using SwapTest = DiskTest;

TEST_F(SwapTest, CleanWritesTheHeaderAtThePartitionStart) {
    MemoryDisk* disk = AddMemoryDisk(100);
    PutTable(disk, 0, {Part(0x83, 0, 1, 9), Part(0x82, 10, 0, 79), Part(0x82, 80, 0, 80)});
    FsState* part = SelectPart(0x80, 2);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->valid, 0);
    const FsHandler* h = part->handler;
    ASSERT_EQ(h, &SWAPHandler);
    EXPECT_EQ(h->OpenDir, nullptr);
    EXPECT_EQ(h->FullUnzip, nullptr);
    EXPECT_EQ(h->GetNumBootSectors(*part, nullptr), 0);
    ClearLog();
    ASSERT_EQ(h->Clean(*part, ""), 0); // 70 cylinders: 141 MB, version 1
    EXPECT_EQ(Logged(),
              "Warning : Swap partitions bigger than 128Mb are only support with Linux kernel "
              ">2.1.x\r\n");
    uint32_t start = Lba(10, 0, 1);
    std::vector<uint8_t> last = disk->Sector(start + 7);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(last.data()) + 4086 - 3584, 10), "SWAPSPACE2");
    EXPECT_EQ(ld32(disk->Sector(start + 2).data()), 1u);
    EXPECT_EQ(ld32(disk->Sector(start + 2).data() + 4), 70 * kCylinder / 8 - 1);

    FlushParts();
    part = SelectPart(0x80, 3);
    ASSERT_NE(part, nullptr); // one cylinder: version 0
    ClearLog();
    ASSERT_EQ(part->handler->Clean(*part, ""), 0);
    EXPECT_EQ(Logged(), "");
    EXPECT_EQ(disk->Sector(Lba(80, 0, 1))[0], 0xFE);
}

TEST_F(SwapTest, ATooSmallPartitionIsRefusedAndUntouched) {
    MemoryDisk* disk = AddMemoryDisk(100);
    RawEntry tiny = Part(0x82, 10, 0, 10);
    tiny.h1 = 1;
    tiny.s1 = 17; // 80 sectors: last page 9
    PutTable(disk, 0, {Part(0x83, 0, 1, 9), tiny});
    FsState* part = SelectPart(0x80, 2);
    ASSERT_NE(part, nullptr);
    ASSERT_EQ(part->sizeSectors, 80u);
    uint64_t writes = disk->writes;
    EXPECT_NE(part->handler->Clean(*part, ""), 0);
    EXPECT_EQ(disk->writes, writes);
}

TEST_F(SwapTest, AFailedWriteIsAFailedClean) {
    auto inner = std::make_unique<MemoryDisk>(uint64_t(kCylinder) * 512 * 100);
    auto faulty = std::make_unique<FaultyDisk>(std::move(inner), 0, 1);
    FaultyDisk* device = faulty.get();
    AddDiskDevice(std::move(faulty));
    PutTable(static_cast<MemoryDisk*>(device->inner()), 0, {Part(0x82, 0, 1, 9)});
    FsState* part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    EXPECT_NE(part->handler->Clean(*part, ""), 0);
}

} // namespace
} // namespace vk::test
