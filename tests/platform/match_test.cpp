#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "platform/util.h"

namespace vk {
namespace {

int Match(const std::string& text, std::string pattern, int flags = 0) {
    return MatchExpr(text.c_str(), pattern.data(), flags);
}

TEST(MatchExpr, CaseAndWildcards) {
    EXPECT_EQ(Match("readme.txt", "*.TXT", kMatchIgnoreCase), 1);
    EXPECT_EQ(Match("readme.txt", "*.TXT"), 0);
    EXPECT_EQ(Match("readme.txt", "read*"), 1);
    EXPECT_EQ(Match("readme.txt", "r?a*.t?t"), 1);
    EXPECT_EQ(Match("readme.txt", "*.tx"), 0);
    EXPECT_EQ(Match("", "*"), 1);
    EXPECT_EQ(Match("", "?"), 0);
    EXPECT_EQ(Match("", ""), 1);
    EXPECT_EQ(Match("a", ""), 0);
    EXPECT_EQ(Match("aab", "*ab"), 1); // needs the star to try again
    EXPECT_EQ(Match("abcbd", "a*b*d"), 1);
    EXPECT_EQ(Match("abcbe", "a*b*d"), 0);
    EXPECT_EQ(Match("\xE9t\xE9", "\xC9*", kMatchIgnoreCase), 0); // only ASCII folds
}

TEST(MatchExpr, StarQuestionIsRewritten) {
    char pattern[] = "*?";
    EXPECT_EQ(MatchExpr("a", pattern, 0), 1);
    EXPECT_STREQ(pattern, "?*");
    char runs[] = "**??";
    EXPECT_EQ(MatchExpr("abc", runs, 0), 1);
    char tooShort[] = "*??";
    EXPECT_EQ(MatchExpr("a", tooShort, 0), 0);
}

TEST(MatchExpr, TerminatorEndsTheText) {
    EXPECT_EQ(Match("Cache=ON", "cache*", '=' | kMatchIgnoreCase), 1);
    EXPECT_EQ(Match("CacheAlways=OFF", "Cache", '='), 0);
    EXPECT_EQ(Match("Cache=ON", "Cache", '='), 1);
    EXPECT_EQ(Match("ab=cd", "ab?cd", '='), 0); // "?" does not take the terminator
    EXPECT_EQ(Match("ab=cd", "*d", '='), 0);
    // A text without its terminator still ends at its NUL.
    EXPECT_EQ(Match("abc", "abc", '='), 1);
    EXPECT_EQ(Match("abc", "abc?", '='), 0);
    EXPECT_EQ(Match("abc", "*x", '='), 0);
}

// Straightforward recursive matcher used as the reference.
bool Reference(const char* t, const char* p) {
    if (*p == 0) return *t == 0;
    if (*p == '*') return Reference(t, p + 1) || (*t && Reference(t + 1, p));
    if (*t == 0) return false;
    return (*p == '?' || *p == *t) && Reference(t + 1, p + 1);
}

TEST(MatchExpr, AgreesWithReferenceOnRandomInputs) {
    std::mt19937 rng(12345);
    const char textChars[] = "ab";
    const char patternChars[] = "ab*?";
    for (int round = 0; round < 20000; ++round) {
        std::string text, pattern;
        int tl = int(rng() % 8), pl = int(rng() % 7);
        for (int i = 0; i < tl; ++i)
            text += textChars[rng() % 2];
        for (int i = 0; i < pl; ++i)
            pattern += patternChars[rng() % 4];
        bool expected = Reference(text.c_str(), pattern.c_str());
        ASSERT_EQ(Match(text, pattern) == 1, expected)
            << "text '" << text << "' pattern '" << pattern << "'";
    }
}

TEST(MatchExpr, ManyStarsStayFast) {
    std::string text(4000, 'a');
    std::string pattern;
    for (int i = 0; i < 40; ++i)
        pattern += "*a";
    pattern += "*b";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Match(text, pattern), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

} // namespace
} // namespace vk
