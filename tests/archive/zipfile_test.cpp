// The single-file container: exact bytes, round trips around the chunk
// size, and damaged containers that must never unpack as a success.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>

#include "archive/zipfile.h"
#include "archive_fixture.h"
#include "platform/checksum.h"

namespace vk::test {
namespace {

class ZipFileTest : public ArchiveTest {
  protected:
    Bytes Sample(size_t n, uint32_t seed) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) {
            seed = seed * 1103515245 + 12345;
            // Text-like with some noise, so chunks mix literals and hits.
            b[i] = (seed >> 28) < 3 ? uint8_t(seed >> 16) : uint8_t("zipfile "[i % 8]);
        }
        return b;
    }
    int Unzip(const std::string& container) {
        return UnzipFile(Path(container).c_str(), Path("out").c_str());
    }
};

TEST_F(ZipFileTest, ContainerBytesAreExact) {
    WriteHost(Path("abc"), {'a', 'b', 'c'});
    ASSERT_EQ(ZipFile(Path("abc").c_str(), Path("abc.z").c_str()), 0);
    uint32_t crc = CRC32(0, "abc", 3);
    Bytes expected = {0xF4,
                      0xF4,
                      3,
                      0,
                      0,
                      0,
                      uint8_t(crc),
                      uint8_t(crc >> 8),
                      uint8_t(crc >> 16),
                      uint8_t(crc >> 24),
                      4,
                      0,
                      3,
                      0,
                      0xE0,
                      0x9E,
                      0x9D,
                      0x9C};
    EXPECT_EQ(Hex(ReadHost(Path("abc.z"))), Hex(expected));
}

TEST_F(ZipFileTest, RoundTrips) {
    const size_t sizes[] = {0, 1, 32768, 32769, 10 * 1024 * 1024};
    for (size_t size : sizes) {
        Bytes data = Sample(size, uint32_t(size));
        WriteHost(Path("in"), data);
        ASSERT_EQ(ZipFile(Path("in").c_str(), Path("in.z").c_str()), 0) << size;
        Bytes container = ReadHost(Path("in.z"));
        EXPECT_EQ(ld32(container.data() + 2), size);
        // Chunks of 32768 and a last one with the rest.
        size_t p = kZipFileHeaderSize, chunks = 0;
        while (p < container.size()) {
            uint16_t n = ld16(&container[p + 2]);
            EXPECT_EQ(n, std::min<size_t>(32768, size - chunks * 32768)) << size;
            p += 4 + ld16(&container[p]);
            ++chunks;
        }
        EXPECT_EQ(p, container.size());
        EXPECT_EQ(chunks, (size + 32767) / 32768);
        ASSERT_EQ(Unzip("in.z"), 0) << size;
        EXPECT_TRUE(ReadHost(Path("out")) == data) << size;
    }
}

TEST_F(ZipFileTest, DamagedContainersFail) {
    Bytes data = Sample(100000, 9);
    WriteHost(Path("in"), data);
    ASSERT_EQ(ZipFile(Path("in").c_str(), Path("in.z").c_str()), 0);
    Bytes good = ReadHost(Path("in.z"));
    // A flipped bit anywhere: magic, length, CRC, chunk headers, packed data.
    for (size_t at = 0; at < good.size(); at += good.size() / 97 + 1) {
        Bytes bad = good;
        bad[at] ^= 0x10;
        WriteHost(Path("bad.z"), bad);
        EXPECT_EQ(Unzip("bad.z"), 1) << "flip at " << at;
        // What was unpacked of it does not stay behind as a whole file.
        EXPECT_FALSE(std::filesystem::exists(Path("out"))) << "flip at " << at;
    }
    const size_t cuts[] = {0, 5, 10, 12, 1000, good.size() - 1};
    for (size_t cut : cuts) {
        WriteHost(Path("cut.z"), Bytes(good.begin(), good.begin() + long(cut)));
        EXPECT_EQ(Unzip("cut.z"), 1) << "cut at " << cut;
        EXPECT_FALSE(std::filesystem::exists(Path("out"))) << "cut at " << cut;
    }
    // A container that ends at a chunk boundary, one chunk short.
    size_t firstChunk = kZipFileHeaderSize + 4 + ld16(&good[kZipFileHeaderSize]);
    WriteHost(Path("short.z"), Bytes(good.begin(), good.begin() + long(firstChunk)));
    EXPECT_EQ(Unzip("short.z"), 1);
    // Trailing bytes after the last chunk.
    Bytes longer = good;
    longer.push_back(0);
    WriteHost(Path("long.z"), longer);
    EXPECT_EQ(Unzip("long.z"), 1);
}

TEST_F(ZipFileTest, ImplausibleChunkHeadersAreRejected) {
    // A chunk claiming 32769 unpacked bytes; one whose packed length is too
    // small for its data.
    const uint8_t head[] = {0xF4, 0xF4, 0x01, 0x80, 0, 0, 0, 0, 0, 0, 0x00, 0x10, 0x01, 0x80};
    Bytes big(sizeof head + 0x1000, 0);
    std::copy(std::begin(head), std::end(head), big.begin());
    WriteHost(Path("big.z"), big);
    EXPECT_EQ(Unzip("big.z"), 1);
    Bytes small = {0xF4, 0xF4, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0x01, 0x00};
    WriteHost(Path("small.z"), small);
    EXPECT_EQ(Unzip("small.z"), 1);
}

TEST_F(ZipFileTest, UnopenableFiles) {
    EXPECT_EQ(Unzip("missing.z"), -1);
    EXPECT_EQ(ZipFile(Path("missing").c_str(), Path("x.z").c_str()), -1);
    WriteHost(Path("in"), Sample(10, 1));
    EXPECT_EQ(ZipFile(Path("in").c_str(), Path("no/dir/x.z").c_str()), -1);
    ASSERT_EQ(ZipFile(Path("in").c_str(), Path("in.z").c_str()), 0);
    EXPECT_EQ(UnzipFile(Path("in.z").c_str(), Path("no/dir/out").c_str()), 1);
    TakeLog();
}

} // namespace
} // namespace vk::test
