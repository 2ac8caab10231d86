// The security server's answers to requests as Tobrend names them (the
// passwords encoded by the client's own encoder), the users file, and the
// rate limit of failed checks.
#include <gtest/gtest.h>

#include <crypt.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <unistd.h>

#include "interp/security.h"
#include "security.h"

namespace vks {
namespace {

using Clock = std::chrono::steady_clock;

std::string Hash(const char* password, const char* prefix) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    EXPECT_NE(crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting), nullptr);
    crypt_data work{};
    const char* hash = crypt_rn(password, setting, &work, sizeof work);
    EXPECT_NE(hash, nullptr);
    return hash;
}

std::string Encoded(const char* password) {
    char hex[33];
    vk::EncodeServerPassword(password, hex);
    return hex;
}

std::string Passwd(const std::string& hash) {
    return "set Security-Passwd = \"" + hash + "\"\r\n";
}
const std::string kPassed = "set Security-Check = \"PASSED\"\r\n";
const std::string kFailed = "set Security-Check = \"FAILED\"\r\n";
const std::string kNoPasswd = Passwd("");

class Security : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "users-" + std::to_string(getpid());
        alice_ = Hash("wonderland", "$y$");
        bob_ = Hash("builder", "");
        carol_ = Hash("sixteen-letters!", "$6$");
        dave_ = Hash("dave", "");
        Write("# lab users\n\nalice:" + alice_ + "\r\nbob:" + bob_ + ":getpasswd\ncarol:" + carol_ +
              ":\ndave:" + dave_ + "\n");
        std::string error;
        ASSERT_TRUE(service_.Load(path_, error)) << error;
    }
    void TearDown() override { std::remove(path_.c_str()); }

    void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::optional<std::string> Ask(const std::string& name, uint32_t client = 1) {
        return service_.Answer(name, client, now_);
    }

    std::string path_, alice_, bob_, carol_, dave_;
    SecurityService service_;
    Clock::time_point now_ = Clock::time_point{} + std::chrono::hours(1);
};

TEST_F(Security, AnswersTable) {
    std::string lower = Encoded("wonderland");
    for (char& c : lower)
        c = char(std::tolower(uint8_t(c)));
    const std::string alice = Encoded("wonderland");
    const struct {
        std::string name;
        std::optional<std::string> answer;
    } cases[] = {
        {"getpasswd/bob", Passwd(bob_)},
        {"/getpasswd/bob", Passwd(bob_)},
        {"getpasswd/dave", kNoPasswd},  // not marked for getpasswd
        {"getpasswd/alice", kNoPasswd}, // not marked, and not a traditional hash
        {"getpasswd/nobody", kNoPasswd},
        {"getpasswd/", kNoPasswd},
        {"getpasswd/bob\" echo \"x", kNoPasswd},
        {"getpasswd/bob/x", kNoPasswd},
        {"checkuser/radius/alice/" + alice, kPassed},
        {"checkuser/x/alice/" + lower, kPassed},
        {"checkuser/radius/bob/" + Encoded("builder"), kPassed},
        {"checkuser/UNIX/bob/" + Encoded("builder"), kPassed},
        {"checkuser/m/carol/" + Encoded("sixteen-letters!"), kPassed},  // 16 bytes, no NUL
        {"checkuser/m/carol/" + Encoded("sixteen-letters!!"), kPassed}, // the client cuts it
        {"checkuser/m/carol/" + Encoded("sixteen-letters"), kFailed},
        {"checkuser/m/alice/" + Encoded("Wonderland"), kFailed},
        {"checkuser/m/alice/" + Encoded(""), kFailed},
        {"checkuser/m/nobody/" + Encoded("x"), kFailed},
        {"checkuser/m/alice/" + alice.substr(1), kFailed},
        {"checkuser/m/alice/" + alice + "0", kFailed},
        {"checkuser/m/alice/" + alice.substr(1) + "G", kFailed},
        {"checkuser/m/alice/" + alice + "/", kFailed},
        {"checkuser/m/x/alice/" + alice, kFailed},
        {"checkuser//alice/" + alice, kFailed},
        {"checkuser/alice/" + alice, kFailed},
        {"checkuser/", kFailed},
        {"readme.txt", std::nullopt},
        {"getpasswd", std::nullopt},
        {"checkuser", std::nullopt},
        {"GETPASSWD/bob", std::nullopt},
        {"", std::nullopt},
    };
    // Every answer is one line of fixed text with at most crypt characters
    // between its quotes.
    const std::regex shape(R"(set Security-(Check|Passwd) = "[./0-9A-Za-z]*"\r\n)");
    uint32_t client = 100;
    for (const auto& c : cases) {
        const auto answer = Ask(c.name, client++); // own client: no rate limit here
        EXPECT_EQ(answer, c.answer) << c.name;
        if (answer) {
            EXPECT_TRUE(std::regex_match(*answer, shape)) << *answer;
        }
    }
}

