// The disk commands on in-memory disks, where faults can be injected: what
// the commands report when the disk fails under them, and when tables are
// damaged.
#include "disk_fixture.h"
#include "interp/script.h"
#include "interp/variables.h"
#include "interp_fixture.h"

namespace vk::test {
namespace {

class DiskCommandTest : public DiskTest {
  protected:
    void SetUp() override {
        DiskTest::SetUp();
        SetUpInterpreter();
        ClearLog();
    }
    Status Run(const char* text) { return ParseLine(LoadLine(text)); }
    // A disk whose n-th write fails.
    MemoryDisk* AddFaultyDisk(uint32_t cylinders, uint64_t failWrite) {
        auto inner = std::make_unique<MemoryDisk>(uint64_t(cylinders) * kCylinder * 512);
        MemoryDisk* disk = inner.get();
        AddDiskDevice(std::make_unique<FaultyDisk>(std::move(inner), 0, failWrite));
        return disk;
    }
};

TEST_F(DiskCommandTest, BlankGoesOnWhenTheDiskFails) {
    MemoryDisk* disk = AddFaultyDisk(100, 1);
    PutTable(disk, 0, {Part(0x83, 0, 1, 9), Part(0x83, 10, 0, 19)});
    std::vector<uint8_t> junk(512, 0x99);
    disk->PutSector(Lba(10, 0, 1), junk.data());
    EXPECT_EQ(Run("blank 1-2"), 0);
    EXPECT_NE(Logged().find("ERROR: Low-level write failed\r\n"), std::string::npos);
    EXPECT_NE(Logged().find("Blanking partition 2 (type LINUX-EXT2)\r\n"), std::string::npos);
    EXPECT_EQ(disk->Sector(Lba(10, 0, 1)), std::vector<uint8_t>(512, 0));
}

TEST_F(DiskCommandTest, ATableThatCannotBeWrittenFailsTheLayout) {
    MemoryDisk* disk = AddFaultyDisk(600, 2); // the second table's write fails
    EXPECT_NE(Run("setpartitions \"FAT16:100 EXT:300 EMPTY EMPTY LINUX-EXT2:100\""), 0);
    EXPECT_STREQ(errormsg, "Invalid partition definition");
    EXPECT_EQ(disk->Sector(0)[446 + 4], 0x04); // the first table stays written
}

TEST_F(DiskCommandTest, DescriptionsOfDamagedChainsEnd) {
    MemoryDisk* disk = AddMemoryDisk(100);
    PutTable(disk, 0, {Part(0x04, 0, 1, 9), Part(0x05, 10, 0, 59, 0x80)});
    uint32_t ext = Lba(10, 0, 1);
    PutTable(disk, ext, {Part(0x83, 10, 1, 19, 0x80, ext), Part(0x05, 10, 0, 59, 0x80, ext)});
    ASSERT_EQ(Run("getpartitions P"), 0);
    // The looping link ends the description after its own table.
    EXPECT_STREQ(GetVar("P"),
                 "FAT16:20 EXT:98 EMPTY:0 EMPTY:0 LINUX-EXT2:20 EXT:98 EMPTY:0 EMPTY:0");
    ASSERT_EQ(Run("getbootpart B"), 0);
    EXPECT_STREQ(GetVar("B"), "5");
}

TEST_F(DiskCommandTest, CleanRecordsTheNewValidity) {
    static int checks = 0;
    static FsHandler fake{};
    memcpy(fake.id, "FATx", 4);
    fake.InitFsSpecific = [](FsState&) -> Status { return ++checks > 1 ? 0 : 1; };
    fake.Clean = [](FsState&, const char* label) -> Status {
        return strcmp(label, "DATA") == 0 ? 0 : 1;
    };
    static const uint8_t kFat16Types[] = {0x04, 0x06, 0x0E};
    RegisterFsDriver({&fake, kFat16Types});
    MemoryDisk* disk = AddMemoryDisk(20);
    PutTable(disk, 0, {Part(0x06, 0, 1, 9)});
    ASSERT_EQ(Run("clean 1 \"DATA\""), 0);
    FsState* part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->valid, 1); // invalid before, valid after the format
    EXPECT_NE(Run("clean 1 0 \"OTHER\""), 0);
    EXPECT_STREQ(errormsg, "Clean-up failed");
}

} // namespace
} // namespace vk::test
