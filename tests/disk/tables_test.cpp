// Reading and writing partition tables and the active flag.
#include <cstring>

#include "disk_fixture.h"

namespace vk::test {
namespace {

using TableTest = DiskTest;

PartInfo Info(const char* name, uint16_t c0, uint8_t h0, uint16_t c1) {
    PartInfo r;
    snprintf(r.typeName, sizeof r.typeName, "%s", name);
    r.empty = 0;
    r.startCylinder = c0;
    r.startHead = h0;
    r.startSector = 1;
    r.endCylinder = c1;
    r.endHead = 63;
    r.endSector = 63;
    return r;
}

const uint8_t* EntryOf(const std::vector<uint8_t>& sector, int i) {
    return sector.data() + 446 + 16 * i;
}

TEST_F(TableTest, ATableWrittenOnABlankDiskCarriesTheSignature) {
    MemoryDisk* disk = AddMemoryDisk(100);
    PartInfo r[4] = {Info("FAT32-LBA", 0, 1, 9), Info("131", 10, 0, 19), PartInfo{},
                     Info("LINUX-SWAP", 20, 0, 20)};
    ASSERT_EQ(SetPartInfos(0x80, 0, r), 0);
    std::vector<uint8_t> s = disk->Sector(0);
    EXPECT_EQ(s[510], 0x55);
    EXPECT_EQ(s[511], 0xAA);
    EXPECT_EQ(EntryOf(s, 0)[4], 0x0C);
    EXPECT_EQ(EntryOf(s, 1)[4], 0x83);
    EXPECT_EQ(EntryOf(s, 2)[4], 0x00);
    EXPECT_EQ(EntryOf(s, 3)[4], 0x82);
    EXPECT_EQ(ld32(EntryOf(s, 0) + 8), Lba(0, 1, 1));
    EXPECT_EQ(ld32(EntryOf(s, 0) + 12), Lba(9, 63, 63) - Lba(0, 1, 1) + 1);
    EXPECT_EQ(ld32(EntryOf(s, 2) + 8), 0u);
    EXPECT_EQ(ld32(EntryOf(s, 2) + 12), 0u);
    EXPECT_EQ(ld32(EntryOf(s, 3) + 12), kCylinder);
    EXPECT_EQ(r[2].empty, 1); // flags recomputed into the records
    EXPECT_EQ(r[1].empty, 0);
    EXPECT_EQ(disk->rereads, 1); // the kernel is asked to re-read the table

    PartInfo back[4];
    ASSERT_EQ(GetPartInfos(0x80, 0, back), 0);
    EXPECT_STREQ(back[0].typeName, "FAT32-LBA");
    EXPECT_STREQ(back[1].typeName, "LINUX-EXT2");
    EXPECT_STREQ(back[2].typeName, "EMPTY");
    EXPECT_EQ(back[1].startCylinder, 10);
    EXPECT_EQ(back[1].endCylinder, 19);
    EXPECT_EQ(back[1].endHead, 63);
    EXPECT_EQ(back[1].endSector, 63);
    EXPECT_EQ(back[0].startHead, 1);
    EXPECT_EQ(back[2].empty, 1);
}

TEST_F(TableTest, BootCodeAndBootFlagsAreHandledAsSpecified) {
    MemoryDisk* disk = AddMemoryDisk(100);
    std::vector<uint8_t> s(512, 0x90);
    disk->PutSector(0, s.data());
    PutTable(disk, 0, {Part(0x83, 0, 1, 9, 0x80)});
    PartInfo r[4] = {Info("LINUX-EXT2", 0, 1, 9)};
    ASSERT_EQ(SetPartInfos(0x80, 0, r), 0);
    std::vector<uint8_t> after = disk->Sector(0);
    EXPECT_EQ(after[0], 0x90); // the boot program stays
    EXPECT_EQ(after[445], 0x90);
    EXPECT_EQ(EntryOf(after, 0)[0], 0); // boot flags are cleared
}

TEST_F(TableTest, ARefusedRecordWritesNothing) {
    MemoryDisk* disk = AddMemoryDisk(2000);
    uint64_t writes = disk->writes;
    PartInfo unknown[4] = {Info("FAT16", 0, 1, 9), Info("NOSUCHTYPE", 10, 0, 19)};
    EXPECT_EQ(SetPartInfos(0x80, 0, unknown), -1);
    // Cylinder 1500 does not fit 10 bits: refused rather than wrapped.
    PartInfo big[4] = {Info("FAT16", 0, 1, 9), Info("LINUX-EXT2", 10, 0, 1500)};
    EXPECT_EQ(SetPartInfos(0x80, 0, big), -1);
    EXPECT_NE(Logged().find("cannot hold"), std::string::npos);
    // A typed entry needs a location.
    PartInfo unplaced[4] = {Info("FAT16", 0, 1, 9), PartInfo{}};
    snprintf(unplaced[1].typeName, sizeof unplaced[1].typeName, "LINUX-EXT2");
    EXPECT_EQ(SetPartInfos(0x80, 0, unplaced), -1);
    PartInfo outside[4] = {Info("FAT16", 0, 1, 2000)};
    EXPECT_EQ(SetPartInfos(0x80, 0, outside), -1);
    EXPECT_EQ(disk->writes, writes);
    EXPECT_EQ(disk->Sector(0), std::vector<uint8_t>(512, 0));
}

TEST_F(TableTest, TwelveBitCylindersWithLbaOff) {
    MemoryDisk* disk = AddMemoryDisk(2000);
    LBAMode = 0;
    PartInfo r[4] = {Info("FAT16", 0, 1, 9), Info("LINUX-EXT2", 10, 0, 1500)};
    ASSERT_EQ(SetPartInfos(0x80, 0, r), 0);
    EXPECT_EQ(EntryOf(disk->Sector(0), 1)[5] >> 6, 1); // cylinder bit 10 in the head byte
    FsState* part = SelectPart(0x80, 2);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->start, Lba(10, 0, 1));
    EXPECT_EQ(part->sizeSectors, Lba(1500, 63, 63) - Lba(10, 0, 1) + 1);
}

// Three levels of extended tables. Data entries count from their own table,
// links from the outermost extended partition.
TEST_F(TableTest, ExtendedLinksCountFromTheOutermostExtendedPartition) {
    MemoryDisk* disk = AddMemoryDisk(200);
    PartInfo mbr[4] = {Info("FAT16", 0, 1, 9), Info("EXT", 10, 0, 99)};
    ASSERT_EQ(SetPartInfos(0x80, 0, mbr), 0);
    PartInfo l1[4] = {Info("LINUX-EXT2", 10, 1, 19), Info("EXT", 20, 0, 99)};
    ASSERT_EQ(SetPartInfos(0x80, 2, l1), 0);
    PartInfo l2[4] = {Info("LINUX-SWAP", 20, 1, 29), Info("EXT-LBA", 30, 0, 99)};
    ASSERT_EQ(SetPartInfos(0x80, 6, l2), 0);
    PartInfo l3[4] = {Info("FAT32", 30, 1, 99)};
    ASSERT_EQ(SetPartInfos(0x80, 10, l3), 0);

    const uint32_t outer = Lba(10, 0, 1);
    std::vector<uint8_t> t1 = disk->Sector(outer);
    EXPECT_EQ(ld32(EntryOf(t1, 0) + 8), Lba(10, 1, 1) - outer);
    EXPECT_EQ(ld32(EntryOf(t1, 1) + 8), Lba(20, 0, 1) - outer);
    std::vector<uint8_t> t2 = disk->Sector(Lba(20, 0, 1));
    EXPECT_EQ(ld32(EntryOf(t2, 0) + 8), Lba(20, 1, 1) - Lba(20, 0, 1));
    EXPECT_EQ(ld32(EntryOf(t2, 1) + 8), Lba(30, 0, 1) - outer);
    std::vector<uint8_t> t3 = disk->Sector(Lba(30, 0, 1));
    EXPECT_EQ(ld32(EntryOf(t3, 0) + 8), Lba(30, 1, 1) - Lba(30, 0, 1));
    EXPECT_EQ(t3[510], 0x55);

    FsState* part = SelectPart(0x80, 13);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part->typeName, "FAT32");
    EXPECT_EQ(part->start, Lba(30, 1, 1));
}

