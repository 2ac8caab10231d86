// hdboot's part on UEFI PCs, on in-memory disks and a directory that stands
// in for efivarfs: the variable files (attributes, then the value), the
// boot entry for the EFI system partition read from the disk's GUID
// partition table, its reuse, BootNext, and the refusals.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "disk/efiboot.h"
#include "disk/gpt.h"
#include "disk_fixture.h"
#include "interp/firmware_boot.h"
#include "interp/script.h"
#include "interp_fixture.h"
#include "platform/efivars.h"

namespace vk::test {
namespace {

using Bytes = std::vector<uint8_t>;
const char* kGlobal = efi::kGlobalVariables;

class FirmwareBootTest : public DiskTest {
  protected:
    void SetUp() override {
        DiskTest::SetUp();
        SetUpInterpreter();
        char dir[] = "/tmp/vk_efivars_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        std::string command = "rm -rf " + dir_;
        EXPECT_EQ(std::system(command.c_str()), 0);
        DiskTest::TearDown();
    }
    // The whole file of a variable, attributes included.
    Bytes File(const std::string& name) {
        std::ifstream in(dir_ + "/" + name + "-" + kGlobal, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // A memory disk with a GUID partition table of the given entries.
    MemoryDisk* AddGptDisk(const std::vector<gpt::Entry>& used) {
        MemoryDisk* disk = AddMemoryDisk(20);
        const uint64_t sectors = disk->SizeSectors();
        std::vector<gpt::Entry> entries(gpt::kEntryCount);
        for (size_t i = 0; i < used.size(); ++i)
            entries[i] = used[i];
        uint8_t sector0[512] = {};
        gpt::MakeProtective(sector0, sectors);
        disk->PutSector(0, sector0);
        for (const gpt::SectorRun& run :
             gpt::BuildTable(gpt::FreshHeader(sectors), entries, sectors))
            for (size_t i = 0; i < run.bytes.size() / 512; ++i)
                disk->PutSector(run.lba + i, run.bytes.data() + i * 512);
        return disk;
    }
    static gpt::Entry Entry(const char* type, const char* unique, uint64_t first, uint64_t last) {
        gpt::Entry e;
        e.type = *gpt::ParseGuid(type);
        e.unique = *gpt::ParseGuid(unique);
        e.first = first;
        e.last = last;
        return e;
    }
    std::string dir_;
};

const char* kEspType = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
const char* kLinuxType = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
const char* kRootGuid = "11111111-2222-3333-4444-555555555555";
const char* kEspGuid = "0A0B0C0D-0E0F-1011-1213-141516171819";

TEST_F(FirmwareBootTest, VariableFilesHoldAttributesThenValue) {
    EfiVariables vars(dir_);
    std::string why;
    const Bytes value = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(vars.Write("Test", kGlobal, 7, value, &why)) << why;
    EXPECT_EQ(File("Test"), (Bytes{7, 0, 0, 0, 1, 2, 3, 4, 5, 6}));
    // A shorter value replaces the whole variable.
    ASSERT_TRUE(vars.Write("Test", kGlobal, 0x27, Bytes{9}, &why)) << why;
    EXPECT_EQ(File("Test"), (Bytes{0x27, 0, 0, 0, 9}));
    auto read = vars.Read("Test", kGlobal);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->attributes, 0x27u);
    EXPECT_EQ(read->bytes, Bytes{9});
    // Other vendors' variables and files too short for attributes.
    ASSERT_TRUE(vars.Write("Other", "01234567-89ab-cdef-0123-456789abcdef", 7, value, &why));
    std::ofstream(dir_ + "/Short-" + kGlobal) << "ab";
    EXPECT_FALSE(vars.Read("Short", kGlobal));
    EXPECT_FALSE(vars.Read("Missing", kGlobal));
    auto names = vars.Names(kGlobal);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Short", "Test"}));
    // A directory that is not there: the reason names the variable.
    EXPECT_FALSE(EfiVariables(dir_ + "/none").Write("BootNext", kGlobal, 7, value, &why));
    EXPECT_NE(why.find("BootNext: "), std::string::npos) << why;
}

TEST_F(FirmwareBootTest, HostsOffTheBootImageAreNeverTouched) {
    // Tests never run on the network boot image (no /run/vesklor there).
    if (access("/run/vesklor", F_OK) == 0) GTEST_SKIP() << "/run/vesklor exists";
    EXPECT_EQ(FirmwareVariableDirectory(), "");
    EXPECT_EQ(FirmwareKind(), "");
}

TEST_F(FirmwareBootTest, EntryForTheEspThenBootNext) {
    AddGptDisk({Entry(kLinuxType, kRootGuid, 2048, 4095), Entry(kEspType, kEspGuid, 4096, 8191)});
    EfiVariables vars(dir_);
    std::string why;
    // The firmware's own entries: one for another path, one unreadable.
    efi::LoadOption other;
    other.description = u"UEFI PXEv4";
    other.devicePath = {0x7F, 0xFF, 0x04, 0x00};
    ASSERT_TRUE(vars.Write("Boot0000", kGlobal, 7, efi::WriteLoadOption(other), &why));
    ASSERT_TRUE(vars.Write("Boot0001", kGlobal, 7, Bytes{1, 0}, &why));
    ASSERT_TRUE(vars.Write("BootOrder", kGlobal, 7, Bytes{0, 0, 1, 0}, &why));

    FirmwareBootChoice chosen;
    ASSERT_EQ(SetFirmwareNextBoot(vars, 0, 0, &chosen), 0) << errormsg;
    EXPECT_EQ(chosen.entry, 2);
    EXPECT_TRUE(chosen.created);
    EXPECT_EQ(chosen.partition, 2u);
    efi::PartitionFile esp{2, 4096, 4096, *gpt::ParseGuid(kEspGuid), "\\EFI\\BOOT\\BOOTX64.EFI"};
    efi::LoadOption expected;
    expected.description = u"Restored system";
    expected.devicePath = efi::DevicePath(esp);
    Bytes file = {7, 0, 0, 0};
    Bytes option = efi::WriteLoadOption(expected);
    file.insert(file.end(), option.begin(), option.end());
    EXPECT_EQ(File("Boot0002"), file);
    EXPECT_EQ(File("BootNext"), (Bytes{7, 0, 0, 0, 2, 0}));
    EXPECT_EQ(File("BootOrder"), (Bytes{7, 0, 0, 0, 0, 0, 1, 0})); // left alone

    // Again: the same entry, unchanged.
    ASSERT_TRUE(vars.Write("BootNext", kGlobal, 7, Bytes{0, 0}, &why));
    ASSERT_EQ(SetFirmwareNextBoot(vars, 0, 0, &chosen), 0) << errormsg;
    EXPECT_EQ(chosen.entry, 2);
    EXPECT_FALSE(chosen.created);
    EXPECT_EQ(File("Boot0002"), file);
    EXPECT_EQ(File("BootNext"), (Bytes{7, 0, 0, 0, 2, 0}));

    // An entry someone made inactive is made active again.
    expected.attributes = 0;
    ASSERT_TRUE(vars.Write("Boot0002", kGlobal, 7, efi::WriteLoadOption(expected), &why));
    ASSERT_EQ(SetFirmwareNextBoot(vars, 0, 0, &chosen), 0) << errormsg;
    EXPECT_FALSE(chosen.created);
    EXPECT_EQ(File("Boot0002"), file);

    // Another partition (here one named by number; as well the ESP of a
    // new layout, whose GUID is new) renews the entry made before rather
    // than adding one more to the firmware's memory.
    ASSERT_EQ(SetFirmwareNextBoot(vars, 0, 1, &chosen), 0) << errormsg;
    EXPECT_EQ(chosen.entry, 2);
    EXPECT_FALSE(chosen.created);
    EXPECT_TRUE(chosen.renewed);
    EXPECT_EQ(chosen.partition, 1u);
    efi::PartitionFile root{1, 2048, 2048, *gpt::ParseGuid(kRootGuid), "\\EFI\\BOOT\\BOOTX64.EFI"};
    expected.attributes = efi::kLoadOptionActive;
    expected.devicePath = efi::DevicePath(root);
    auto read = vars.Read("Boot0002", kGlobal);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->bytes, efi::WriteLoadOption(expected));
    EXPECT_EQ(File("BootNext"), (Bytes{7, 0, 0, 0, 2, 0}));
    EXPECT_EQ(vars.Names(kGlobal).size(), 5u); // Boot0000-0002, BootOrder, BootNext
    // An exact match wins over a renewal, the lowest number among several.
    ASSERT_TRUE(vars.Write("Boot0009", kGlobal, 7, efi::WriteLoadOption(expected), &why));
    ASSERT_TRUE(vars.Write("Boot0005", kGlobal, 7, option, &why)); // the ESP's, made by hand
    ASSERT_EQ(SetFirmwareNextBoot(vars, 0, 0, &chosen), 0) << errormsg;
    EXPECT_EQ(chosen.entry, 5);
    EXPECT_FALSE(chosen.created || chosen.renewed);
    ASSERT_EQ(SetFirmwareNextBoot(vars, 0, 1, &chosen), 0) << errormsg;
    EXPECT_EQ(chosen.entry, 2);
    EXPECT_FALSE(chosen.created || chosen.renewed);
}

TEST_F(FirmwareBootTest, WithoutDiskWritesNothingIsWritten) {
    AddGptDisk({Entry(kEspType, kEspGuid, 2048, 4095)});
    EfiVariables vars(dir_);
    FirmwareBootChoice chosen;
    AllowDiskWrite = 0;
    ASSERT_EQ(SetFirmwareNextBoot(vars, 0, 0, &chosen), 0) << errormsg;
    EXPECT_EQ(chosen.entry, 0);
    EXPECT_TRUE(chosen.created);
    EXPECT_TRUE(vars.Names(kGlobal).empty());
    EXPECT_NE(Logged().find("Firmware boot entry Boot0000 and BootNext not written"),
              std::string::npos)
        << Logged();
}

TEST_F(FirmwareBootTest, Refusals) {
    AddGptDisk({Entry(kLinuxType, kRootGuid, 2048, 4095)}); // disk 0: no ESP
    AddMemoryDisk(20);                                      // disk 1: no table
    AddGptDisk({Entry(kEspType, kEspGuid, 2048, 4095)});    // disk 2
    EfiVariables vars(dir_);
    FirmwareBootChoice chosen;
    struct Case {
        int disk, partition;
        const char* message;
    };
    const Case cases[] = {
        {0, 0, "No EFI system partition on the disk"},
        {1, 0, "No GUID partition table on the disk"},
        {2, 2, "Invalid disk/partition"},   // an unused entry
        {2, 129, "Invalid disk/partition"}, // beyond the array
        {3, 0, "Invalid disk/partition"},   // no such disk
    };
    for (const Case& c : cases) {
        EXPECT_NE(SetFirmwareNextBoot(vars, c.disk, c.partition, &chosen), 0) << c.message;
        EXPECT_STREQ(errormsg, c.message);
    }
    EXPECT_TRUE(vars.Names(kGlobal).empty()); // nothing written
    // The variables cannot be written.
    EXPECT_NE(SetFirmwareNextBoot(EfiVariables(dir_ + "/none"), 2, 0, &chosen), 0);
    EXPECT_STREQ(errormsg, "Cannot set the firmware's next boot");
    EXPECT_NE(Logged().find("ERROR: Boot0000: "), std::string::npos) << Logged();
}

} // namespace
} // namespace vk::test
