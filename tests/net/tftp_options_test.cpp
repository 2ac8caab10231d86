// The server side of the TFTP records: requests with options, by table
// (what is taken, what is left out, what is malformed), the OACK built
// from them, and requests found at the start of a control stream.
#include <gtest/gtest.h>

#include <string>

#include "net/tftp_packet.h"

namespace vk {
namespace {

std::string Z(std::initializer_list<const char*> parts) {
    std::string s;
    for (const char* p : parts)
        s += std::string(p) + '\0';
    return s;
}

bool Parse(const std::string& body, TftpRequest* r, uint16_t opcode = kTftpRrq) {
    std::string packet = std::string(1, char(opcode >> 8)) + char(opcode) + body;
    return tftp_parse_request(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(), r);
}

TEST(TftpOptions, Table) {
    struct Case {
        std::string body;
        bool ok;
        uint16_t blksize, windowsize;
        uint8_t timeout;
        bool tsize;
    } cases[] = {
        {Z({"f", "octet"}), true, 0, 0, 0, false},
        {Z({"f", "OCTET", "BlkSize", "1428", "tsize", "0"}), true, 1428, 0, 0, true},
        {Z({"f", "octet", "windowsize", "16", "timeout", "3"}), true, 0, 16, 3, false},
        {Z({"f", "octet", "blksize", "7"}), true, 0, 0, 0, false},     // below the range
        {Z({"f", "octet", "blksize", "65465"}), true, 0, 0, 0, false}, // above it
        {Z({"f", "octet", "timeout", "0"}), true, 0, 0, 0, false},
        {Z({"f", "octet", "windowsize", "x1"}), true, 0, 0, 0, false},
        {Z({"f", "octet", "blksize", ""}), true, 0, 0, 0, false},
        {Z({"f", "octet", "unknown", "5", "blksize", "512"}), true, 512, 0, 0, false},
        {Z({"f", "octet", "blksize"}), false, 0, 0, 0, false}, // a name without value
        {Z({"f", "octet"}) + "blksize", false, 0, 0, 0, false},
        {Z({"", "octet"}), false, 0, 0, 0, false},
        {Z({"f"}), false, 0, 0, 0, false},
        {std::string("f\0octet", 7), false, 0, 0, 0, false},
        {Z({"f", "averyveryverylongmode"}), false, 0, 0, 0, false},
        {Z({std::string(300, 'n').c_str(), "octet"}), false, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        TftpRequest r;
        SCOPED_TRACE(c.body);
        ASSERT_EQ(Parse(c.body, &r), c.ok);
        if (!c.ok) continue;
        EXPECT_STREQ(r.name, "f");
        EXPECT_STREQ(r.mode, "octet");
        EXPECT_EQ(r.blksize, c.blksize);
        EXPECT_EQ(r.windowsize, c.windowsize);
        EXPECT_EQ(r.timeout, c.timeout);
        EXPECT_EQ(r.tsize, c.tsize);
    }
    TftpRequest r;
    EXPECT_TRUE(Parse(Z({"up", "octet"}), &r, kTftpWrq));
    EXPECT_EQ(r.opcode, kTftpWrq);
    EXPECT_FALSE(Parse(Z({"f", "octet"}), &r, kTftpData));
}

TEST(TftpOptions, OackHoldsWhatWasTaken) {
    uint8_t out[128];
    size_t n = tftp_oack(out, sizeof out, 1408, 0, 3, true, 123456789012ULL);
    std::string got(reinterpret_cast<char*>(out), n);
    EXPECT_EQ(got, std::string("\0\6", 2) +
                       Z({"blksize", "1408", "timeout", "3", "tsize", "123456789012"}));
    EXPECT_EQ(tftp_oack(out, 10, 1408, 16, 0, false, 0), 0u); // does not fit
}

TEST(TftpOptions, RequestOnAStream) {
    std::string rrq = std::string("\0\1", 2) + Z({"arc.000", "octet"});
    auto end = [](const std::string& s) {
        return tftp_request_end(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    for (size_t cut = 0; cut < rrq.size(); ++cut)
        EXPECT_EQ(end(rrq.substr(0, cut)), 0) << cut;
    EXPECT_EQ(end(rrq), long(rrq.size()));
    EXPECT_EQ(end(rrq + "\0\3\0\0"), long(rrq.size())); // an acknowledgement behind it
    EXPECT_EQ(end(std::string("\0\3", 2)), -1);
    EXPECT_EQ(end(std::string("\0\1", 2) + std::string(600, 'a')), -1);
}

} // namespace
} // namespace vk
