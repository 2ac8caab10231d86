// Which OACKs the TFTP client takes, with what values, as a table of cases
// (the request's layout is checked by the network scenarios' test server).
#include <gtest/gtest.h>

#include <string>

#include "net/tftp_packet.h"

namespace vk {
namespace {

// A literal with its NUL bytes, without the one that ends it.
template <size_t N> std::string S(const char (&text)[N]) {
    return std::string(text, N - 1);
}

struct OackCase {
    std::string body; // after the opcode
    bool taken;
    uint16_t blockSize, window;
    uint64_t fileSize;
};

TEST(TftpOack, TakesWhatWasAskedWithinItsBounds) {
    const TftpOptions asked{1408, 32, true, 0};
    const OackCase cases[] = {
        {S("blksize\0001408\0windowsize\0004\0tsize\0005000\0"), true, 1408, 4, 5000},
        {S("BLKSIZE\000512\0"), true, 512, 0, 0},
        {"", true, 0, 0, 0},
        {S("blksize\0008\0"), true, 8, 0, 0},
        {S("blksize\0007\0"), false, 0, 0, 0},                   // below 8
        {S("blksize\0001409\0"), false, 0, 0, 0},                // more than asked
        {S("windowsize\00033\0"), false, 0, 0, 0},               // more than asked
        {S("windowsize\0000\0"), false, 0, 0, 0},                // no window
        {S("blksize\0001408"), false, 0, 0, 0},                  // value without its NUL
        {S("blksize\0"), false, 0, 0, 0},                        // name without value
        {S("blksize\000+512\0"), false, 0, 0, 0},                // not plain decimal
        {S("blksize\0\0"), false, 0, 0, 0},                      // empty value
        {S("timeout\0005\0"), false, 0, 0, 0},                   // not asked
        {S("blksize\000512\0blksize\000512\0"), false, 0, 0, 0}, // twice
        {S("tsize\00099999999999999999999\0"), false, 0, 0, 0},  // 20 digits
    };
    for (const auto& c : cases) {
        std::string packet = S("\0\6") + c.body;
        TftpOptions got;
        bool taken = tftp_parse_oack(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(),
                                     asked, &got);
        EXPECT_EQ(taken, c.taken) << c.body;
        if (!taken || !c.taken) continue;
        EXPECT_EQ(got.blockSize, c.blockSize) << c.body;
        EXPECT_EQ(got.window, c.window) << c.body;
        EXPECT_EQ(got.fileSize, c.fileSize) << c.body;
    }
    // Options that were not asked for are not taken.
    const std::string windowOnly = S("\0\6windowsize\0008\0");
    TftpOptions got;
    EXPECT_FALSE(tftp_parse_oack(reinterpret_cast<const uint8_t*>(windowOnly.data()),
                                 windowOnly.size(), TftpOptions{1408, 0, false, 0}, &got));
    // DATA is no OACK.
    const uint8_t data[] = {0, 3, 0, 1};
    EXPECT_FALSE(tftp_parse_oack(data, sizeof data, asked, &got));
}

} // namespace
} // namespace vk
