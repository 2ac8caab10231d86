// Known-answer tests of the hashing layer (FIPS/NBS DES, RFC 1321 MD5,
// classic crypt vectors) and of the text encodings built on it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "interp/script.h"
#include "interp/security.h"

namespace vk {
namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string Bytes(const std::string& hex) {
    std::string s;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        s += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return s;
}

std::string DesBlock(const std::string& keyHex, const std::string& inHex, int count) {
    des_setkey(Bytes(keyHex).c_str());
    char out[8];
    EXPECT_EQ(des_cipher(Bytes(inHex).c_str(), out, 0, count), 0);
    return Hex(reinterpret_cast<const uint8_t*>(out), 8);
}

TEST(Des, StandardVectorsBothDirections) {
    struct Vector {
        const char* key;
        const char* plain;
        const char* cipher;
    } vectors[] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"}, // "Now is t"
        // Weak key of the variable-plaintext known-answer test.
        {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
        // Variable-key known-answer test.
        {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    };
    for (const Vector& v : vectors) {
        EXPECT_EQ(DesBlock(v.key, v.plain, 1), v.cipher) << v.key;
        EXPECT_EQ(DesBlock(v.key, v.cipher, -1), v.plain) << v.key;
    }
}

TEST(Des, ParityBitsIgnoredCountsRepeatAndSaltRefused) {
    // Flipping the lowest bit of every key byte gives the same cipher.
    EXPECT_EQ(DesBlock("123456789ABCDEF0", "0123456789ABCDEF", 1),
              DesBlock("133557799BBDDFF1", "0123456789ABCDEF", 1));
    const std::string once = DesBlock("133457799BBCDFF1", "0123456789ABCDEF", 1);
    EXPECT_EQ(DesBlock("133457799BBCDFF1", once, 1),
              DesBlock("133457799BBCDFF1", "0123456789ABCDEF", 2));
    EXPECT_EQ(DesBlock("133457799BBCDFF1", "0123456789ABCDEF", 0), "0123456789ABCDEF");
    char out[8] = {'u', 'n', 't', 'o', 'u', 'c', 'h', 'd'};
    EXPECT_EQ(des_cipher("12345678", out, 0x123, 25), 1);
    EXPECT_EQ(std::string(out, 8), "untouchd");
}

std::string Md5(const std::string& text, size_t split = 0) {
    MD5Context context;
    MD5Init(&context);
    if (split > 0 && split < text.size()) {
        MD5Update(&context, text.data(), split);
        MD5Update(&context, text.data() + split, text.size() - split);
    } else {
        MD5Update(&context, text.data(), text.size());
    }
    uint8_t digest[16];
    MD5Final(digest, &context);
    return Hex(digest, 16);
}

TEST(Md5, Rfc1321Suite) {
    EXPECT_EQ(Md5(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(Md5("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(Md5("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Md5("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(Md5("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(Md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "D174AB98D277D9F5A5611C2C9F419D9F");
    const std::string digits =
        "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
    EXPECT_EQ(Md5(digits), "57EDF4A22BE3C955AC49DA2E2107B67A");
    // Fed in pieces, across the 64-byte block boundary.
    EXPECT_EQ(Md5(digits, 63), "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(Crypt, ClassicVectors) {
    EXPECT_STREQ(crypt("password", "ab"), "abJnggxhB/yWI");
    EXPECT_STREQ(crypt("test", "aa"), "aaqPiZY5xR5l.");
    EXPECT_STREQ(crypt("password", "salt"), "sa3tHJ3/KuYvI"); // only "sa" counts
    // Only the first 8 characters of the key count.
    EXPECT_STREQ(crypt("password123", "ab"), "abJnggxhB/yWI");
    // Seven bits per character: an accented letter of the code page hashes
    // as the ASCII character below it.
    const std::string accented = crypt("\xe9t\xe9", "ab");
    EXPECT_EQ(accented, crypt("iti", "ab"));
}

TEST(Crypt, ShortSaltIsPaddedWithDotsAndForeignSaltsAreRefused) {
    std::string one = crypt("secret", "x");
    EXPECT_EQ(one.size(), 13u);
    EXPECT_EQ(one, crypt("secret", "x."));
    EXPECT_EQ(one.substr(0, 2), "x.");
    EXPECT_STREQ(crypt("secret", ""), crypt("secret", ".."));
    // A salt that would select another method, or lies outside the crypt
    // alphabet, is refused instead of reaching the library.
    EXPECT_EQ(crypt("secret", "$1$abcdefgh$"), nullptr);
    EXPECT_EQ(crypt("secret", "!!"), nullptr);
    EXPECT_EQ(crypt("secret", "a:"), nullptr);
}

TEST(CheckPasswd, CaseSensitiveAndIgnoringCase) {
    EXPECT_EQ(CheckPasswd("password", "abJnggxhB/yWI", 0), 1);
    EXPECT_EQ(CheckPasswd("Password", "abJnggxhB/yWI", 0), 0);
    EXPECT_EQ(CheckPasswd("PASSWORD", "abJnggxhB/yWI", 1), 1);
    EXPECT_EQ(CheckPasswd("PaSsWoRd", "abJnggxhB/yWI", 1), 1);
    EXPECT_EQ(CheckPasswd("PASSWORDxyz", "abJnggxhB/yWI", 1), 1); // 8 characters count
    EXPECT_EQ(CheckPasswd("passw0rd", "abJnggxhB/yWI", 1), 0);

    // Mixed case stored password, digits and symbols keep their value.
    std::string stored = crypt("Ab1!cD", "Zz");
    EXPECT_EQ(CheckPasswd("ab1!cd", stored.c_str(), 1), 1);
    EXPECT_EQ(CheckPasswd("ab1!cd", stored.c_str(), 0), 0);
    EXPECT_EQ(CheckPasswd("ab2!cd", stored.c_str(), 1), 0);

    std::string empty = crypt("", "ab");
    EXPECT_EQ(CheckPasswd("", empty.c_str(), 0), 1);
    EXPECT_EQ(CheckPasswd("", empty.c_str(), 1), 1);
    EXPECT_EQ(CheckPasswd("x", empty.c_str(), 1), 0);
}

TEST(CheckPasswd, StoredTextThatIsNoCryptStringNeverMatches) {
    const char* bad[] = {"",
                         "*",
                         "!",
                         "abJnggxhB/yW",
                         "abJnggxhB/yWI ",
                         "abJnggxhB/yW\n",
                         "$1$abcdefgh$abcdefghijklmnopqrstuv",
                         "*0",
                         "!!JnggxhB/yWI"};
    for (const char* stored : bad) {
        EXPECT_EQ(CheckPasswd("password", stored, 0), 0) << stored;
        EXPECT_EQ(CheckPasswd("password", stored, 1), 0) << stored;
        EXPECT_EQ(CheckPasswd("", stored, 0), 0) << stored;
    }
}

std::string Encode(const std::string& text, const char* key) {
    char hex[kDesMaxHex + 1];
    EXPECT_EQ(DesEncodeText(text.c_str(), key, hex), 0);
    return hex;
}

std::string Decode(const std::string& hex, const char* key, int* status = nullptr) {
    char text[kLineSize];
    int s = DesDecodeHex(hex.c_str(), key, text, sizeof text);
    if (status) *status = s;
    return text;
}

TEST(DesText, RoundTripsAcrossBlockBoundaries) {
    const std::string source = "The quick brown fox jumps over the lazy dog; 0123456789 "
                               "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~ "
                               "pack my box with five dozen liquor jugs!!";
    ASSERT_GE(source.size(), 127u);
    struct {
        size_t length;
        size_t digits;
    } cases[] = {{0, 0},   {1, 16},  {7, 16},    {8, 16},    {9, 32},
                 {16, 32}, {17, 48}, {120, 240}, {121, 256}, {127, 256}};
    for (auto c : cases) {
        const std::string text = source.substr(0, c.length);
        const std::string hex = Encode(text, "secret");
        EXPECT_EQ(hex.size(), c.digits) << c.length;
        EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        int status = -1;
        EXPECT_EQ(Decode(hex, "secret", &status), text) << c.length;
        EXPECT_EQ(status, 0);
    }
}

TEST(DesText, TooLongTextIsRefused) {
    char hex[kDesMaxHex + 1] = "untouched";
    EXPECT_EQ(DesEncodeText(std::string(128, 'a').c_str(), "k", hex), 1);
    EXPECT_STREQ(hex, "");
}

TEST(DesText, ShortKeysPadWithZeroBytesAndFillerIsZero) {
    uint8_t key[8];
    DesKeyFromString("abc", key);
    const uint8_t expected[8] = {'a', 'b', 'c', 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(key, expected, 8), 0);
    DesKeyFromString("abcdefghIJK", key);
    EXPECT_EQ(std::memcmp(key, "abcdefgh", 8), 0);
    EXPECT_EQ(Encode("hello", "abcdefghIJK"), Encode("hello", "abcdefgh"));
    EXPECT_NE(Encode("hello", "abc"), Encode("hello", "abd"));

    // Decrypting the raw block shows the text, its NUL and zero filler.
    const std::string hex = Encode("abc", "abc");
    des_setkey(reinterpret_cast<const char*>(expected));
    char plain[8];
    des_cipher(Bytes(hex).c_str(), plain, 0, -1);
    EXPECT_EQ(std::string(plain, 8), std::string("abc\0\0\0\0\0", 8));
    // An empty key is eight zero bytes.
    EXPECT_EQ(Encode("hello", ""), Encode("hello", std::string(1, '\0').c_str()));
}

TEST(DesText, MalformedHexIsInvalid) {
    const std::string good = Encode("password", "k");
    int status = 0;
    const char* bad[] = {"0123456789ABCDE",   "0123456789ABCDEG",  "0123456789ABCDEF0",
                         " 0123456789ABCDEF", "0123456789ABCDEFx", "0123456789ABCDE\xF9"};
    for (const char* hex : bad) {
        EXPECT_EQ(Decode(hex, "k", &status), "") << hex;
        EXPECT_EQ(status, 1) << hex;
    }
    // A short last group fails even after a valid one.
    EXPECT_EQ(Decode(good + "0123", "k", &status), "");
    EXPECT_EQ(status, 1);
    // Lower-case digits are read as well.
    std::string lower = good;
    for (char& c : lower)
        c = char(std::tolower(c));
    EXPECT_EQ(Decode(lower, "k", &status), "password");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Decode("", "k", &status), "");
    EXPECT_EQ(status, 0);
}

TEST(DesText, DecodingStaysInBoundsAndStoresNoSeparatorByte) {
    // A wrong key gives arbitrary bytes: the result stops before a NUL or a
    // byte 0xFF and never passes the given size.
    const std::string hex = Encode(std::string(120, 'z'), "right");
    for (int k = 0; k < 64; ++k) {
        const std::string key = "wrong" + std::to_string(k);
        char text[kLineSize];
        ASSERT_EQ(DesDecodeHex(hex.c_str(), key.c_str(), text, sizeof text), 0);
        EXPECT_EQ(std::strchr(text, '\xFF'), nullptr);
    }
    // A 0xFF byte written by descrypt ends the decoded text.
    EXPECT_EQ(Decode(Encode("ab\xFF"
                            "cd",
                            "k"),
                     "k"),
              "ab");
    char small[5];
    EXPECT_EQ(DesDecodeHex(Encode("0123456789", "k").c_str(), "k", small, sizeof small), 0);
    EXPECT_STREQ(small, "0123");
}

TEST(ServerPassword, SixteenBytesUnderTheSecurityKey) {
    char hex[33];
    EncodeServerPassword("secret", hex);
    EXPECT_EQ(std::strlen(hex), 32u);
    const uint8_t key[8] = {'K', 'o', 'D', 'r', 'A', 'f', 'E', '!'};
    des_setkey(reinterpret_cast<const char*>(key));
    const std::string raw = Bytes(hex);
    char plain[16];
    des_cipher(raw.c_str(), plain, 0, -1);
    des_cipher(raw.c_str() + 8, plain + 8, 0, -1);
    EXPECT_EQ(std::string(plain, 16), std::string("secret\0\0\0\0\0\0\0\0\0\0", 16));

    char longer[33];
    EncodeServerPassword("0123456789abcdefXYZ", longer);
    char exact[33];
    EncodeServerPassword("0123456789abcdef", exact);
    EXPECT_STREQ(longer, exact);
    char empty[33];
    EncodeServerPassword("", empty);
    EXPECT_EQ(std::strlen(empty), 32u);
    EXPECT_STRNE(empty, hex);
}

TEST(Request, HostileNamesStayLiteralInsideOneString) {
    const std::string marker(1, char(kQuote));
    char out[kLineSize];
    const char* names[] = {"a$Security-Passwd", "x\" echo \"owned", "bob smith", "caf\x82"};
    for (const char* name : names) {
        EXPECT_TRUE(IsSafeRequestPart(name)) << name;
        const char* parts[] = {"getpasswd", name};
        ASSERT_EQ(BuildRequestLine("@89", parts, 2, out, sizeof out), 0);
        EXPECT_EQ(std::string(out), "include " + marker + "@89:getpasswd/" + name + marker);
    }
    const char* parts[] = {"checkuser", "radius", "bob", "0123456789ABCDEF0123456789ABCDEF"};
    ASSERT_EQ(BuildRequestLine("10.0.0.1@89", parts, 4, out, sizeof out), 0);
    EXPECT_EQ(std::string(out),
              "include " + marker +
                  "10.0.0.1@89:checkuser/radius/bob/0123456789ABCDEF0123456789ABCDEF" + marker);
}

TEST(Request, NamesThatCouldLeaveTheirPlaceAreRefused) {
    const std::string marker(1, char(kQuote));
    const std::string refused[] = {"",    ".",    "..",         "..\\..", "../../etc/x",
                                   "a/b", "a\\b", "a\rinclude", "tab\t",  "x" + marker + "y",
                                   "\x7f"};
    char out[kLineSize] = "x";
    for (const std::string& name : refused) {
        EXPECT_FALSE(IsSafeRequestPart(name.c_str())) << name;
        const char* parts[] = {"getpasswd", name.c_str()};
        EXPECT_EQ(BuildRequestLine("@89", parts, 2, out, sizeof out), 1) << name;
        EXPECT_STREQ(out, "");
        const char* method[] = {"checkuser", name.c_str(), "bob", "00"};
        EXPECT_EQ(BuildRequestLine("@89", method, 4, out, sizeof out), 1) << name;
    }
    EXPECT_TRUE(IsSafeRequestPart("..."));
    EXPECT_TRUE(IsSafeRequestPart(".profile"));
    const char* parts[] = {"getpasswd", "bob"};
    EXPECT_EQ(BuildRequestLine(("@89" + marker).c_str(), parts, 2, out, sizeof out), 1);
    EXPECT_EQ(BuildRequestLine("@89\n", parts, 2, out, sizeof out), 1);
}

TEST(Request, LineThatWouldNotFitIsRefusedNotCut) {
    char out[kLineSize];
    const std::string fits(kLineSize - 1 - std::strlen("include \"@89:getpasswd/\""), 'u');
    const char* ok[] = {"getpasswd", fits.c_str()};
    ASSERT_EQ(BuildRequestLine("@89", ok, 2, out, sizeof out), 0);
    EXPECT_EQ(std::strlen(out), size_t(kLineSize - 1));
    const std::string over = fits + "u";
    const char* tooLong[] = {"getpasswd", over.c_str()};
    EXPECT_EQ(BuildRequestLine("@89", tooLong, 2, out, sizeof out), 1);
    EXPECT_STREQ(out, "");
}

} // namespace
} // namespace vk
