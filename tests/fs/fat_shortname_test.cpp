// Short names made from long names, and the long-name character mapping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/checksum.h"
#include "platform/console.h"
#include "shortname.h"

namespace vk {
namespace {

struct ShortCase {
    const char* name;
    uint32_t tail; // 0: from the CRC
    const char* shortName;
    int slots;
};

TEST(FatShortName, Table) {
    const ShortCase cases[] = {
        {"README.TXT", 0, "README  TXT", 0},
        {"readme.txt", 0, "README  TXT", 1},
        {"Readme", 0, "README     ", 1},
        {"my file.text", 1, "MYFILE~1TEX", 1},
        {"my file.text", 123456, "M~123456TEX", 1},
        {"LONGFILENAME.TXT", 1, "LONGFI~1TXT", 2},
        {"a.b.c", 7, "AB~7    C  ", 1},
        {".bashrc", 42, "BASHR~42   ", 1},
        {"Ab+c.txt", 3, "AB_C~3  TXT", 1},
        {"\x82t.txt", 0, "\x90T      TXT", 1}, // e acute: its capital, no tail
        {".", 0, ".          ", 0},
        {"..", 0, "..         ", 0},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567",
         5, "123456~5   ", 9}, // 117 characters
    };
    for (const ShortCase& c : cases) {
        char out[kShortNameBuffer];
        uint32_t tail = c.tail;
        EXPECT_EQ(GetShortName(c.name, out, c.tail ? &tail : nullptr), c.slots) << c.name;
        EXPECT_EQ(std::string(out), c.shortName) << c.name;
    }
}

TEST(FatShortName, TailFromCrcAndForcedTails) {
    char out[kShortNameBuffer];
    const char* name = "a name with spaces.long";
    ASSERT_EQ(GetShortName(name, out, nullptr), 2);
    std::string expected = "ANAMEW~" + std::to_string(CRC32(0, name, std::strlen(name)) % 1000000);
    // The tail sits where its digits still fit in the 8-byte base.
    size_t tilde = std::string(out).find('~');
    ASSERT_NE(tilde, std::string::npos);
    EXPECT_EQ(std::string(out, 8).substr(tilde),
              expected.substr(expected.find('~')).substr(0, 8 - tilde));
    EXPECT_EQ(std::string(out + 8, 3), "LON");
    EXPECT_EQ(ShortNameTail(reinterpret_cast<const uint8_t*>(out)),
              CRC32(0, name, std::strlen(name)) % 1000000);

    uint32_t used = 0;
    EXPECT_EQ(MakeShortName("README.TXT", out, 2, true, &used), 1);
    EXPECT_EQ(std::string(out), "README~2TXT");
    EXPECT_EQ(used, 2u);
    EXPECT_EQ(MakeShortName("README.TXT", out, 0, false, &used), 0);
    EXPECT_EQ(used, 0u);
}

TEST(FatShortName, ShortCharAndChecksum) {
    EXPECT_EQ(shortChar('a'), 'A');
    EXPECT_EQ(shortChar('Z'), 'Z');
    EXPECT_EQ(shortChar('~'), '~');
    EXPECT_EQ(shortChar('!'), '!');
    EXPECT_EQ(shortChar('"'), '_');
    EXPECT_EQ(shortChar('+'), '_');
    EXPECT_EQ(shortChar(' '), '_');
    EXPECT_EQ(ShortNameChecksum(reinterpret_cast<const uint8_t*>("README  TXT")), 115);
    EXPECT_EQ(ShortNameChecksum(reinterpret_cast<const uint8_t*>("A~1     BIN")), 139);
    EXPECT_EQ(ShortNameTail(reinterpret_cast<const uint8_t*>("AB~12X  TXT")), 12u);
    EXPECT_EQ(ShortNameTail(reinterpret_cast<const uint8_t*>("README  TXT")), 0u);
}

// Short slots without long names: the lower-case flags of byte 12 (0x08
// the base, 0x10 the extension) show the name as Linux, mtools and Windows
// stored it; other bits of the byte change nothing.
TEST(FatShortName, ShortSlotsShowTheirLowerCaseFlags) {
    struct Case {
        const char* name11;
        uint8_t flags;
        const char* shown;
    };
    const Case cases[] = {
        {"README  TXT", 0x00, "README.TXT"},
        {"README  TXT", 0x18, "readme.txt"},
        {"README  TXT", 0x08, "readme.TXT"},
        {"README  TXT", 0x10, "README.txt"},
        {"README  TXT", 0xE7, "README.TXT"},
        {"README  TXT", 0xFF, "readme.txt"},
        {"A       TXT", 0x08, "a.TXT"},
        {"ABC     TXT", 0x10, "ABC.txt"},
        {"MAKEFILE   ", 0x08, "makefile"},
        {"MAKEFILE   ", 0x10, "MAKEFILE"},
        {"AB~1    TXT", 0x18, "ab~1.txt"},
        {"A-B_C!1 $$$", 0x18, "a-b_c!1.$$$"},
        {"\x90T      TXT", 0x08, "\x82t.TXT"}, // E acute in code page 850
        {"\x05"
         "BC        ",
         0x00,
         "\xE5"
         "BC"}, // O tilde, escaped
        {"\x05"
         "BC        ",
         0x08,
         "\xE4"
         "bc"},
    };
    for (const Case& c : cases) {
        uint8_t slot[32] = {};
        std::memcpy(slot, c.name11, 11);
        slot[12] = c.flags;
        char out[13];
        ShortSlotName(slot, out);
        EXPECT_EQ(std::string(out), c.shown) << c.name11 << " " << int(c.flags);
    }
    // Lower case is undone by the short-name mapping: a name shown in it
    // gets its slot back when it is written again.
    for (int ch = 0; ch < 256; ++ch) {
        uint8_t lower = lowerShortChar(uint8_t(ch));
        if (lower != ch) {
            EXPECT_EQ(shortChar(lower), ch) << ch;
        }
    }
    EXPECT_EQ(lowerShortChar('Q'), 'q');
    EXPECT_EQ(lowerShortChar('q'), 'q');
    EXPECT_EQ(lowerShortChar('~'), '~');
    EXPECT_EQ(lowerShortChar(0x9E), 0x9E); // the multiplication sign has no small letter
}

TEST(FatLongChar, CodePageMapping) {
    LoadDefaultCodePage(codepage);
    EXPECT_EQ(SetLongChar('A'), 'A');
    EXPECT_EQ(SetLongChar(-1), 0xFFFF);
    EXPECT_EQ(SetLongChar(0x82), 0x00E9); // e acute in code page 850
    EXPECT_EQ(SetLongChar(0x9F), 0x0092);
    EXPECT_EQ(GetLongChar(0x00E9), 0x82);
    EXPECT_EQ(GetLongChar(0xFFFF), -1);
    EXPECT_EQ(GetLongChar('z'), 'z');
    EXPECT_EQ(GetLongChar(0x4E2D), 64); // not in the code page
    // A loaded code page is what both directions use.
    codepage[0] = 0x0416;
    EXPECT_EQ(SetLongChar(0x80), 0x0416);
    EXPECT_EQ(GetLongChar(0x0416), 0x80);
    LoadDefaultCodePage(codepage);
}

} // namespace
} // namespace vk