TEST_F(TableTest, TheActivePartitionIsFoundThroughTheExtendedChain) {
    MemoryDisk* disk = AddMemoryDisk(200);
    PartInfo mbr[4] = {Info("FAT16", 0, 1, 9), Info("EXT", 10, 0, 99)};
    ASSERT_EQ(SetPartInfos(0x80, 0, mbr), 0);
    PartInfo l1[4] = {Info("LINUX-EXT2", 10, 1, 19), Info("EXT", 20, 0, 99)};
    ASSERT_EQ(SetPartInfos(0x80, 2, l1), 0);
    PartInfo l2[4] = {Info("LINUX-SWAP", 20, 1, 29), Info("FAT16", 30, 0, 39)};
    ASSERT_EQ(SetPartInfos(0x80, 6, l2), 0);
    EXPECT_EQ(GetBootPart(0x80), 0);

    ASSERT_EQ(SetBootPart(0x80, 1), 0);
    EXPECT_EQ(GetBootPart(0x80), 1);
    EXPECT_EQ(EntryOf(disk->Sector(0), 0)[0], 0x80);

    ASSERT_EQ(SetBootPart(0x80, 10), 0);
    EXPECT_EQ(GetBootPart(0x80), 10);
    std::vector<uint8_t> m = disk->Sector(0);
    EXPECT_EQ(EntryOf(m, 0)[0], 0);
    EXPECT_EQ(EntryOf(m, 1)[0], 0x80); // the path runs through the extended entries
    EXPECT_EQ(EntryOf(disk->Sector(Lba(10, 0, 1)), 1)[0], 0x80);
    EXPECT_EQ(EntryOf(disk->Sector(Lba(20, 0, 1)), 1)[0], 0x80);
    EXPECT_EQ(EntryOf(disk->Sector(Lba(20, 0, 1)), 0)[0], 0);

    // Refused targets leave every table as it was.
    uint64_t writes = disk->writes;
    EXPECT_EQ(SetBootPart(0x80, 12), -1); // empty entry
    EXPECT_EQ(SetBootPart(0x80, 14), -1); // no further table
    EXPECT_EQ(SetBootPart(0x80, 0), -1);
    EXPECT_EQ(SetBootPart(0x81, 1), -1);
    EXPECT_EQ(disk->writes, writes);
    EXPECT_EQ(GetBootPart(0x80), 10);

    // Back to a primary: only the master boot record is written; the old
    // flags down the chain stay, unreached at boot.
    writes = disk->writes;
    ASSERT_EQ(SetBootPart(0x80, 1), 0);
    EXPECT_EQ(disk->writes, writes + 1);
    EXPECT_EQ(GetBootPart(0x80), 1);
    EXPECT_EQ(EntryOf(disk->Sector(Lba(20, 0, 1)), 1)[0], 0x80);
}

TEST_F(TableTest, GetBootPartEndsOnALoopingChain) {
    MemoryDisk* disk = AddMemoryDisk(100);
    PutTable(disk, 0, {Part(0x04, 0, 1, 9), Part(0x05, 10, 0, 59, 0x80)});
    uint32_t ext = Lba(10, 0, 1);
    PutTable(disk, ext, {Part(0x83, 10, 1, 19, 0, ext), Part(0x05, 10, 0, 59, 0x80, ext)});
    EXPECT_EQ(GetBootPart(0x80), 0);
}

TEST_F(TableTest, WithoutWriteAccessTablesAreOnlyLogged) {
    MemoryDisk* disk = AddMemoryDisk(100);
    AllowDiskWrite = 0;
    PartInfo r[4] = {Info("FAT16", 0, 1, 9)};
    EXPECT_EQ(SetPartInfos(0x80, 0, r), 0);
    EXPECT_EQ(disk->writes, 0u);
    EXPECT_NE(Logged().find("Disk write cancelled (default behaviour under Linux)\r\n"),
              std::string::npos);
}

} // namespace
} // namespace vk::test
