// The FAT boot sector and master boot record builders.
#include <cstring>

#include "disk_fixture.h"

namespace vk::test {
namespace {

using BootSectorTest = DiskTest;

std::string Text(const uint8_t* p, size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

bool Contains(const uint8_t* p, size_t n, const char* text) {
    return Text(p, n).find(text) != std::string::npos;
}

TEST_F(BootSectorTest, Fat16BootSector) {
    uint8_t sector[kSectorSize];
    MemoryDisk* disk = AddMemoryDisk(100);
    PutTable(disk, 0, {Part(0x06, 0, 1, 9), Part(0x05, 10, 0, 59)});
    uint32_t ext = Lba(10, 0, 1);
    PutTable(disk, ext, {Part(0x06, 10, 1, 19, 0, ext)});
    FsState* part = SelectPart(0x80, 5);
    ASSERT_NE(part, nullptr);
    ASSERT_EQ(BuildFATBoot(*part, sector, false, 16, 200, "DATA"), 0);
    EXPECT_EQ(sector[0], 0xEB);
    EXPECT_EQ(sector[1], 0x58);
    EXPECT_EQ(sector[2], 0x90);
    EXPECT_EQ(Text(sector + 3, 8), "VESKLOR!");
    EXPECT_EQ(ld16(sector + 11), 512);
    EXPECT_EQ(sector[13], 16);
    EXPECT_EQ(ld16(sector + 14), 1);
    EXPECT_EQ(sector[16], 2);
    EXPECT_EQ(ld16(sector + 17), 512);
    EXPECT_EQ(ld16(sector + 19), 0);
    EXPECT_EQ(sector[21], 0xF8);
    EXPECT_EQ(ld16(sector + 22), 200);
    EXPECT_EQ(ld16(sector + 24), 63);
    EXPECT_EQ(ld16(sector + 26), 64);
    EXPECT_EQ(ld32(sector + 28), 63u); // from its own table's base
    EXPECT_EQ(ld32(sector + 32), Lba(19, 63, 63) - Lba(10, 1, 1) + 1);
    EXPECT_EQ(sector[36], 0x80);
    EXPECT_EQ(sector[38], 0x29);
    EXPECT_EQ(sector[39], 5); // serial: partition, disk, "VK"
    EXPECT_EQ(sector[40], 0x80);
    EXPECT_EQ(Text(sector + 41, 2), "VK");
    EXPECT_EQ(Text(sector + 43, 11), "DATA       ");
    EXPECT_EQ(Text(sector + 54, 8), "FAT16   ");
    EXPECT_TRUE(Contains(sector + 90, 147,
                         "This partition has been quick-formatted by VESKLOR and is not "
                         "bootable\r\n\r\nPress CTRL-ALT-DEL to reboot...\r\n"));
    EXPECT_EQ(sector[510], 0x55);
    EXPECT_EQ(sector[511], 0xAA);
}

TEST_F(BootSectorTest, Fat32BootSector) {
    uint8_t sector[kSectorSize];
    MemoryDisk* disk = AddMemoryDisk(100);
    PutTable(disk, 0, {Part(0x0B, 0, 1, 9), Part(0x0C, 10, 0, 59)});
    FsState* part = SelectPart(0x80, 2);
    ASSERT_NE(part, nullptr);
    ASSERT_EQ(BuildFATBoot(*part, sector, true, 8, 3000, "A VERY LONG LABEL"), 0);
    EXPECT_EQ(ld16(sector + 14), 32);
    EXPECT_EQ(ld16(sector + 17), 0);
    EXPECT_EQ(ld16(sector + 22), 0);
    EXPECT_EQ(ld32(sector + 28), Lba(10, 0, 1));
    EXPECT_EQ(ld32(sector + 36), 3000u);
    EXPECT_EQ(ld32(sector + 40), 0u);
    EXPECT_EQ(ld32(sector + 44), 2u);
    EXPECT_EQ(ld16(sector + 48), 1);
    EXPECT_EQ(ld16(sector + 50), 6); // where quick format and restore put the copy
    EXPECT_EQ(sector[64], 0x80);
    EXPECT_EQ(sector[66], 0x29);
    EXPECT_EQ(sector[67], 2);
    EXPECT_EQ(Text(sector + 71, 11), "A VERY LONG");
    EXPECT_EQ(Text(sector + 82, 8), "FAT32   ");
    EXPECT_TRUE(Contains(sector + 90, 147, "Press CTRL-ALT-DEL to reboot...\r\n"));
}

TEST_F(BootSectorTest, TheMbrProgramKeepsThePartitionTable) {
    uint8_t sector[kSectorSize];
    MemoryDisk* disk = AddMemoryDisk(100);
    std::vector<uint8_t> junk(512, 0x77);
    disk->PutSector(0, junk.data());
    PutTable(disk, 0, {Part(0x06, 0, 1, 9), Part(0x83, 10, 0, 59, 0x80)}, false);
    std::vector<uint8_t> before = disk->Sector(0);
    FsState* part = SelectPart(0x80, 0);
    ASSERT_NE(part, nullptr);
    ASSERT_EQ(BuildMBRBoot(*part, sector), 0);
    EXPECT_EQ(0, memcmp(sector + 446, before.data() + 446, 64));
    EXPECT_EQ(sector[510], 0x55);
    EXPECT_EQ(sector[511], 0xAA);
    for (int i = 312; i < 446; ++i)
        ASSERT_EQ(sector[i], 0) << i;
    EXPECT_TRUE(Contains(sector, 312, "MBR Error: partition table contain no bootable partition"));
    EXPECT_TRUE(
        Contains(sector, 312, "MBR Error: cannot read boot sector (bad partition table ?)"));
    EXPECT_TRUE(Contains(sector, 312,
                         "MBR Warning: first sector of boot partition has no boot signature\r\n"));
    EXPECT_EQ(disk->Sector(0), before); // built, not written
}

} // namespace
} // namespace vk::test
