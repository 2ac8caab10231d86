// NTFS names: the code page's characters go to UTF-16 and come back as
// they were; what Windows cannot open or the code page cannot show is
// refused on the way in and shown as '?' on the way out.
#include <string>

#include <gtest/gtest.h>

#include "ntfs_internal.h"

namespace vk::test {
namespace {

std::u16string Units(std::initializer_list<char16_t> units) {
    return std::u16string(units);
}

TEST(NtfsNames, CodePageNamesGoToUtf16AndBack) {
    struct Case {
        const char* name;
        std::u16string disk;
    };
    const Case cases[] = {
        {"readme.txt", u"readme.txt"},
        {"Program Files", u"Program Files"},
        {"caf\x82", Units({u'c', u'a', u'f', 0x00E9})}, // code page 850 e-acute
        {"\x9a"
         "ber",
         Units({0x00DC, u'b', u'e', u'r'})}, // U-umlaut
        {"a.b.c~1", u"a.b.c~1"},
    };
    for (const Case& c : cases) {
        std::u16string disk = NtfsNameToDisk(c.name);
        ASSERT_EQ(disk.size(), c.disk.size()) << c.name;
        for (size_t i = 0; i < disk.size(); ++i)
            EXPECT_EQ(le16_to_cpu(disk[i]), c.disk[i]) << c.name << " unit " << i;
        EXPECT_EQ(
            NtfsNameFromDisk(reinterpret_cast<const ntfschar*>(disk.data()), int(disk.size())),
            c.name);
    }
}

TEST(NtfsNames, NamesWindowsCannotOpenAreNotMade) {
    const std::string refused[] = {
        "",     ".",   "..",   "a:b",  "a?b", "a*b",       "a|b",
        "a<b",  "a>b", "a\"b", "a\\b", "a/b", "tab\there", std::string(256, 'x'),
        "\xb0", // a code page 850 box-drawing character: no Latin-1 twin
    };
    for (const std::string& name : refused)
        EXPECT_TRUE(NtfsNameToDisk(name.c_str()).empty()) << name;
    EXPECT_EQ(NtfsNameToDisk(std::string(255, 'x').c_str()).size(), 255u);
}

TEST(NtfsNames, WhatTheCodePageCannotShowReadsAsQuestionMarks) {
    const std::u16string disk = Units({0x4E2D, u'a', 0x0000, u'/', 0x0085, 0x00E9});
    std::u16string le;
    for (char16_t u : disk)
        le.push_back(char16_t(cpu_to_le16(u)));
    EXPECT_EQ(NtfsNameFromDisk(reinterpret_cast<const ntfschar*>(le.data()), int(le.size())),
              "?a???\x82");
    EXPECT_EQ(NtfsNameFromDisk(nullptr, 0), "");
}

} // namespace
} // namespace vk::test
