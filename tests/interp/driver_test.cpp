// Executing lines: dispatch, error reports, trace, and the control-flow
// commands that need no files.

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "interp/script.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "interp_fixture.h"
#include "platform/console.h"

namespace vk {
namespace {

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::SetUpInterpreter();
        test::StartCapture();
    }
    void TearDown() override { test::TakeCapture(); }
    // Runs one source line as a script line would run and returns its status.
    Status Run(const char* text) { return ParseLine(test::LoadLine(text)); }
    std::string Log() {
        std::string text = test::TakeCapture();
        test::StartCapture();
        return text;
    }
};

TEST_F(DriverTest, KeywordsAreCaseInsensitive) {
    EXPECT_EQ(Run("SET x = 5"), 0);
    EXPECT_STREQ(GetVar("x"), "5");
    EXPECT_EQ(Run("Echo \"hi\""), 0);
    EXPECT_EQ(Log(), "hi\r\n");
}

TEST_F(DriverTest, UnknownCommandsAndReports) {
    std::snprintf(currfile, kNameSize, "%s", "test.pto");
    lineno = 0;
    EXPECT_EQ(Run("frobnicate"), 1);
    EXPECT_STREQ(errormsg, "Unknown command");
    EXPECT_EQ(Log(), "\r\nError in test.pto, line 1: Unknown command\r\n");
    EXPECT_EQ(Run("@echo \"x\""), 1);
    EXPECT_STREQ(errormsg, "Unknown command");
}

TEST_F(DriverTest, BlankCommentAndLabelLinesDoNothing) {
    EXPECT_EQ(Run("   "), 0);
    EXPECT_EQ(Run("# echo \"x\""), 0);
    EXPECT_EQ(Run(":label echo \"x\""), 0);
    EXPECT_EQ(Log(), "");
}

TEST_F(DriverTest, TracePrintsEveryExecutedLine) {
    SetVar("trace", "ON");
    Run("set y = 1");
    Run("nosuch");
    std::string log = Log();
    EXPECT_NE(log.find("TRACE: set y = 1 (640K)\r\n"), std::string::npos);
    EXPECT_NE(log.find("TRACE: nosuch (640K)\r\n"), std::string::npos);
}

TEST_F(DriverTest, SetForms) {
    EXPECT_EQ(Run("set x = (2*21)"), 0);
    EXPECT_STREQ(GetVar("x"), "42");
    EXPECT_EQ(Run("set x = \"\""), 0);
    EXPECT_STREQ(GetVar("x"), "");
    EXPECT_EQ(Run("set x = \"a\" b"), 1);
    EXPECT_STREQ(errormsg, "Too much arguments");
    EXPECT_STREQ(GetVar("x"), "a");
    EXPECT_EQ(Run("set = 1"), 1);
    EXPECT_STREQ(errormsg, "variable name expected");
    EXPECT_EQ(Run("set x 1"), 1);
    EXPECT_STREQ(errormsg, "Syntax error, = expected");
    EXPECT_EQ(Run("set x=(1/0)"), -1);
}

TEST_F(DriverTest, Conditions) {
    struct Case {
        const char* line;
        bool echoes;
    } cases[] = {
        {"if \"abc\" < \"abd\" echo \"yes\"", true},
        {"if ci \"ABC\" = \"abc\" echo \"same\"", true},
        {"if \"ABC\" = \"abc\" echo \"same\"", false},
        {"if 256 <> 0 echo \"differ\"", true},
        {"if \"x\" in \"a x b\" echo \"found\"", true},
        {"if \"A\" in \"a x b\" echo \"found\"", false},
        {"if ci \"A\" in \"a x b\" echo \"found\"", true},
        {"if not 1 = 1 echo \"no\"", false},
        {"if \"readme.txt\" match-expr \"*.TXT\" echo \"m\"", false},
        {"if ci \"readme.txt\" match-expr \"*.TXT\" echo \"m\"", true},
        {"if not exist \"/nonexistent/a.txt\" echo \"missing\"", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.line), 0) << c.line;
        EXPECT_EQ(!Log().empty(), c.echoes) << c.line;
    }
    // Without disks no partition is valid (the selection logs why).
    EXPECT_EQ(Run("if valid 0:1 echo \"is-valid\""), 0);
    EXPECT_EQ(Log().find("is-valid"), std::string::npos);
    EXPECT_EQ(Run("if 3 = 4 unknownword"), 0);
    EXPECT_EQ(Run("if 3 = 3 unknownword"), 1);
    EXPECT_STREQ(errormsg, "Unknown command");
    EXPECT_EQ(Run("if nope 1 = 1"), 1);
    EXPECT_STREQ(errormsg, "Syntax error");
    EXPECT_EQ(Run("if \"a\" into \"b\""), 1);
    EXPECT_STREQ(errormsg, "Syntax error");
    EXPECT_EQ(Run("if valid 0 1"), 1);
    EXPECT_STREQ(errormsg, "disk:partition expected");
    EXPECT_EQ(Run("if \"a\" in-file \"/nonexistent/words\""), 1);
    EXPECT_STREQ(errormsg, "Word file not found");
}

TEST_F(DriverTest, EvalRunsASecondPass) {
    SetVar("x", "7");
    EXPECT_EQ(Run("eval \"set y = \\$x\""), 0);
    EXPECT_STREQ(GetVar("y"), "7");
    SetVar("x", "some text");
    EXPECT_EQ(Run("eval \"set y = \\\"\\$x\\\"\""), 0);
    EXPECT_STREQ(GetVar("y"), "some text");
}

