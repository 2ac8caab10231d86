// The security commands' argument handling and variable results, driven
// through the interpreter (checkuser end to end: tests/programs).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "interp/script.h"
#include "interp/security.h"
#include "interp/variables.h"
#include "interp_fixture.h"

namespace vk {
namespace {

class SecurityCommands : public ::testing::Test {
  protected:
    void SetUp() override { test::SetUpInterpreter(); }
    void TearDown() override { DestroyVars(); }
    Status Run(const std::string& text) { return EvalSubst("Test", text.c_str()); }
};

TEST_F(SecurityCommands, FailuresReportTheirMessageAndLeaveTheVariable) {
    const std::string longText(128, 'x');
    const struct {
        std::string line;
        const char* message;
    } cases[] = {
        {"md5 \"abc\"", "Variable name expected"},
        {"md5 \"abc\" v extra", "Too much arguments"},
        {"crypt \"pw\" \"ab\"", "Variable name expected"},
        {"crypt \"pw\" \"!!\" v", "Invalid salt"},
        // Refused before the key is read (there is none).
        {"descrypt \"" + longText + "\"", "String too long to be DES-encoded"},
        {"descrypt \"abc\" \"key\"", "Variable name expected"},
        {"desdecrypt \"0123456789ABCDE\" \"key\" v", "Invalid DES code"},
        {"desdecrypt \"0123456789ABCDEG\" \"key\" v", "Invalid DES code"},
        {"desdecrypt \"0123456789ABCDEF\" \"key\"", "Variable name expected"},
        {"checkuser \"bob\" \"pw\"", "Opening \" expected"},
        {"checkuser \"bob\" \"pw\" \"unix\" more", "Too much arguments"},
        {"getpasswd pw 8 more", "Too much arguments"},
    };
    for (const auto& c : cases) {
        SetVar("v", "kept");
        EXPECT_NE(Run(c.line), 0) << c.line;
        EXPECT_STREQ(errormsg, c.message) << c.line;
        EXPECT_STREQ(GetVar("v"), "kept") << c.line;
    }
}

TEST_F(SecurityCommands, ResultsReachTheirVariables) {
    ASSERT_EQ(Run("md5 \"abc\" h"), 0);
    EXPECT_STREQ(GetVar("h"), "900150983CD24FB0D6963F7D28E17F72");
    ASSERT_EQ(Run("crypt \"password\" \"ab\" c"), 0);
    EXPECT_STREQ(GetVar("c"), "abJnggxhB/yWI");
    // Quotes and dollars that reach the text by escapes survive the trip.
    ASSERT_EQ(Run("descrypt \"say \\\"\\$x\\\"\" \"key\" enc"), 0);
    EXPECT_EQ(std::strlen(GetVar("enc")), 16u);
    ASSERT_EQ(Run("desdecrypt \"$enc\" \"key\" dec"), 0);
    EXPECT_STREQ(GetVar("dec"), "say \"$x\"");
    ASSERT_EQ(Run("descrypt \"\" \"key\" enc"), 0); // deletes the variable
    EXPECT_EQ(FindVar("enc"), nullptr);
    ASSERT_EQ(Run("if ci \"PASSWORD\" match-passwd \"abJnggxhB/yWI\" set r = \"ci\""), 0);
    ASSERT_EQ(Run("if \"PASSWORD\" match-passwd \"abJnggxhB/yWI\" set r = \"cs\""), 0);
    EXPECT_STREQ(GetVar("r"), "ci");
}

TEST_F(SecurityCommands, LongestCodeIsStoredWholeAndReadBackCut) {
    ASSERT_EQ(Run("descrypt \"" + std::string(127, 'q') + "\" \"key\" enc"), 0);
    const char* stored = FindVar("enc");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(std::strcspn(stored, "\xFF"), size_t(kDesMaxHex));
    // A read holds at most 255 characters: the last digit is cut.
    EXPECT_EQ(std::string(GetVar("enc")), std::string(stored, kValueSize - 1));
}

} // namespace
} // namespace vk
