// Fragment names, the fragment size setting and record layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "archive/format.h"
#include "platform/checksum.h"

namespace vk {
namespace {

std::string Name(const char* first, uint32_t n) {
    char out[64];
    if (FragmentName(first, n, out, sizeof out)) return "<none>";
    return out;
}

TEST(FragmentNames, DigitsReplaceTheEndOfTheName) {
    EXPECT_EQ(Name("disk.000", 0), "disk.000");
    EXPECT_EQ(Name("disk.000", 1), "disk.001");
    EXPECT_EQ(Name("disk.000", 9), "disk.009");
    EXPECT_EQ(Name("disk.000", 10), "disk.010");
    EXPECT_EQ(Name("disk.000", 100), "disk.100");
    EXPECT_EQ(Name("image.arc", 0), "image.arc");
    EXPECT_EQ(Name("image.arc", 1), "image.ar1");
    EXPECT_EQ(Name("image.arc", 10), "image.a10");
    EXPECT_EQ(Name("/tmp/x/image.arc", 12345), "/tmp/x/imag12345");
    // Names shorter than the digits have no such fragment, and the digits
    // never replace a path separator.
    EXPECT_EQ(Name("ab", 99), "99");
    EXPECT_EQ(Name("ab", 100), "<none>");
    EXPECT_EQ(Name("/tmp/x/a", 9), "/tmp/x/9");
    EXPECT_EQ(Name("/tmp/x/a", 10), "<none>");
    EXPECT_EQ(Name("{0:1}a", 10), "<none>");
    char small[4];
    EXPECT_NE(FragmentName("disk.000", 1, small, sizeof small), 0);
}

TEST(FragmentSizeSetting, UnitsMinimumAndDefault) {
    EXPECT_EQ(ParseFragmentSize(""), 94371840u);
    EXPECT_EQ(ParseFragmentSize("0"), 94371840u);
    EXPECT_EQ(ParseFragmentSize("abc"), 94371840u);
    EXPECT_EQ(ParseFragmentSize("100"), 524288u);
    EXPECT_EQ(ParseFragmentSize("524287"), 524288u);
    EXPECT_EQ(ParseFragmentSize("600000"), 600000u);
    EXPECT_EQ(ParseFragmentSize("2m"), 2097152u);
    EXPECT_EQ(ParseFragmentSize("2 M"), 2097152u);
    EXPECT_EQ(ParseFragmentSize("1024k"), 1048576u);
    EXPECT_EQ(ParseFragmentSize("700K"), 716800u);
    EXPECT_EQ(ParseFragmentSize("3x"), 524288u);
    // Values beyond 32 bits saturate instead of wrapping to a tiny limit.
    EXPECT_EQ(ParseFragmentSize("4096m"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseFragmentSize("99999999999999999999"), 0xFFFFFFFFu);
}

TEST(Records, LittleEndianLayouts) {
    uint8_t raw[24];
    FragmentHeader f;
    f.streamLength = 0x01020304;
    f.streamOffset = 5;
    f.dataLength = 6;
    f.crc = 0xA0B0C0D0;
    f.Store(raw);
    const uint8_t expectFragment[] = {0x56, 0x4B, 0x52, 0x10, 4, 3, 2,    1,    5,    0,
                                      0,    0,    6,    0,    0, 0, 0xD0, 0xC0, 0xB0, 0xA0};
    EXPECT_EQ(std::memcmp(raw, expectFragment, 20), 0);
    EXPECT_EQ(std::memcmp(raw, "VKR\x10", 4), 0);
    FragmentHeader back = FragmentHeader::Load(raw);
    EXPECT_EQ(back.crc, f.crc);
    EXPECT_EQ(back.streamLength, f.streamLength);

    ArchiveHeader a;
    std::memcpy(a.fsId, "FATx", 4);
    a.dirCount = 3;
    a.fileCount = 0x10000;
    a.summaryAttr = 0;
    a.dirAttr = 15;
    a.sumOfSizes = 0x11223344;
    a.Store(raw);
    const uint8_t expectArchive[] = {'F', 'A', 'T', 'x', 3,  0, 0,    0,    0,    0,
                                     1,   0,   0,   0,   15, 0, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(std::memcmp(raw, expectArchive, 20), 0);

    IDirectoryRecord i;
    i.pops = 1;
    i.subdirs = 2;
    i.files = 3;
    i.Store(raw);
    const uint8_t expectI[] = {'C', 'H', 1, 0, 2, 0, 0, 0, 3, 0, 0, 0};
    EXPECT_EQ(std::memcmp(raw, expectI, 12), 0);
    EXPECT_EQ(kTagBootSectors, ld16(reinterpret_cast<const uint8_t*>("BS")));
}

TEST(LargeSizes, HighHalfOnlyWhereTheAttributesHoldIt) {
    uint8_t attrs[128] = {};
    st32(attrs + 110, 1);
    EXPECT_EQ(FullSize(0, attrs, 128, 110), 0x100000000ull); // exactly 4 GB
    EXPECT_EQ(FullSize(0xFFFFFFFF, attrs, 128, 110), 0x1FFFFFFFFull);
    st32(attrs + 110, 0xFFFFFFFF);
    EXPECT_EQ(FullSize(5, attrs, 128, 110), 0xFFFFFFFF00000005ull);
    // No offset, attributes too short for the u32 (86-byte layouts) or
    // none at all: the u32 is the whole size, as in every other archive.
    EXPECT_EQ(FullSize(7, attrs, 128, 0), 7u);
    EXPECT_EQ(FullSize(7, attrs, 113, 110), 7u);
    EXPECT_EQ(FullSize(7, attrs, 114, 110), 0xFFFFFFFF00000007ull);
    EXPECT_EQ(FullSize(7, nullptr, 128, 110), 7u);
    EXPECT_EQ(SizeHighIn(attrs, 86, 110), 0u);
}

TEST(LargeSizes, ChunksAcrossTheFourGigabyteBoundary) {
    EXPECT_EQ(ChunksOf(0), 0u);
    EXPECT_EQ(ChunksOf(1), 1u);
    EXPECT_EQ(ChunksOf(0xFFFFFFFFull), 131072u);
    EXPECT_EQ(ChunksOf(0x100000000ull), 131072u);
    EXPECT_EQ(ChunksOf(0x100000001ull), 131073u);
    EXPECT_EQ(ChunksOf(5ull << 30), 163840u);
    // A damaged size near 2^64 neither wraps to few chunks nor past 32 bits.
    EXPECT_EQ(ChunksOf(0xFFFFFFFFFFFFFFFFull), 0xFFFFFFFFu);
    EXPECT_EQ(ChunksOf(0xFFFFFFFFull * kChunkData), 0xFFFFFFFFu);
    EXPECT_EQ(ChunksOf(0xFFFFFFFFull * kChunkData + 1), 0xFFFFFFFFu);
}

TEST(LargeSizes, SumOfSizesStopsAtItsLargestValue) {
    EXPECT_EQ(AddToSumOfSizes(0, 0), 0u);
    EXPECT_EQ(AddToSumOfSizes(0xFFFFFFFE, 1), 0xFFFFFFFFu);
    EXPECT_EQ(AddToSumOfSizes(0xFFFFFFFE, 2), 0xFFFFFFFFu);
    EXPECT_EQ(AddToSumOfSizes(0, 0x100000000ull), 0xFFFFFFFFu); // one file of 4 GB
    EXPECT_EQ(AddToSumOfSizes(1, 0xFFFFFFFFFFFFFFFFull), 0xFFFFFFFFu);
    EXPECT_EQ(AddToSumOfSizes(0xFFFFFFFF, 0), 0xFFFFFFFFu);
    EXPECT_EQ(AddToSumOfSizes(0x80000000, 0x7FFFFFFE), 0xFFFFFFFEu);
}

TEST(Records, NamesMustEndWithinTheirBound) {
    uint8_t name[200];
    std::memset(name, 'a', sizeof name);
    name[127] = 0;
    EXPECT_EQ(EntryNameLength(name, sizeof name), 127);
    name[127] = 'a';
    name[128] = 0;
    EXPECT_EQ(EntryNameLength(name, sizeof name), -1); // 129 bytes with the NUL
    name[3] = 0;
    EXPECT_EQ(EntryNameLength(name, 3), -1); // the NUL lies beyond the data
    EXPECT_EQ(EntryNameLength(name, 4), 3);
}

// A fragment's data CRC by the rule every reader follows: the data as
// stored, or (first fragment only) with the sum of sizes as first written.
TEST(FragmentCrcRule, AnyWriterAnySplitNothingElse) {
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7 + 3);
    std::vector<uint8_t> asWritten = data;
    std::memset(asWritten.data() + 16, 0, 4); // the sum of sizes as a scan writes it
    st32(data.data() + 16, 0x12345678);       // the sum patched in afterwards
    uint32_t finalCrc = CRC32(0, data.data(), data.size());
    uint32_t writtenCrc = CRC32(0, asWritten.data(), asWritten.size());
    ASSERT_NE(finalCrc, writtenCrc);
    EXPECT_EQ(CrcWithSumOfSizes(writtenCrc, uint32_t(data.size()), 0, 0x12345678), finalCrc);

    struct Case {
        const char* what;
        uint32_t offset, recorded;
        int damagedAt; // -1: none
        bool sound;
    } cases[] = {
        {"final CRC", 0, finalCrc, -1, true},
        {"CRC as first written", 0, writtenCrc, -1, true},
        {"first-written CRC on a later fragment", 32768, writtenCrc, -1, false},
        {"final CRC on a later fragment", 32768, finalCrc, -1, true},
        {"damaged byte, final CRC", 0, finalCrc, 40000, false},
        {"damaged byte, first-written CRC", 0, writtenCrc, 40000, false},
        {"damaged sum of sizes, final CRC", 0, finalCrc, 17, false},
        // A CRC as first written does not cover the sum of sizes (it was 0
        // then): the sum is checked against the files instead.
        {"damaged sum of sizes, first-written CRC", 0, writtenCrc, 17, true},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = data;
        if (c.damagedAt >= 0) bytes[size_t(c.damagedAt)] ^= 0x40;
        FragmentHeader h;
        h.streamOffset = c.offset;
        h.dataLength = uint32_t(bytes.size());
        h.crc = c.recorded;
        // Every split of the sum-of-sizes bytes across deliveries.
        for (uint32_t cut : {1u, 3u, 16u, 17u, 19u, 20u, 4096u}) {
            FragmentCrc crc(h);
            crc.Add(bytes.data(), cut);
            EXPECT_FALSE(crc.Matches()) << c.what << ": before the last byte";
            crc.Add(bytes.data() + cut, uint32_t(bytes.size() - cut));
            EXPECT_EQ(crc.Matches(), c.sound) << c.what << ", split at " << cut;
        }
        // The whole-file form: header, data, and a stray byte after them.
        uint8_t raw[FragmentHeader::kSize];
        h.Store(raw);
        FragmentFileCheck file;
        file.Add(raw, 7);
        file.Add(raw + 7, sizeof raw - 7);
        file.Add(bytes.data(), uint32_t(bytes.size()));
        EXPECT_EQ(file.Sound(), c.sound) << c.what;
        file.Add(bytes.data(), 1);
        EXPECT_FALSE(file.Sound()) << c.what << " with a byte too many";
    }
    // Files that are no fragments are not judged; a cut fragment header is.
    FragmentFileCheck other;
    other.Add(reinterpret_cast<const uint8_t*>("plain text file"), 15);
    EXPECT_TRUE(other.Sound());
    FragmentFileCheck cut;
    cut.Add(reinterpret_cast<const uint8_t*>("VKR\x10\0\0"), 6);
    EXPECT_FALSE(cut.Sound());
}

} // namespace
} // namespace vk