TEST_F(DriverTest, OnExitAndOnKeyStoreTheirText) {
    EXPECT_EQ(Run("onexit echo \"bye\""), 0);
    EXPECT_EQ(std::string(GetVar("OnExit")), "echo \xF9"
                                             "bye\xF9");
    EXPECT_EQ(Run("onexit"), 0);
    EXPECT_STREQ(GetVar("OnExit"), "");
    EXPECT_EQ(Run("onkey \"q\" goto end"), 0);
    EXPECT_STREQ(GetVar("ONKEY-Q"), "goto end");
    EXPECT_EQ(Run("onkey \"default\" getkey"), 0);
    EXPECT_STREQ(GetVar("ONKEY-default"), "getkey");
    EXPECT_EQ(Run("onkey \"ab\" x"), 1);
    EXPECT_STREQ(errormsg, "character or \"default\" expected");
    EXPECT_EQ(Run("onkey \"\" x"), 1);
    EXPECT_EQ(Run("onkey \"=\" x"), 1);
}

TEST_F(DriverTest, GotoFindsLabelsInTheRawText) {
    const char* text = "echo \"one\"\n:top2\n:TOP \n\n\necho \"after\"\n:end";
    filestart = text;
    currpos = text;
    EXPECT_EQ(Run("goto top"), 0);
    EXPECT_STREQ(currpos, "echo \"after\"\n:end");
    EXPECT_EQ(lineno, 5); // the next line read is line 6
    // A label at the very end of the text without a line end does not match.
    EXPECT_EQ(Run("goto end"), 1);
    EXPECT_STREQ(errormsg, "Target label not found");
    EXPECT_EQ(Run("goto"), 1);
    EXPECT_STREQ(errormsg, "label expected");
    filestart = currpos = nullptr;
    EXPECT_EQ(Run("goto top"), 1);
}

TEST_F(DriverTest, ConsoleCommandArguments) {
    EXPECT_EQ(Run("at 10 5"), 1);
    EXPECT_STREQ(errormsg, ", expected");
    EXPECT_EQ(Run("remapkeys \"ab\" \"c\""), 1);
    EXPECT_STREQ(errormsg, "arguments must have the same length");
    EXPECT_EQ(Run("settime \"09:05\""), 1);
    EXPECT_STREQ(errormsg, "Bad time format");
    EXPECT_EQ(Run("setdate \"\""), 1);
    EXPECT_STREQ(errormsg, "Bad date format");
    EXPECT_EQ(Run("gettime"), 1);
    EXPECT_STREQ(errormsg, "Variable name expected");
    EXPECT_EQ(Run("showlog now"), 1);
    EXPECT_STREQ(errormsg, "Too much arguments");
    EXPECT_EQ(Run("clear red \" \" 0,0,4"), 1);
    EXPECT_STREQ(errormsg, "bad coordinates");
    EXPECT_EQ(Run(".key"), 1);
    EXPECT_STREQ(errormsg, "key expected");
    EXPECT_EQ(Run("drawgif \"x.gif\" 1 2 odd-colors"), 1);
    EXPECT_STREQ(errormsg, "Unknown color allocation strategy");
    EXPECT_EQ(Run("initgraph \"640x480\""), 1);
    EXPECT_STREQ(errormsg, "Unknown mode (check VESA-modes variable)");
    Log();
    SetVar("VESA-modes", "800x600 640x480");
    EXPECT_EQ(Run("initgraph \"640x480\""), 0);
    EXPECT_EQ(Run("drawgif \"x.gif\""), 0);
    EXPECT_EQ(Log(), "WARNING: Unable to initialize VESA graphics\r\n"
                     "WARNING: Unable to initialize VESA graphics\r\n");
}

TEST_F(DriverTest, MenuCommands) {
    EXPECT_EQ(Run(".def x 5"), 0);
    EXPECT_EQ(std::string(GetVar("OnExit")), "Eval \xF9WaitForKey 5 $ONKEY-x\xF9");
    EXPECT_EQ(Run(".key a boot.img"), 0);
    EXPECT_EQ(std::string(GetVar("ONKEY-a")), "TFtpBoot \xF9"
                                              "boot.img\xF9");
    EXPECT_STREQ(GetVar("ONKEY-default"), "GetKey");
    EXPECT_EQ(Run(".pwd whatever"), 0);
    EXPECT_EQ(Log(), "Warning: .PWD not implemented\r\n");
}

} // namespace
} // namespace vk

namespace vk {
namespace {

long long clockSetTo = 0;
int FakeClock(long long epochSeconds) {
    clockSetTo = epochSeconds;
    return 0;
}

TEST_F(DriverTest, SetTimeAndDateGoThroughTheReplaceableClock) {
    SetClockSetter(FakeClock);
    ASSERT_EQ(Run("settime \"9:5:0\""), 0);
    time_t t = time_t(clockSetTo);
    struct tm local;
    localtime_r(&t, &local);
    EXPECT_EQ(local.tm_hour, 9);
    EXPECT_EQ(local.tm_min, 5);
    EXPECT_EQ(local.tm_sec, 0);
    ASSERT_EQ(Run("setdate \"99/12/31\""), 0);
    t = time_t(clockSetTo);
    localtime_r(&t, &local);
    EXPECT_EQ(local.tm_year, 99);
    EXPECT_EQ(local.tm_mon, 11);
    EXPECT_EQ(local.tm_mday, 31);
}

} // namespace
} // namespace vk
