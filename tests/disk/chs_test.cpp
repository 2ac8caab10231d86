// Packing of CHS locations in both modes, and the locations that do not fit.
#include <gtest/gtest.h>

#include "disk/disk.h"
#include "disk/partitions.h"

namespace vk {
namespace {

struct LbaGuard {
    explicit LbaGuard(uint8_t mode) { LBAMode = mode; }
    ~LbaGuard() { LBAMode = 1; }
};

TEST(ChsTest, TwelveBitCylindersWithLbaOff) {
    LbaGuard guard(0);
    uint8_t head;
    uint16_t word;
    ASSERT_EQ(PackLoc(1500, 5, 17, &head, &word), 0);
    EXPECT_EQ(head >> 6, 1); // cylinder bit 10
    EXPECT_EQ(head & 0x3F, 5);
    EXPECT_EQ((word >> 6) & 3, 1); // cylinder bits 8 and 9
    EXPECT_EQ(word >> 8, 0xDC);    // cylinder bits 0 to 7
    EXPECT_EQ(word & 0x3F, 17);
    uint16_t c;
    uint8_t h, s;
    UnPackLoc(head, word, &c, &h, &s);
    EXPECT_EQ(c, 1500);
    EXPECT_EQ(h, 5);
    EXPECT_EQ(s, 17);
}

TEST(ChsTest, EveryRepresentableLocationRoundTrips) {
    for (uint8_t mode : {0, 1}) {
        LbaGuard guard(mode);
        const uint16_t maxCylinder = mode ? 1023 : 4095;
        const uint8_t maxHead = mode ? 255 : 63;
        for (uint32_t c = 0; c <= maxCylinder; c += 1)
            for (uint32_t h : {0u, 1u, 31u, uint32_t(maxHead)})
                for (uint8_t s : {1, 32, 63}) {
                    uint8_t head;
                    uint16_t word;
                    ASSERT_EQ(PackLoc(uint16_t(c), uint8_t(h), s, &head, &word), 0);
                    uint16_t c2;
                    uint8_t h2, s2;
                    UnPackLoc(head, word, &c2, &h2, &s2);
                    ASSERT_EQ(c2, c);
                    ASSERT_EQ(h2, h);
                    ASSERT_EQ(s2, s);
                }
    }
}

TEST(ChsTest, LocationsThatDoNotFitAreRefusedNotWrapped) {
    uint8_t head = 0xAB;
    uint16_t word = 0xCDEF;
    {
        LbaGuard guard(1);
        EXPECT_NE(PackLoc(1024, 0, 1, &head, &word), 0);
        EXPECT_NE(PackLoc(1500, 0, 1, &head, &word), 0);
        EXPECT_NE(PackLoc(10, 0, 64, &head, &word), 0);
    }
    {
        LbaGuard guard(0);
        EXPECT_NE(PackLoc(4096, 0, 1, &head, &word), 0);
        EXPECT_NE(PackLoc(10, 64, 1, &head, &word), 0);
    }
    EXPECT_EQ(head, 0xAB); // nothing stored
    EXPECT_EQ(word, 0xCDEF);
}

} // namespace
} // namespace vk
