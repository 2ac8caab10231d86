#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/checksum.h"

namespace vk {
namespace {

TEST(Checksum, StringCheckSumRotatesAndAdds) {
    EXPECT_EQ(StringCheckSum("abc"), 0x6C);
    EXPECT_EQ(StringCheckSum(""), 0);
    // The rotation makes the order matter.
    EXPECT_NE(StringCheckSum("ab"), StringCheckSum("ba"));
    EXPECT_EQ(StringCheckSum("\xff\xff"), uint8_t(0xFF + 0xFF));
}

TEST(Checksum, Crc32KnownValuesAndChaining) {
    const char digits[] = "123456789";
    EXPECT_EQ(CRC32(0, digits, 9), 0x89A1897Fu);
    InitCRC(0x04C11DB7);
    EXPECT_EQ(CRC32(0, digits, 9), 0x89A1897Fu);
    // Chunked computation gives the same result as one pass.
    uint32_t crc = CRC32(0, digits, 4);
    crc = CRC32(crc, digits + 4, 5);
    EXPECT_EQ(crc, 0x89A1897Fu);
    EXPECT_EQ(CRC32(0x1234, digits, 0), 0x1234u);
    // Longer than a 16-bit length.
    std::string big(70000, 'x');
    uint32_t a = CRC32(0, big.data(), big.size());
    uint32_t b = CRC32(CRC32(0, big.data(), 65535), big.data() + 65535, big.size() - 65535);
    EXPECT_EQ(a, b);
}

// The CRC by its definition, one bit at a time.
uint32_t BitwiseCRC(uint32_t crc, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        crc ^= uint32_t(p[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

TEST(Checksum, Crc32EqualsTheDefinitionAtEveryLengthAlignmentAndStart) {
    std::vector<uint8_t> data(5000 + 64);
    uint32_t seed = 12345;
    for (auto& b : data) {
        seed = seed * 1103515245 + 12345;
        b = uint8_t(seed >> 16);
    }
    for (size_t length = 0; length <= 4100; length += (length < 300 ? 1 : 37)) {
        size_t align = length % 64;
        const uint8_t* p = data.data() + align;
        uint32_t start = length % 3 == 0 ? 0 : seed ^ uint32_t(length);
        ASSERT_EQ(CRC32(start, p, length), BitwiseCRC(start, p, length))
            << "length " << length << " alignment " << align;
        // Chained in two uneven pieces.
        size_t cut = length / 3;
        ASSERT_EQ(CRC32(CRC32(start, p, cut), p + cut, length - cut), BitwiseCRC(start, p, length))
            << "length " << length << " cut " << cut;
    }
}

} // namespace
} // namespace vk
