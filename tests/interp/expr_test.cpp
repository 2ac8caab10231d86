// Expressions and typed arguments.

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "interp/expr.h"
#include "interp/script.h"
#include "interp_fixture.h"

namespace vk {
namespace {

class ExprTest : public ::testing::Test {
  protected:
    void SetUp() override { test::SetUpInterpreter(); }
    int32_t Eval(const char* text, std::string* rest = nullptr) {
        char* p = test::LoadLine(text);
        int32_t v = NextExpr(&p);
        if (rest) *rest = p;
        return v;
    }
};

TEST_F(ExprTest, Arithmetic) {
    EXPECT_EQ(Eval("(7/2)"), 3);
    EXPECT_EQ(Eval("(-7/2)"), -3);
    EXPECT_EQ(Eval("(-7%2)"), -1);
    EXPECT_EQ(Eval("((1+2)*3)"), 9);
    EXPECT_EQ(Eval("( 4 - 1 )"), 3);
    EXPECT_EQ(Eval("-"), 0);
    EXPECT_EQ(Eval("@\"hello\""), 5);
    EXPECT_EQ(Eval("#\"  one two  three \""), 3);
    EXPECT_EQ(Eval("@\"abcdef\"[1-2]"), 2);
    std::string rest;
    EXPECT_EQ(Eval("1+2", &rest), 1);
    EXPECT_EQ(rest, "+2");
}

TEST_F(ExprTest, WrapsAndSaturates) {
    EXPECT_EQ(Eval("(2147483647+1)"), INT_MIN);
    EXPECT_EQ(Eval("99999999999999999999"), INT_MAX);
    EXPECT_EQ(Eval("-99999999999999999999"), INT_MIN);
    // The most negative number divided by -1 wraps instead of trapping.
    EXPECT_EQ(Eval("((-2147483646-2)/-1)"), INT_MIN);
    EXPECT_EQ(Eval("((-2147483646-2)%-1)"), 0);
}

TEST_F(ExprTest, Failures) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"(1+)", "Syntax error in expression"},
        {"(1+2", "Syntax error in expression, ) expected"},
        {"(1x2)", "Syntax error in expression, unknown operator"},
        {"x", "Syntax error in expression"},
        {"(1", "Syntax error in expression"},
        {"(5/0)", "Division by zero in expression"},
        {"(5%0)", "Division by zero in expression"},
        {"@abc", "Opening \" expected"},
        {"-2147483647", "Number out of range in expression"},
        {"(-2147483646-1)", "Number out of range in expression"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Eval(c.text), kExprFail) << c.text;
        EXPECT_STREQ(errormsg, c.message) << c.text;
    }
}

TEST_F(ExprTest, Operators) {
    struct Case {
        const char* text;
        int16_t code;
    } cases[] = {{"<", 1}, {"<=", 2}, {"=<", 2}, {"=", 3},  {"==", 3}, {">=", 4}, {"=>", 4},
                 {">", 5}, {"<>", 6}, {"><", 6}, {"!=", 6}, {"!", 0},  {"x", 0}};
    for (const Case& c : cases) {
        char* p = test::LoadLine(c.text);
        EXPECT_EQ(NextOp(&p), c.code) << c.text;
    }
    EXPECT_STREQ(errormsg, "Bad operator");
}

TEST_F(ExprTest, Durations) {
    struct Case {
        const char* text;
        int32_t ticks;
    } cases[] = {{"0.5", 5}, {"1.5", 23}, {"2", 36}, {"1", 18}, {"10", 182}, {"100", 1820}};
    for (const Case& c : cases) {
        char* p = test::LoadLine(c.text);
        EXPECT_EQ(NextDuration(&p), c.ticks) << c.text;
    }
    // The largest count keeps its ticks within range.
    char* p = test::LoadLine("100000000");
    EXPECT_EQ(NextDuration(&p), 1820600000);
    struct Refusal {
        const char* text;
        const char* message;
    } refusals[] = {{"x", "Bad duration"},
                    {"-1", "Negative duration"},
                    {"(0-5)", "Negative duration"},
                    {"100000001", "Duration too long"}};
    for (const Refusal& r : refusals) {
        p = test::LoadLine(r.text);
        EXPECT_EQ(NextDuration(&p), kExprFail) << r.text;
        EXPECT_STREQ(errormsg, r.message) << r.text;
    }
}

TEST_F(ExprTest, Colours) {
    struct Case {
        const char* text;
        int16_t colour;
        const char* message;
    } cases[] = {
        {"LightRed", 12, nullptr},
        {"white", 15, nullptr},
        {"16", 16, nullptr},
        {"256", -1, "Bad color value"},
        {"pink", -1, "Bad color name"},
        {"  ", -1, "Color expected"},
    };
    for (const Case& c : cases) {
        char* p = test::LoadLine(c.text);
        EXPECT_EQ(NextColor(&p), c.colour) << c.text;
        if (c.message) {
            EXPECT_STREQ(errormsg, c.message) << c.text;
        }
    }
}

TEST_F(ExprTest, Intervals) {
    int16_t first = 0, last = 0;
    char* p = test::LoadLine("-1");
    ASSERT_EQ(NextInterval(&p, &first, &last), 0);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(last, -1);
    p = test::LoadLine("2-5");
    ASSERT_EQ(NextInterval(&p, &first, &last), 0);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(last, 5);
    p = test::LoadLine("2 -5");
    ASSERT_EQ(NextInterval(&p, &first, &last), 0);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(last, 2);
    EXPECT_EQ(std::string(p), " -5");
    p = test::LoadLine("x");
    EXPECT_EQ(NextInterval(&p, &first, &last), 1);
    EXPECT_STREQ(errormsg, "bad range value");
}

TEST_F(ExprTest, DiskNumbersWithoutDisks) {
    char* p = test::LoadLine("0");
    EXPECT_EQ(NextHDNum(&p), -1);
    EXPECT_STREQ(errormsg, "Bad hard-disk number");
}

TEST_F(ExprTest, ArchiveDesignators) {
    char designator[kDesignatorSize];
    char* p = test::LoadLine("Archive \"img.arc\"");
    ASSERT_EQ(NextArchive(&p, designator), 0);
    EXPECT_STREQ(designator, "A|img.arc");
    p = test::LoadLine("idump");
    ASSERT_EQ(NextArchive(&p, designator), 0);
    EXPECT_STREQ(designator, "d");
    p = test::LoadLine("tape \"x\"");
    EXPECT_EQ(NextArchive(&p, designator), 1);
    EXPECT_STREQ(errormsg, "Archive type expected");
}

} // namespace
} // namespace vk
