#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "child.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {
namespace {

using test::RunChild;

TEST(Options, OnlyLeadingDashWordsCount) {
    EXPECT_EQ(GetOptIn("-w setup", 'w'), 1);
    EXPECT_EQ(GetOptIn("setup -w", 'w'), 0);
    EXPECT_EQ(GetOptIn("-x  -w\tname -i", 'w'), 1);
    EXPECT_EQ(GetOptIn("-x -w name -i", 'i'), 0);
    EXPECT_EQ(GetOptIn("-wx", 'x'), 0); // only the letter right after "-"
    EXPECT_EQ(GetOptIn("-w", 'W'), 0);
    EXPECT_EQ(GetOptIn("", 'w'), 0);
    EXPECT_EQ(GetOptIn(nullptr, 'w'), 0);
}

TEST(Conversions, DecimalAndAddresses) {
    char text[16];
    ltoa(INT32_MIN, text);
    EXPECT_STREQ(text, "-2147483648");
    ltoa(0, text);
    EXPECT_STREQ(text, "0");
    ultoa(UINT32_MAX, text);
    EXPECT_STREQ(text, "4294967295");
    const uint8_t ip[4] = {192, 168, 1, 255};
    iptoa(ip, text);
    EXPECT_STREQ(text, "192.168.1.255");
    uint8_t back[4];
    atoip("192.168.1.255", back);
    EXPECT_EQ(std::memcmp(ip, back, 4), 0);
}

TEST(Conversions, Hex) {
    const uint8_t bytes[3] = {0x00, 0x1A, 0xFF};
    char text[16];
    hwtoa(bytes, 3, text);
    EXPECT_STREQ(text, "00 1A FF");
    hwtoa(bytes, 0, text);
    EXPECT_STREQ(text, "");
    BinToHex(bytes, text, 3);
    EXPECT_STREQ(text, "001AFF");

    uint8_t out[3] = {};
    char digits[] = "0aFf10";
    EXPECT_EQ(HexToBin(digits, out, 3), 0);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[2], 0x10);
    char bad[] = "0g";
    EXPECT_EQ(HexToBin(bad, out, 1), 1);
    // A short text stops at its NUL instead of reading on.
    char shortText[] = "1";
    EXPECT_EQ(HexToBin(shortText, out, 4), 1);
}

TEST(FindWord, WhiteSpaceSeparatedWords) {
    int found = -1;
    FindWord("b", "a  b\tc", 0, &found);
    EXPECT_EQ(found, 1);
    FindWord("B", "a b c", 0, &found);
    EXPECT_EQ(found, 0);
    FindWord("B", "a b c", 1, &found);
    EXPECT_EQ(found, 1);
    FindWord("ab", "abc ab", 0, &found);
    EXPECT_EQ(found, 1);
    FindWord("ab", "abc xab", 0, &found);
    EXPECT_EQ(found, 0);
    FindWord("", "a b", 0, &found);
    EXPECT_EQ(found, 0);
    FindWord("640x480", "800x600\n640x480", 1, &found);
    EXPECT_EQ(found, 1);
}

TEST(RemoteNames, GatewayServerPortAndPath) {
    uint8_t *gateway, *server;
    uint16_t port;
    const char* path =
        ParseRemoteFilename("10.0.0.1/192.168.1.5@69:boot/img", &gateway, &server, &port);
    EXPECT_STREQ(path, "boot/img");
    ASSERT_NE(gateway, nullptr);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(gateway, sgip);
    EXPECT_EQ(server, ssip);
    const uint8_t g[4] = {10, 0, 0, 1}, s[4] = {192, 168, 1, 5};
    EXPECT_EQ(std::memcmp(gateway, g, 4), 0);
    EXPECT_EQ(std::memcmp(server, s, 4), 0);
    EXPECT_EQ(port, 69);

    path = ParseRemoteFilename("192.168.1.5:x:y", &gateway, &server, &port);
    EXPECT_STREQ(path, "x:y");
    EXPECT_EQ(gateway, nullptr);
    EXPECT_NE(server, nullptr);
    EXPECT_EQ(port, 0);
}

