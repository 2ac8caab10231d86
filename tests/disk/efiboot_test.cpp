// Boot entries of UEFI firmware: device paths and load options compared
// byte by byte with tables worked out by hand from the record layouts;
// damaged load options are refused; boot variable names and numbers.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/efiboot.h"

namespace vk::test {
namespace {

using namespace vk::efi;

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// UTF-16LE of an ASCII text with its NUL.
Bytes Utf16(const char* text) {
    Bytes out;
    for (const char* p = text; *p; ++p)
        out.insert(out.end(), {uint8_t(*p), 0});
    out.insert(out.end(), {0, 0});
    return out;
}

PartitionFile Sample() {
    PartitionFile f;
    f.partition = 1;
    f.first = 2048;
    f.sectors = 204800;
    f.unique = *gpt::ParseGuid("0A0B0C0D-0E0F-1011-1213-141516171819");
    f.path = kFallbackBootProgram;
    return f;
}

const Bytes kSampleHd = {
    0x04, 0x01, 0x2A, 0x00,                         // media, hard drive, 42 bytes
    0x01, 0x00, 0x00, 0x00,                         // partition 1
    0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // first sector 2048
    0x00, 0x20, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, // 204800 sectors
    0x0D, 0x0C, 0x0B, 0x0A, 0x0F, 0x0E, 0x11, 0x10, // the GUID as stored
    0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, //
    0x02, 0x02,                                     // GPT, GUID signature
};
const Bytes kEnd = {0x7F, 0xFF, 0x04, 0x00};

TEST(EfiBoot, DevicePathOfTheFallbackProgram) {
    const Bytes file = Concat({{0x04, 0x04, 0x30, 0x00}, Utf16("\\EFI\\BOOT\\BOOTX64.EFI")});
    ASSERT_EQ(file.size(), 48u);
    EXPECT_EQ(DevicePath(Sample()), Concat({kSampleHd, file, kEnd}));
}

TEST(EfiBoot, DevicePathTable) {
    struct Case {
        uint32_t partition;
        uint64_t first, sectors;
        const char* guid;
        const char* path;
        Bytes expected;
    };
    const Case cases[] = {
        // Beyond 32 bits of sectors, a high partition number, a short path.
        {128, 0x123456789A, 0x1000000000, "FFFFFFFF-0000-FFFF-0000-FFFFFFFFFFFF", "\\A",
         Concat(
             {{0x04, 0x01, 0x2A, 0x00, 0x80, 0x00, 0x00, 0x00, 0x9A, 0x78, 0x56, 0x34, 0x12, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
               0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x02},
              {0x04, 0x04, 0x0A, 0x00, 0x5C, 0x00, 0x41, 0x00, 0x00, 0x00},
              kEnd})},
        // An empty path is a node of its NUL alone.
        {2, 34, 1, "00000000-0000-0000-0000-000000000001", "",
         Concat(
             {{0x04, 0x01, 0x2A, 0x00, 0x02, 0x00, 0x00, 0x00, 0x22, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x02},
              {0x04, 0x04, 0x06, 0x00, 0x00, 0x00},
              kEnd})},
    };
    for (const Case& c : cases) {
        PartitionFile f;
        f.partition = c.partition;
        f.first = c.first;
        f.sectors = c.sectors;
        f.unique = *gpt::ParseGuid(c.guid);
        f.path = c.path;
        EXPECT_EQ(DevicePath(f), c.expected) << c.path;
    }
}

TEST(EfiBoot, LoadOptionBytesAndReadingBack) {
    LoadOption option;
    option.description = u"Restored system";
    option.devicePath = DevicePath(Sample());
    const Bytes expected = Concat({{0x01, 0x00, 0x00, 0x00, 0x5E, 0x00}, // active, 94 bytes of path
                                   Utf16("Restored system"),
                                   option.devicePath});
    const Bytes written = WriteLoadOption(option);
    EXPECT_EQ(written, expected);
    auto read = ParseLoadOption(written);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->attributes, kLoadOptionActive);
    EXPECT_EQ(read->description, u"Restored system");
    EXPECT_EQ(read->devicePath, option.devicePath);
    EXPECT_TRUE(read->optionalData.empty());

    // Optional data after the path (as firmware setup screens add) stays
    // apart from it; an inactive entry keeps its attributes.
    option.attributes = 0x108;
    option.optionalData = {'R', 'C'};
    read = ParseLoadOption(WriteLoadOption(option));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->attributes, 0x108u);
    EXPECT_EQ(read->devicePath, option.devicePath);
    EXPECT_EQ(read->optionalData, (Bytes{'R', 'C'}));
}

TEST(EfiBoot, DamagedLoadOptionsAreRefused) {
    LoadOption option;
    option.description = u"X";
    option.devicePath = DevicePath(Sample());
    const Bytes good = WriteLoadOption(option);
    const size_t path = 6 + 4; // the device path starts after "X" and its NUL
    struct Case {
        const char* what;
        Bytes bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}});
    cases.push_back({"fixed fields cut", Bytes(good.begin(), good.begin() + 5)});
    cases.push_back({"description without NUL", Bytes(good.begin(), good.begin() + 9)});
    cases.push_back({"path cut", Bytes(good.begin(), good.end() - 1)});
    Bytes b = good;
    b[4] = 0x5D; // path length one short of the nodes
    cases.push_back({"length inside a node", b});
    b = good;
    b[path + 2] = 0x03; // a node shorter than its header
    cases.push_back({"node length 3", b});
    b = good;
    b[path + 2] = 0xFF; // a node beyond the path
    cases.push_back({"node beyond the path", b});
    b = good;
    b[good.size() - 4] = 0x04; // no end node
    cases.push_back({"no end node", b});
    for (const Case& c : cases)
        EXPECT_FALSE(ParseLoadOption(c.bytes)) << c.what;
    EXPECT_TRUE(ParseLoadOption(good));
}

TEST(EfiBoot, BootVariableNamesAndNumbers) {
    EXPECT_EQ(BootName(0), "Boot0000");
    EXPECT_EQ(BootName(0x1A2F), "Boot1A2F");
    EXPECT_EQ(BootNumber("Boot1A2F"), 0x1A2F);
    EXPECT_EQ(BootNumber("BootFFFF"), 0xFFFF);
    for (const char* other : {"BootOrder", "BootNext", "Boot1a2f", "Boot12", "Boot12345",
                              "boot0001", "Driver0001", "Boot00G0"})
        EXPECT_FALSE(BootNumber(other)) << other;
    const uint16_t used[] = {0, 1, 3, 2, 5};
    EXPECT_EQ(FreeBootNumber(used), 4);
    EXPECT_EQ(FreeBootNumber({}), 0);
    std::vector<uint16_t> all(65536);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = uint16_t(i);
    EXPECT_FALSE(FreeBootNumber(all));
    EXPECT_EQ(BootNextValue(0x0102), (Bytes{0x02, 0x01}));
    EXPECT_EQ(gpt::FormatGuid(EspType()), "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
}

} // namespace
} // namespace vk::test
