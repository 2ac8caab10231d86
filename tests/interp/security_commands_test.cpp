// The security commands driven through the interpreter, with a temporary
// host directory playing the security server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "disk/files.h"
#include "fs/hostdir.h"
#include "interp/script.h"
#include "interp/security.h"
#include "interp/variables.h"
#include "interp_fixture.h"

namespace vk {
namespace {

namespace fs = std::filesystem;

class SecurityCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        test::SetUpInterpreter();
        SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
        char pattern[] = "/tmp/vk-security-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        gateway = dir + "/gw";
        SetVar("Security-Gateway", gateway.c_str());
    }
    void TearDown() override {
        fs::remove_all(dir);
        DestroyVars();
    }

    // Runs one script line as a script source would: substituted first.
    Status Run(const std::string& text) { return EvalSubst("Test", text.c_str()); }
    std::string Var(const char* name) { return GetVar(name); }

    // Writes an answer script of the server at gateway + ":" + path.
    void Answer(const std::string& path, const std::string& script) {
        const fs::path file = gateway + ":" + path;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << script << "\r\n";
    }

    std::string dir;
    std::string gateway;
};

TEST_F(SecurityCommands, Md5StoresUpperCaseDigest) {
    EXPECT_EQ(Run("md5 \"abc\" h"), 0);
    EXPECT_EQ(Var("h"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Run("md5 \"\" h"), 0);
    EXPECT_EQ(Var("h"), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_NE(Run("md5 \"abc\""), 0);
    EXPECT_STREQ(errormsg, "Variable name expected");
    EXPECT_NE(Run("md5 \"abc\" h extra"), 0);
    EXPECT_STREQ(errormsg, "Too much arguments");
}

TEST_F(SecurityCommands, CryptStoresThirteenCharactersAfterTheSalt) {
    EXPECT_EQ(Run("crypt \"password\" \"ab\" c"), 0);
    EXPECT_EQ(Var("c"), "abJnggxhB/yWI");
    EXPECT_EQ(Run("crypt \"secret\" \"x\" c"), 0);
    EXPECT_EQ(Var("c").size(), 13u);
    EXPECT_EQ(Var("c").substr(0, 2), "x.");
    EXPECT_NE(Run("crypt \"secret\" \"ab\""), 0);
    EXPECT_STREQ(errormsg, "Variable name expected");
    EXPECT_NE(Run("crypt \"secret\" \"!!\" c"), 0);
    EXPECT_STREQ(errormsg, "Invalid salt");
}

TEST_F(SecurityCommands, DesRoundTripThroughVariables) {
    const char* texts[] = {"",
                           "a",
                           "seven77",
                           "eight888",
                           "nine99999",
                           "sixteen-chars-16",
                           "with \\\"quotes\\\" and \\$dollar"};
    for (const char* text : texts) {
        ASSERT_EQ(Run(std::string("descrypt \"") + text + "\" \"key\" enc"), 0) << text;
        ASSERT_EQ(Run("desdecrypt \"$enc\" \"key\" dec"), 0) << text;
        ASSERT_EQ(Run(std::string("set want = \"") + text + "\""), 0);
        EXPECT_EQ(Var("dec"), Var("want")) << text;
    }
    EXPECT_EQ(Run("descrypt \"eight888\" \"key\" enc"), 0);
    EXPECT_EQ(Var("enc").size(), 16u);
    EXPECT_EQ(Run("descrypt \"nine99999\" \"key\" enc"), 0);
    EXPECT_EQ(Var("enc").size(), 32u);
    // An empty text deletes the variable.
    EXPECT_EQ(Run("descrypt \"\" \"key\" enc"), 0);
    EXPECT_EQ(FindVar("enc"), nullptr);
}

TEST_F(SecurityCommands, DesRefusalsAndInvalidCodes) {
    // Too long: refused before the key is read (there is none here).
    EXPECT_NE(Run("descrypt \"" + std::string(128, 'x') + "\""), 0);
    EXPECT_STREQ(errormsg, "String too long to be DES-encoded");
    EXPECT_NE(Run("descrypt \"abc\" \"key\""), 0);
    EXPECT_STREQ(errormsg, "Variable name expected");

    SetVar("dec", "kept");
    const char* bad[] = {"0123456789ABCDE", "0123456789ABCDEG", "0123456789ABCDEF01"};
    for (const char* hex : bad) {
        EXPECT_NE(Run(std::string("desdecrypt \"") + hex + "\" \"key\" dec"), 0) << hex;
        EXPECT_STREQ(errormsg, "Invalid DES code");
    }
    EXPECT_EQ(Var("dec"), "kept");
    EXPECT_NE(Run("desdecrypt \"0123456789ABCDEF\" \"key\""), 0);
    EXPECT_STREQ(errormsg, "Variable name expected");
}

TEST_F(SecurityCommands, LongestCodeIsStoredWholeAndReadBackCut) {
    const std::string text(127, 'q');
    ASSERT_EQ(Run("descrypt \"" + text + "\" \"key\" enc"), 0);
    const char* stored = FindVar("enc");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(std::strcspn(stored, "\xFF"), size_t(kDesMaxHex));
    // A read holds at most 255 characters.
    EXPECT_EQ(std::strlen(GetVar("enc")), size_t(kValueSize - 1));
    char hex[kDesMaxHex + 1];
    DesEncodeText(text.c_str(), "key", hex);
    EXPECT_EQ(std::string(GetVar("enc")), std::string(hex, kValueSize - 1));
}

TEST_F(SecurityCommands, MatchPasswdHonoursCi) {
    EXPECT_EQ(Run("if \"password\" match-passwd \"abJnggxhB/yWI\" set r = \"cs\""), 0);
    EXPECT_EQ(Var("r"), "cs");
    SetVar("r", "");
    EXPECT_EQ(Run("if \"PASSWORD\" match-passwd \"abJnggxhB/yWI\" set r = \"cs\""), 0);
    EXPECT_EQ(Var("r"), "");
    EXPECT_EQ(Run("if ci \"PASSWORD\" match-passwd \"abJnggxhB/yWI\" set r = \"ci\""), 0);
    EXPECT_EQ(Var("r"), "ci");
}

TEST_F(SecurityCommands, CheckUserUnixComparesTheServersCryptString) {
    Answer("getpasswd/bob", "set Security-Passwd = \"abJnggxhB/yWI\"");
    EXPECT_EQ(Run("checkuser \"bob\" \"password\" \"unix\""), 0);
    EXPECT_EQ(Var("Security-Check"), "PASSED");
    EXPECT_EQ(Run("checkuser \"bob\" \"Password\" \"UNIX\""), 0);
    EXPECT_EQ(Var("Security-Check"), "FAILED");
    EXPECT_EQ(Run("checkuser \"bob\" \"password\" \"Unix\""), 0);
    EXPECT_EQ(Var("Security-Check"), "PASSED");
    // No answer for carol: bob's crypt string must not be compared.
    EXPECT_EQ(Run("checkuser \"carol\" \"password\" \"unix\""), 0);
    EXPECT_EQ(Var("Security-Check"), "FAILED");
    EXPECT_EQ(Var("Security-Passwd"), "");
}

TEST_F(SecurityCommands, CheckUserMethodSendsTheEncodedPassword) {
    char hex[33];
    EncodeServerPassword("secret", hex);
    Answer(std::string("checkuser/radius/bob/") + hex, "set Security-Check = \"PASSED\"");
    EXPECT_EQ(Run("checkuser \"bob\" \"secret\" \"radius\""), 0);
    EXPECT_EQ(Var("Security-Check"), "PASSED");
    // No answer for a wrong password: an earlier PASSED does not survive.
    EXPECT_EQ(Run("checkuser \"bob\" \"wrong\" \"radius\""), 0);
    EXPECT_EQ(Var("Security-Check"), "FAILED");
}

TEST_F(SecurityCommands, HostileUserNamesAreTakenLiterally) {
    // A user name as typed at a prompt arrives through a variable.
    Answer("getpasswd/a$Security-Passwd", "set Security-Passwd = \"abJnggxhB/yWI\"");
    // What substitution of the name would fetch instead.
    Answer("getpasswd/a", "set Security-Passwd = \"" + std::string(crypt("evil", "ev")) + "\"");
    SetVar("user", "a$Security-Passwd");
    SetVar("pw", "evil");
    EXPECT_EQ(Run("checkuser \"$user\" \"$pw\" \"unix\""), 0);
    EXPECT_EQ(Var("Security-Check"), "FAILED");
    SetVar("pw", "password");
    EXPECT_EQ(Run("checkuser \"$user\" \"$pw\" \"unix\""), 0);
    EXPECT_EQ(Var("Security-Check"), "PASSED");

    // A double quote neither ends the name nor adds a command.
    Answer("getpasswd/x\" set owned = \"yes", "set Security-Passwd = \"abJnggxhB/yWI\"");
    Answer("getpasswd/x", "set Security-Passwd = \"" + std::string(crypt("evil", "ev")) + "\"");
    SetVar("user", "x\" set owned = \"yes");
    EXPECT_EQ(Run("checkuser \"$user\" \"$pw\" \"unix\""), 0);
    EXPECT_EQ(Var("Security-Check"), "PASSED");
    EXPECT_EQ(Var("owned"), "");

    // Names that would leave the answer directory are not sent at all.
    std::ofstream(dir + "/x") << "set Security-Passwd = \"abJnggxhB/yWI\"\r\n";
    Answer("x", "set Security-Passwd = \"abJnggxhB/yWI\"");
    const char* escapes[] = {"..\\x", "../x", "..\\..", "..", "", "bob\\..\\..\\x"};
    for (const char* name : escapes) {
        SetVar("user", name);
        EXPECT_EQ(Run("checkuser \"$user\" \"password\" \"unix\""), 0) << name;
        EXPECT_EQ(Var("Security-Check"), "FAILED") << name;
    }
}

TEST_F(SecurityCommands, HostileMethodsAreTakenLiterallyOrRefused) {
    char hex[33];
    EncodeServerPassword("pw", hex);
    Answer(std::string("checkuser/m$x/bob/") + hex, "set Security-Check = \"PASSED\"");
    Answer(std::string("checkuser/m/bob/") + hex, "set owned = \"yes\"");
    SetVar("method", "m$x");
    EXPECT_EQ(Run("checkuser \"bob\" \"pw\" \"$method\""), 0);
    EXPECT_EQ(Var("Security-Check"), "PASSED");
    EXPECT_EQ(Var("owned"), "");

    Answer(std::string("bob/") + hex, "set Security-Check = \"PASSED\"");
    SetVar("method", "..");
    EXPECT_EQ(Run("checkuser \"bob\" \"pw\" \"$method\""), 0);
    EXPECT_EQ(Var("Security-Check"), "FAILED");
}

TEST_F(SecurityCommands, CheckUserArgumentErrors) {
    EXPECT_NE(Run("checkuser \"bob\" \"pw\""), 0);
    EXPECT_STREQ(errormsg, "Opening \" expected");
    EXPECT_NE(Run("checkuser \"bob\" \"pw\" \"unix\" more"), 0);
    EXPECT_STREQ(errormsg, "Too much arguments");
}

} // namespace
} // namespace vk