TEST(RemoteNames, PlainPaths) {
    RemoteName r;
    ASSERT_EQ(SplitRemoteName("dir/file", &r, nullptr), 0);
    EXPECT_STREQ(r.path, "dir/file");
    EXPECT_FALSE(r.hasServer);
    // Digits and a slash but no ":" are a host path, not a gateway.
    ASSERT_EQ(SplitRemoteName("2024/report.txt", &r, nullptr), 0);
    EXPECT_STREQ(r.path, "2024/report.txt");
    EXPECT_FALSE(r.hasGateway);
    // One leading ":" is skipped; a name not starting with a digit has no server.
    ASSERT_EQ(SplitRemoteName(":name:x", &r, nullptr), 0);
    EXPECT_STREQ(r.path, "name:x");
    ASSERT_EQ(SplitRemoteName(":1.2.3.4:img", &r, nullptr), 0);
    EXPECT_TRUE(r.hasServer);
    EXPECT_STREQ(r.path, "img");
    ASSERT_EQ(SplitRemoteName("1.2.3.4@99999:img", &r, nullptr), 0);
    EXPECT_EQ(r.port, 65535);
    // An "@" after the path's ":" is part of the path.
    ASSERT_EQ(SplitRemoteName("1.2.3.4:a@b", &r, nullptr), 0);
    EXPECT_EQ(r.port, 0);
    EXPECT_STREQ(r.path, "a@b");
}

TEST(RemoteNames, BadAddressesAreReported) {
    RemoteName r;
    const char* bad = nullptr;
    EXPECT_EQ(SplitRemoteName("1.2.3:img", &r, &bad), 1);
    EXPECT_STREQ(bad, "1.2.3:img");
    EXPECT_EQ(SplitRemoteName("1.2.3.256:img", &r, &bad), 1);
    EXPECT_EQ(SplitRemoteName("1.2/1.2.3.4:img", &r, &bad), 1);
    EXPECT_STREQ(bad, "1.2/1.2.3.4:img");
}

TEST(RemoteNames, BadAddressIsFatal) {
    auto r = RunChild([] {
        InitIO();
        uint8_t *g, *s;
        uint16_t p;
        ParseRemoteFilename("10.0.0/1.2.3.4:x", &g, &s, &p);
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "IP 10.0.0: Bad IP address\r\n");
    r = RunChild([] {
        InitIO();
        uint8_t a[4];
        atoip("1.2.3.300", a);
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "IP 1.2.3.300: Bad IP address\r\n");
}

TEST(ImportText, TranslatesLatin1WhenOn) {
    char text[] = "a\xE9\xAA\x9F";
    IsoLatinMode = false;
    ImportText(text, 4);
    EXPECT_EQ(std::string(text), "a\xE9\xAA\x9F");
    IsoLatinMode = true;
    ImportText(text, 4);
    // e acute, the feminine ordinal (missing from the short table), and a
    // byte below 160 that stays.
    EXPECT_EQ(std::string(text), "a\x82\xA6\x9F");
}

TEST(CodePage, DefaultLongNameTable) {
    uint16_t table[128];
    LoadDefaultCodePage(table);
    EXPECT_EQ(table[0x80 - 0x80], 0x00C7); // C cedilla
    EXPECT_EQ(table[0x9F - 0x80], 0x0092);
    EXPECT_EQ(table[0xC4 - 0x80], 0x2500); // box drawing
    EXPECT_EQ(table[0xFF - 0x80], 0x00A0);
    // Wherever the output table has an equivalent, the two agree.
    for (int pc = 0x80; pc < 0x100; ++pc) {
        if (pc2iso[pc - 0x80] != 0x80) {
            EXPECT_EQ(table[pc - 0x80], pc2iso[pc - 0x80]) << pc;
        }
    }
}

TEST(CodePage, TablesAgreeWhereBothHaveACharacter) {
    for (int iso = 0xA0; iso <= 0xFF; ++iso) {
        uint8_t pc = IsoToPc(uint8_t(iso));
        ASSERT_GE(pc, 0x80) << iso;
        EXPECT_EQ(pc2iso[pc - 0x80], iso) << iso;
    }
}

} // namespace
} // namespace vk
