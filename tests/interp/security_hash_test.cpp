// Known-answer tests of the hashing layer (FIPS/NBS DES, RFC 1321 MD5,
// classic crypt vectors) and of the encodings and request names built on it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "interp/script.h"
#include "interp/security.h"

namespace vk {
namespace {

std::string Hex(const void* data, size_t n) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += "0123456789ABCDEF"[bytes[i] >> 4], s += "0123456789ABCDEF"[bytes[i] & 15];
    return s;
}

std::string Bytes(const std::string& hex) {
    std::string s;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        s += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return s;
}

std::string Des(const std::string& key, const std::string& in, int count) {
    des_setkey(Bytes(key).c_str());
    char out[8];
    EXPECT_EQ(des_cipher(Bytes(in).c_str(), out, 0, count), 0);
    return Hex(out, 8);
}

TEST(Des, StandardVectorsBothDirections) {
    const char* vectors[][3] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"}, // "Now is t"
        {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"}, // weak key
        {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    };
    for (auto& v : vectors) {
        EXPECT_EQ(Des(v[0], v[1], 1), v[2]);
        EXPECT_EQ(Des(v[0], v[2], -1), v[1]);
    }
    // Salted iterations belong to crypt: refused, the output untouched.
    char out[8] = {'u', 'n', 't', 'o', 'u', 'c', 'h', 'd'};
    EXPECT_EQ(des_cipher("12345678", out, 0x123, 25), 1);
    EXPECT_EQ(std::string(out, 8), "untouchd");
}

std::string Md5(const std::string& text) {
    MD5Context context;
    MD5Init(&context);
    // In two pieces, so that a piece ends inside a 64-byte block.
    MD5Update(&context, text.data(), text.size() / 2);
    MD5Update(&context, text.data() + text.size() / 2, text.size() - text.size() / 2);
    uint8_t digest[16];
    MD5Final(digest, &context);
    return Hex(digest, 16);
}

TEST(Md5, Rfc1321Suite) {
    EXPECT_EQ(Md5(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(Md5("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Md5("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(Md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "D174AB98D277D9F5A5611C2C9F419D9F");
    std::string digits;
    for (int i = 0; i < 8; ++i)
        digits += "1234567890";
    EXPECT_EQ(Md5(digits), "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(Crypt, ClassicVectorsSaltsAndSevenBitKeys) {
    EXPECT_STREQ(crypt("password", "ab"), "abJnggxhB/yWI");
    EXPECT_STREQ(crypt("test", "aa"), "aaqPiZY5xR5l.");
    EXPECT_STREQ(crypt("password", "salt"), "sa3tHJ3/KuYvI");  // two salt characters
    EXPECT_STREQ(crypt("password123", "ab"), "abJnggxhB/yWI"); // eight key characters
    const std::string accented = crypt("\xe9t\xe9", "ab");     // 7 bits a character
    EXPECT_EQ(accented, crypt("iti", "ab"));
    const std::string one = crypt("secret", "x");
    EXPECT_EQ(one, crypt("secret", "x."));
    EXPECT_STREQ(crypt("secret", ""), crypt("secret", ".."));
    // A salt that would select another method never reaches the library.
    for (const char* salt : {"$1$abcdefgh$", "!!", "a:"})
        EXPECT_EQ(crypt("secret", salt), nullptr);
}

TEST(CheckPasswd, CaseRulesAndForeignStoredTexts) {
    EXPECT_EQ(CheckPasswd("password", "abJnggxhB/yWI", 0), 1);
    EXPECT_EQ(CheckPasswd("Password", "abJnggxhB/yWI", 0), 0);
    EXPECT_EQ(CheckPasswd("PaSsWoRDxyz", "abJnggxhB/yWI", 1), 1);
    EXPECT_EQ(CheckPasswd("passw0rd", "abJnggxhB/yWI", 1), 0);
    const std::string mixed = crypt("Ab1!cD", "Zz");
    EXPECT_EQ(CheckPasswd("ab1!cd", mixed.c_str(), 1), 1);
    EXPECT_EQ(CheckPasswd("ab1!cd", mixed.c_str(), 0), 0);
    const std::string empty = crypt("", "ab");
    EXPECT_EQ(CheckPasswd("", empty.c_str(), 1), 1);
    for (const char* stored : {"", "*", "abJnggxhB/yW", "abJnggxhB/yWI ", "*0", "!!JnggxhB/yWI",
                               "$1$abcdefgh$abcdefghijklmnopqrstuv"}) {
        EXPECT_EQ(CheckPasswd("password", stored, 0), 0) << stored;
        EXPECT_EQ(CheckPasswd("", stored, 1), 0) << stored;
    }
}

std::string Encode(const std::string& text, const char* key) {
    char hex[kDesMaxHex + 1];
    EXPECT_EQ(DesEncodeText(text.c_str(), key, hex), 0);
    return hex;
}

std::string Decode(const std::string& hex, const char* key, int expect = 0) {
    char text[kLineSize];
    EXPECT_EQ(DesDecodeHex(hex.c_str(), key, text, sizeof text), expect) << hex;
    return text;
}

TEST(DesText, RoundTripsAndRefusals) {
    std::string source;
    for (int i = 0; i < 128; ++i)
        source += char(' ' + (i * 7) % 95);
    for (size_t n : {0, 1, 7, 8, 9, 16, 120, 121, 127}) {
        const std::string text = source.substr(0, n);
        const std::string hex = Encode(text, "secret");
        EXPECT_EQ(hex.size(), (n + 7) / 8 * 16) << n;
        EXPECT_EQ(Decode(hex, "secret"), text);
    }
    char hex[kDesMaxHex + 1];
    EXPECT_EQ(DesEncodeText(source.c_str(), "k", hex), 1); // 128 characters
    EXPECT_STREQ(hex, "");
    const std::string good = Encode("password", "k");
    for (const std::string& bad : std::initializer_list<std::string>{
             "0123456789ABCDE", "0123456789ABCDEG", " 0123456789ABCDEF", good + "0123"})
        EXPECT_EQ(Decode(bad, "k", 1), "");
    std::string lower = good;
    for (char& c : lower)
        c = char(std::tolower(c));
    EXPECT_EQ(Decode(lower, "k"), "password");
}

TEST(DesText, ZeroPaddedKeysZeroFillerAndBoundedOutput) {
    EXPECT_EQ(Encode("hello", "abcdefghIJK"), Encode("hello", "abcdefgh"));
    EXPECT_EQ(Encode("hello", ""), Des("0000000000000000", Hex("hello\0\0", 8), 1));
    // The last block holds the text, its NUL and zero filler.
    EXPECT_EQ(Des(Hex("abc\0\0\0\0", 8), Encode("abc", "abc"), -1), "6162630000000000");
    // A 0xFF byte cannot be stored in a variable: it ends the result, as
    // does the size given; wrong keys produce neither NUL nor 0xFF inside.
    EXPECT_EQ(Decode(Encode("ab\xFF"
                            "cd",
                            "k"),
                     "k"),
              "ab");
    char small[5];
    EXPECT_EQ(DesDecodeHex(Encode("0123456789", "k").c_str(), "k", small, sizeof small), 0);
    EXPECT_STREQ(small, "0123");
    const std::string hex = Encode(std::string(120, 'z'), "right");
    for (int k = 0; k < 32; ++k)
        EXPECT_EQ(Decode(hex, ("wrong" + std::to_string(k)).c_str()).find('\xFF'),
                  std::string::npos);
}

TEST(ServerPassword, SixteenBytesUnderTheSecurityKey) {
    char hex[33];
    EncodeServerPassword("secret", hex);
    const std::string key = Hex("KoDrAfE!", 8);
    EXPECT_EQ(Des(key, std::string(hex, 16), -1), Hex("secret\0\0", 8));
    EXPECT_EQ(Des(key, std::string(hex + 16, 16), -1), "0000000000000000");
    char longer[33], exact[33];
    EncodeServerPassword("0123456789abcdefXYZ", longer);
    EncodeServerPassword("0123456789abcdef", exact);
    EXPECT_STREQ(longer, exact);
}

TEST(Request, HostileNamesStayLiteralOrAreRefused) {
    const std::string q(1, char(kQuote));
    char out[kLineSize];
    for (const char* name :
         {"a$Security-Passwd", "x\" echo \"owned", "bob smith", "...", ".profile"}) {
        const char* parts[] = {"getpasswd", name};
        ASSERT_EQ(BuildRequestLine("@89", parts, 2, out, sizeof out), 0);
        EXPECT_EQ(std::string(out), "include " + q + "@89:getpasswd/" + name + q);
    }
    for (const std::string& name : std::initializer_list<std::string>{
             "", ".", "..", "..\\..", "../x", "a\\b", "a\rb", "x" + q + "y", "\x7f"}) {
        const char* parts[] = {"checkuser", name.c_str(), "bob"};
        EXPECT_EQ(BuildRequestLine("@89", parts, 3, out, sizeof out), 1) << name;
        EXPECT_STREQ(out, "");
    }
    const char* parts[] = {"getpasswd", "bob"};
    EXPECT_EQ(BuildRequestLine(("@89" + q).c_str(), parts, 2, out, sizeof out), 1);
    // A line that would not fit is refused, never cut to another name.
    const std::string fits(kLineSize - 1 - std::strlen("include \"@89:getpasswd/\""), 'u');
    const char* ok[] = {"getpasswd", fits.c_str()};
    EXPECT_EQ(BuildRequestLine("@89", ok, 2, out, sizeof out), 0);
    const std::string over = fits + "u";
    const char* tooLong[] = {"getpasswd", over.c_str()};
    EXPECT_EQ(BuildRequestLine("@89", tooLong, 2, out, sizeof out), 1);
}

} // namespace
} // namespace vk