TEST_F(Security, FailedChecksAreLimitedPerUserAndPerClient) {
    const std::string wrong = "checkuser/m/alice/" + Encoded("guess");
    const std::string right = "checkuser/m/alice/" + Encoded("wonderland");
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Ask(wrong, 1 + i), kFailed);
    // alice's bucket is empty: refused unverified, whichever client asks.
    EXPECT_EQ(Ask(right, 9), kFailed);
    EXPECT_EQ(service_.Totals().refused, 1u);
    now_ += std::chrono::seconds(13);
    EXPECT_EQ(Ask(right, 9), kPassed);

    // One client failing on unknown users is stopped, others are not.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Ask("checkuser/m/u" + std::to_string(i) + "/" + Encoded("x"), 20), kFailed);
    EXPECT_EQ(Ask("checkuser/m/bob/" + Encoded("builder"), 20), kFailed);
    EXPECT_EQ(Ask("checkuser/m/bob/" + Encoded("builder"), 21), kPassed);
    // getpasswd is no check and is not limited.
    EXPECT_EQ(Ask("getpasswd/bob", 20), Passwd(bob_));
    const auto totals = service_.Totals();
    EXPECT_EQ(totals.passed, 2u);
    EXPECT_EQ(totals.failed, 10u);
    EXPECT_EQ(totals.refused, 2u);
    EXPECT_EQ(totals.requests, 15u);
}

TEST_F(Security, BadUsersFilesAreRefusedAndTheOldUsersKept) {
    const std::string des = Hash("x", "");
    const struct {
        std::string text, error;
    } cases[] = {
        {"nocolon\n", "line 1: expected user:hash[:flags]"},
        {"\n:" + des + "\n", "line 2: user name must be"},
        {"a b:" + des + "\n", "line 1: user name must be"},
        {"a/b:" + des + "\n", "line 1: user name must be"},
        {"eve:\n", "line 1: user eve: not a crypt hash"},
        {"eve:secret\n", "line 1: user eve: not a crypt hash"},
        {"eve:" + des + "\"\n", "line 1: user eve: not a crypt hash"},
        {"eve:" + des + ":getpasswd,admin\n", "line 1: user eve: unknown flag \"admin\""},
        {"eve:" + alice_ + ":getpasswd\n", "line 1: user eve: getpasswd needs a traditional"},
        {"eve:" + des + "\neve:" + des + "\n", "line 2: user eve given twice"},
    };
    for (const auto& c : cases) {
        Write(c.text);
        std::string error;
        EXPECT_FALSE(service_.Load(path_, error)) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(service_.Load(path_ + ".missing", error));
    EXPECT_EQ(Ask("getpasswd/bob"), Passwd(bob_));

    // A good file replaces the users as a whole.
    Write("eve:" + des + ":getpasswd\n");
    ASSERT_TRUE(service_.Load(path_, error)) << error;
    EXPECT_EQ(Ask("getpasswd/bob"), kNoPasswd);
    EXPECT_EQ(Ask("getpasswd/eve"), Passwd(des));
}

} // namespace
} // namespace vks
