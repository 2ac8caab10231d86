// The line reader (substitution, escapes, quote markers, line ends) and the
// string readers with their modifiers.

#include <gtest/gtest.h>

#include <string>

#include "interp/script.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "interp_fixture.h"

namespace vk {
namespace {

const std::string Q(1, char(kQuote));

class TokenizerTest : public ::testing::Test {
  protected:
    void SetUp() override { test::SetUpInterpreter(); }
};

TEST_F(TokenizerTest, SubstitutesVariablesAndMarksQuotes) {
    SetVar("name", "Joe");
    EXPECT_EQ(std::string(test::LoadLine("echo \"Hello ${name}!\"")),
              "echo " + Q + "Hello Joe!" + Q);
    // "." is a word character: $name.txt names the variable name.txt.
    SetVar("name.txt", "file");
    EXPECT_EQ(std::string(test::LoadLine("$name.txt ${name}.txt")), "file Joe.txt");
    // Unknown variables vanish; a lone dollar stays; an empty braced
    // reference loses its brace.
    EXPECT_EQ(std::string(test::LoadLine("a$nothing b $ c ${}d")), "a b $ c $}d");
    // A quote inside a substituted value is a plain character.
    SetVar("q", "say \"hi\"");
    EXPECT_EQ(std::string(test::LoadLine("\"$q\"")), Q + "say \"hi\"" + Q);
    // The command word is substituted too.
    SetVar("cmd", "echo");
    EXPECT_EQ(std::string(test::LoadLine("$cmd \"x\"")), "echo " + Q + "x" + Q);
}

TEST_F(TokenizerTest, DecodesEscapes) {
    EXPECT_EQ(std::string(test::LoadLine("a\\tb")), "a\tb");
    EXPECT_EQ(std::string(test::LoadLine("\\101\\9\\0x")), "A9x");
    EXPECT_EQ(std::string(test::LoadLine("\\$x \\\\ \\\"")), "$x \\ \"");
    EXPECT_EQ(std::string(test::LoadLine("\\a\\b\\n\\r\\v")), "\a\b\n\r\v");
    // Octal escapes weigh 8 and 9 as their values and wrap modulo 256.
    EXPECT_EQ(std::string(test::LoadLine("\\399")),
              std::string(1, char((3 * 64 + 9 * 8 + 9) & 255)));
}

TEST_F(TokenizerTest, LineEndsAndCounting) {
    lineno = 0;
    const char* text = "one\r\ntwo\nthree\n\rfour\n\nsix\\\nseven";
    const char* p = text;
    std::string lines[8];
    int n = 0;
    while (*p && n < 8) {
        p = NextLine(p);
        lines[n++] = line;
    }
    ASSERT_EQ(n, 7);
    EXPECT_EQ(lines[0], "one");
    EXPECT_EQ(lines[1], "two");
    EXPECT_EQ(lines[2], "three");
    EXPECT_EQ(lines[3], "four");
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5], "six"); // a backslash does not join lines
    EXPECT_EQ(lines[6], "seven");
    EXPECT_EQ(lineno, 7);
}

TEST_F(TokenizerTest, LongLinesAreCutAndContinued) {
    std::string source(300, 'x');
    const char* rest = NextLine(source.c_str());
    EXPECT_EQ(std::string(line).size(), 255u);
    NextLine(rest);
    EXPECT_EQ(std::string(line).size(), 45u);
    // A long substituted value is cut at the buffer's end.
    SetVar("long", std::string(200, 'v').c_str());
    NextLine("$long$long");
    EXPECT_EQ(std::string(line).size(), 255u);
}

TEST_F(TokenizerTest, StringModifiers) {
    struct Case {
        const char* source;
        const char* result;
    } cases[] = {
        {"\"a b c d\"{1-2}", "b c"}, {"\"a b c d\"{2}", "c"},
        {"\"abcdef\"[1-3]", "bcd"},  {"\"abcdef\"[0]", "a"},
        {"\"a.b.c\"/.=_/", "a_b_c"}, {"\"a.b c\"/.= /{1}", "b"},
        {"\"a b\"{5}", ""},          {"\"abc\"[1-9]", "bc"},
        {"\"  one two\"{0}", "one"}, {"\"\"", ""},
        {"\"abcdef\"[3-1]", ""},
    };
    for (const Case& c : cases) {
        char* p = test::LoadLine(c.source);
        char* s = NextString(&p);
        ASSERT_NE(s, nullptr) << c.source;
        EXPECT_EQ(std::string(s), c.result) << c.source;
        EXPECT_EQ(*p, 0) << c.source;
    }
    // A blank before the bracket leaves the selection for the caller.
    char* p = test::LoadLine("\"abc\" [1]");
    EXPECT_EQ(std::string(NextString(&p)), "abc");
    EXPECT_EQ(NextNothing(p), 1);
    EXPECT_STREQ(errormsg, "Too much arguments");
}

TEST_F(TokenizerTest, StringErrors) {
    struct Case {
        const char* source;
        const char* message;
    } cases[] = {
        {"abc", "Opening \" expected"},
        {"\"abc", "Closing \" expected"},
        {"\"", "Closing \" expected"},
        {"\"abc\"/a=b", "error in char substitution pattern"},
        {"\"abc\"/ab/", "error in char substitution pattern"},
        {"\"abc\"{1", "Closing } expected"},
        {"\"abc\"[1", "Closing ] expected"},
        {"\"abc\"[x]", "bad range value"},
    };
    for (const Case& c : cases) {
        char* p = test::LoadLine(c.source);
        EXPECT_EQ(NextString(&p), nullptr) << c.source;
        EXPECT_STREQ(errormsg, c.message) << c.source;
    }
}

TEST_F(TokenizerTest, WordsAndNothing) {
    char* p = test::LoadLine("  set-x.y_1=2");
    char* end = NextToken(p);
    EXPECT_EQ(std::string(token, end), "set-x.y_1");
    EXPECT_EQ(NextNothing("  \t "), 0);
    EXPECT_EQ(NextNothing(" x"), 1);
}

} // namespace
} // namespace vk
