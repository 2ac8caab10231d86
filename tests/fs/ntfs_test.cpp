// NTFS names: the code page's characters go to UTF-16 and come back as
// they were; what Windows cannot open or the code page cannot show is
// refused on the way in and shown as '?' on the way out. Archive names
// between UTF-16 and UTF-8, and the volume table of archived boot areas.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fs/ntfs_table.h"
#include "ntfs_internal.h"
#include "platform/types.h"
#include "records.h"

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

TEST(NtfsNames, Utf16AndUtf8BothWays) {
    struct Case {
        std::u16string units;
        std::string text;
    };
    const Case cases[] = {
        {u"readme.txt", "readme.txt"},
        {Units({u'c', u'a', u'f', 0x00E9}), "caf\xc3\xa9"},
        {Units({0x4E2D, 0x6587}), "\xe4\xb8\xad\xe6\x96\x87"},
        // A character beyond the first plane: a surrogate pair.
        {Units({0xD83D, 0xDE00, u'.', u't'}), "\xf0\x9f\x98\x80.t"},
        {Units({0xDBFF, 0xDFFF}), "\xf4\x8f\xbf\xbf"},
        {u"", ""},
    };
    for (const Case& c : cases) {
        std::string text;
        ASSERT_TRUE(NtfsUtf16ToUtf8(c.units.data(), c.units.size(), text)) << c.text;
        EXPECT_EQ(text, c.text);
        std::u16string units;
        ASSERT_TRUE(NtfsUtf8ToUtf16(c.text.data(), c.text.size(), units)) << c.text;
        EXPECT_EQ(units, c.units) << c.text;
    }
}

TEST(NtfsNames, LoneSurrogatesAndBadUtf8AreRefused) {
    const std::u16string lone[] = {Units({0xD800}), Units({u'a', 0xDC00}), Units({0xD83D, u'x'}),
                                   Units({0xDE00, 0xD83D})};
    std::string text;
    for (const std::u16string& units : lone)
        EXPECT_FALSE(NtfsUtf16ToUtf8(units.data(), units.size(), text));
    const std::string bad[] = {
        "\x80",             // a continuation byte alone
        "\xc3",             // cut
        "\xc0\xaf",         // overlong '/'
        "\xe0\x80\xaf",     // overlong
        "\xed\xa0\x80",     // an encoded surrogate
        "\xf4\x90\x80\x80", // beyond U+10FFFF
        "\xff",
    };
    std::u16string units;
    for (const std::string& b : bad)
        EXPECT_FALSE(NtfsUtf8ToUtf16(b.data(), b.size(), units)) << b;
}

