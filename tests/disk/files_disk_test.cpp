// The file layer on a partition path: the boot track of an in-memory disk,
// reached through the MBR driver as {0:0}BootCode and {0:0}BootData.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "disk_fixture.h"
#include "files_fixture.h"

namespace vk {
namespace {

class FilesOnDisk : public test::DiskTest {
  protected:
    void SetUp() override {
        DiskTest::SetUp();
        char pattern[] = "/tmp/vk-files-disk-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
        DiskTest::TearDown();
    }
    std::string dir_;
    std::filesystem::path previous_;
};

TEST_F(FilesOnDisk, BootTrackCopiedOutAndBack) {
    MemoryDisk* disk = AddMemoryDisk(20);
    uint8_t sector[512];
    for (int i = 0; i < 512; ++i)
        sector[i] = uint8_t(i * 7);
    disk->PutSector(0, sector);
    for (int s = 1; s < 63; ++s) {
        std::memset(sector, s, sizeof sector);
        disk->PutSector(s, sector);
    }

    ASSERT_EQ(CopyFILE("{0:0}BootCode", "code.bin", 4), 0);
    std::string code = test::TempDirTest::ReadText("code.bin");
    ASSERT_EQ(code.size(), 446u);
    EXPECT_EQ(uint8_t(code[445]), uint8_t(445 * 7));
    // The MBR driver compares names without regard to case.
    ASSERT_EQ(CopyFILE("{0:0}/bootdata", "data.bin", 4), 0);
    std::string data = test::TempDirTest::ReadText("data.bin");
    ASSERT_EQ(data.size(), 62u * 512);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[62 * 512 - 1], 62);
    EXPECT_EQ(FILEExists("{0:0}BOOTCODE"), 1);
    EXPECT_EQ(FILEExists("{:0}/BootData"), 1);
    EXPECT_EQ(FILEExists("{0:0}Other"), 0);

    // Back onto the disk: the table area after the code is kept.
    test::TempDirTest::WriteText("code.bin", std::string(446, 'C'));
    ASSERT_EQ(CopyFILE("code.bin", "{0:0}BootCode", 4), 0);
    std::vector<uint8_t> first = disk->Sector(0);
    EXPECT_EQ(first[0], 'C');
    EXPECT_EQ(first[445], 'C');
    EXPECT_EQ(first[446], uint8_t(446 * 7));

    ClearLog();
    ASSERT_EQ(LogDIR("{0:0}"), 0);
    EXPECT_NE(Logged().find("BootCode"), std::string::npos);
    EXPECT_NE(Logged().find("BootData"), std::string::npos);
    EXPECT_EQ(CreateDIR("{0:0}/sub"), 1);
}

} // namespace
} // namespace vk
