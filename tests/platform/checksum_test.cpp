#include <gtest/gtest.h>

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

} // namespace
} // namespace vk