TEST(NtfsTable, BuiltTableReadsBack) {
    NtfsTableBuilder builder;
    NtfsVolumeInfo info;
    info.serial = 0x1122334455667788ull;
    info.clusterSize = 4096;
    info.mftRecordSize = 1024;
    info.major = 3;
    info.minor = 1;
    info.label = "Syst\xc3\xa8me";
    builder.SetVolume(info);
    const std::vector<uint8_t> sdA(80, 0xA1), sdB(120, 0xB2);
    EXPECT_EQ(builder.AddDescriptor(sdA.data(), sdA.size()), 0);
    EXPECT_EQ(builder.AddDescriptor(sdB.data(), sdB.size()), 1);
    EXPECT_EQ(builder.AddDescriptor(sdA.data(), sdA.size()), 0); // stored once
    EXPECT_EQ(builder.AddDescriptor(sdA.data(), 10), -1);        // too short to be one
    const uint8_t reparse[] = {0x0c, 0, 0, 0xa0, 0, 0, 0, 0};
    const uint8_t dos[] = {64, 0, 0, 0, 0, 0, 0, 0, 'A', '~', '1'};
    // Items of one record stay together, records come out in order.
    EXPECT_TRUE(builder.AddItem(70, ntfsrec::kItemReparse, reparse, sizeof reparse));
    EXPECT_TRUE(builder.AddItem(65, ntfsrec::kItemDosName, dos, sizeof dos));
    EXPECT_TRUE(builder.AddItem(70, ntfsrec::kItemDosName, dos, sizeof dos));
    const std::vector<uint8_t> bytes = builder.Finish(8192);
    EXPECT_EQ(bytes.size() % 512, 0u);

    NtfsTable table;
    const char* why = nullptr;
    ASSERT_TRUE(table.Load(bytes.data(), bytes.size(), &why)) << why;
    EXPECT_EQ(table.Volume().serial, info.serial);
    EXPECT_EQ(table.Volume().clusterSize, 4096u);
    EXPECT_EQ(table.Volume().mftRecordSize, 1024u);
    EXPECT_EQ(table.Volume().major, 3);
    EXPECT_EQ(table.Volume().label, info.label);
    ASSERT_EQ(table.Descriptors(), 2u);
    uint32_t length = 0;
    const uint8_t* d = table.Descriptor(1, &length);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(d, d + length), sdB);
    EXPECT_EQ(table.Descriptor(2, &length), nullptr);
    EXPECT_EQ(table.RecordNumbers(), (std::vector<uint64_t>{65, 70}));
    std::vector<uint8_t> types;
    EXPECT_TRUE(table.ForEach(70, [&](uint8_t type, const uint8_t*, size_t) {
        types.push_back(type);
        return true;
    }));
    EXPECT_EQ(types, (std::vector<uint8_t>{ntfsrec::kItemReparse, ntfsrec::kItemDosName}));
    EXPECT_FALSE(table.ForEach(66, [](uint8_t, const uint8_t*, size_t) { return true; }));
}

TEST(NtfsTable, DamagedTablesAreRefused) {
    NtfsTableBuilder builder;
    const std::vector<uint8_t> sd(40, 1);
    builder.AddDescriptor(sd.data(), sd.size());
    const uint8_t item[] = {1, 2, 3};
    builder.AddItem(80, ntfsrec::kItemObjectId, item, sizeof item);
    const std::vector<uint8_t> good = builder.Finish(0);
    const uint32_t used = ld32(good.data() + 4);
    struct Damage {
        const char* what;
        size_t at;
        uint32_t value; // stored as u32 at `at`
    };
    const Damage damages[] = {
        {"magic", 0, 0},
        {"length beyond the input", 4, uint32_t(good.size() + 1)},
        {"length short of the header", 4, 10},
        {"length cutting the records", 4, used - 1},
        {"label beyond the table", 26, 0xFFFF},
        {"descriptor count", 28, 1000000},
        {"record count", 32, 2},
        {"descriptor length", ntfsrec::kTableHeader, 5},
        {"descriptor length beyond", ntfsrec::kTableHeader, 0x7FFFFFFF},
        {"item length", ntfsrec::kTableHeader + 4 + 40 + ntfsrec::kRecordHead + 1, 1000},
    };
    for (const Damage& d : damages) {
        std::vector<uint8_t> bytes = good;
        if (d.at == 26)
            bytes[26] = bytes[27] = 0xFF;
        else
            st32(bytes.data() + d.at, d.value);
        NtfsTable table;
        const char* why = nullptr;
        EXPECT_FALSE(table.Load(bytes.data(), bytes.size(), &why)) << d.what;
        EXPECT_NE(why, nullptr) << d.what;
    }
    // Cut anywhere, the table is refused.
    for (size_t n = 0; n < used; ++n) {
        NtfsTable table;
        const char* why = nullptr;
        EXPECT_FALSE(table.Load(good.data(), n, &why)) << n;
    }
    NtfsTable table;
    const char* why = nullptr;
    EXPECT_TRUE(table.Load(good.data(), good.size(), &why));
}

TEST(NtfsNames, VolumeNamesAreUtf8OfWhatTheVolumeStores) {
    const std::u16string emoji = NtfsVolumeNameToDisk("\xf0\x9f\x98\x80 caf\xc3\xa9.txt");
    ASSERT_EQ(emoji.size(), 11u);
    EXPECT_EQ(le16_to_cpu(emoji[0]), 0xD83D);
    EXPECT_EQ(le16_to_cpu(emoji[1]), 0xDE00);
    EXPECT_EQ(le16_to_cpu(emoji[6]), 0x00E9);
    // Characters the code page has no place for are made as they are.
    EXPECT_EQ(NtfsVolumeNameToDisk("\xe4\xb8\xad").size(), 1u);
    const std::string refused[] = {"",    ".",    "..",           "a/b",
                                   "a:b", "\xc3", "\xed\xa0\x80", std::string(256, 'x')};
    for (const std::string& name : refused)
        EXPECT_TRUE(NtfsVolumeNameToDisk(name.c_str()).empty()) << name;
    EXPECT_EQ(NtfsVolumeNameToDisk(std::string(255, 'x').c_str()).size(), 255u);
}

// The restore device's block pool: every block held is found by its number
// with its bytes, through index collisions and the wrap of the index, after
// the last one is dropped and after the whole pool is dropped and refilled.
TEST(NtfsBlockCache, HeldBlocksAreFoundAndWrittenBackInOrder) {
    constexpr uint32_t kCapacity = NtfsBlockCache::kCapacity;
    struct Case {
        const char* name;
        uint64_t first;
        uint64_t stride;
    };
    const Case cases[] = {
        {"consecutive", 0, 1},
        {"strides of the index's size", 5, 16384},
        {"far apart, descending", uint64_t(1) << 40, uint64_t(0) - 0x9E3779B9},
        {"up to the last number", UINT64_MAX - (kCapacity - 1), 1},
    };
    NtfsBlockCache cache; // reused: each case starts from a cleared pool
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cache.Clear();
        ASSERT_TRUE(cache.Empty());
        const auto number = [&](uint32_t i) { return c.first + i * c.stride; };
        for (uint32_t i = 0; i < kCapacity; ++i) {
            ASSERT_EQ(cache.Find(number(i)), nullptr) << i;
            uint8_t* bytes = cache.Add(number(i));
            bytes[0] = uint8_t(i);
            bytes[NtfsBlockCache::kBlockSize - 1] = uint8_t(i >> 8);
            if (i % 3 == 0) cache.MarkDirty(bytes);
        }
        ASSERT_TRUE(cache.Full());
        for (uint32_t i = 0; i < kCapacity; ++i) {
            const uint8_t* bytes = cache.Find(number(i));
            ASSERT_NE(bytes, nullptr) << i;
            EXPECT_EQ(bytes[0], uint8_t(i));
            EXPECT_EQ(bytes[NtfsBlockCache::kBlockSize - 1], uint8_t(i >> 8));
        }
        EXPECT_EQ(cache.Find(number(kCapacity)), nullptr);
        // The dirty ones, in block order; marked clean, they are no longer.
        auto dirty = cache.Dirty();
        ASSERT_EQ(dirty.size(), (kCapacity + 2) / 3);
        for (size_t k = 0; k < dirty.size(); ++k) {
            if (k > 0) {
                EXPECT_LT(dirty[k - 1].first, dirty[k].first);
            }
            EXPECT_EQ(dirty[k].second, cache.Find(dirty[k].first));
        }
        cache.MarkClean(dirty[0].second);
        EXPECT_EQ(cache.Dirty().size(), dirty.size() - 1);
        // Blocks whose reading failed go one by one from the end; the
        // others stay found, and a dropped one can be held again.
        for (uint32_t i = kCapacity; i-- > kCapacity - 100;) {
            cache.DropLast();
            EXPECT_EQ(cache.Find(number(i)), nullptr) << i;
            ASSERT_NE(cache.Find(number(i - 1)), nullptr) << i;
        }
        EXPECT_EQ(cache.Size(), kCapacity - 100);
        EXPECT_EQ(cache.Find(number(0))[0], 0);
        uint8_t* again = cache.Add(number(kCapacity - 1));
        EXPECT_EQ(cache.Find(number(kCapacity - 1)), again);
        EXPECT_TRUE(cache.Dirty().size() < dirty.size());
    }
}

} // namespace
} // namespace vk::test
