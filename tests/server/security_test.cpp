// The security server's answers to requests as Tobrend names them (the
// passwords encoded by the client's own encoder), the users file, and the
// limits of failed checks.
#include <gtest/gtest.h>

#include <crypt.h>
#include <unistd.h>

#include <fstream>

#include "interp/security.h"
#include "security.h"

namespace vks {
namespace {

std::string Hash(const char* password, const char* prefix) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    EXPECT_NE(crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting), nullptr);
    crypt_data work{};
    return crypt_rn(password, setting, &work, sizeof work);
}

std::string Check(const char* method, const char* user, const char* password) {
    char hex[33];
    vk::EncodeServerPassword(password, hex);
    return std::string("checkuser/") + method + "/" + user + "/" + hex;
}

std::string Passwd(const std::string& hash) {
    return "set Security-Passwd = \"" + hash + "\"\r\n";
}
const std::string kPassed = "set Security-Check = \"PASSED\"\r\n";
const std::string kFailed = "set Security-Check = \"FAILED\"\r\n";

class Security : public ::testing::Test {
  protected:
    void SetUp() override {
        Write("# lab users\n\nalice:" + alice_ + "\r\nbob:" + bob_ + ":getpasswd\ncarol:" + carol_ +
              ":\ndave:" + dave_ + "\n");
        ASSERT_TRUE(service_.Load(path_, error_)) << error_;
    }
    void TearDown() override { unlink(path_.c_str()); }
    void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::optional<std::string> Ask(const std::string& name, uint32_t client = 1) {
        return service_.Answer(name, client, now_);
    }

    std::string path_ = ::testing::TempDir() + "users-" + std::to_string(getpid()), error_;
    std::string alice_ = Hash("wonderland", "$y$"), bob_ = Hash("builder", ""),
                carol_ = Hash("sixteen-letters!", "$6$"), dave_ = Hash("dave", "");
    SecurityService service_;
    std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
};

TEST_F(Security, AnswersTable) {
    std::string alice = Check("radius", "alice", "wonderland"), lower = alice;
    for (size_t i = lower.rfind('/'); i < lower.size(); ++i)
        lower[i] = char(std::tolower(uint8_t(lower[i])));
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"getpasswd/bob", Passwd(bob_)},
        {"/getpasswd/bob", Passwd(bob_)},
        {"getpasswd/dave", Passwd("")},  // not marked for getpasswd
        {"getpasswd/alice", Passwd("")}, // nor alice, whose hash is no traditional one
        {"getpasswd/nobody", Passwd("")},
        {"getpasswd/bob\" echo \"x", Passwd("")},
        {"getpasswd/bob/x", Passwd("")},
        {alice, kPassed},
        {lower, kPassed},
        {Check("UNIX", "bob", "builder"), kPassed},
        {Check("m", "carol", "sixteen-letters!"), kPassed},  // 16 bytes, no NUL
        {Check("m", "carol", "sixteen-letters!!"), kPassed}, // the client cuts it to 16
        {Check("m", "carol", "sixteen-letters"), kFailed},
        {Check("m", "alice", "Wonderland"), kFailed},
        {Check("m", "alice", ""), kFailed},
        {Check("m", "nobody", "x"), kFailed},
        {alice.substr(0, alice.size() - 1), kFailed},
        {alice + "0", kFailed},
        {alice.substr(0, alice.size() - 1) + "G", kFailed},
        {alice + "/", kFailed},
        {Check("m/x", "alice", "wonderland"), kFailed},
        {Check("", "alice", "wonderland"), kFailed},
        {"checkuser/", kFailed},
        {"readme.txt", std::nullopt},
        {"getpasswd", std::nullopt},
        {"GETPASSWD/bob", std::nullopt},
        {"", std::nullopt},
    };
    uint32_t client = 100;
    for (const auto& [name, answer] : cases) // each from a client of its own
        EXPECT_EQ(Ask(name, client++), answer) << name;
}

TEST(SecurityNames, LogsShowNoPasswordDigits) {
    for (auto [name, shown] : {std::pair{"checkuser/m/bob/C7EA77BD", "checkuser/m/bob/*"},
                               {"/checkuser/m/bob/x/C7", "/checkuser/m/bob/x/*"},
                               {"checkuser/", "checkuser/*"},
                               {"getpasswd/bob", "getpasswd/bob"},
                               {"boot/checkuser/x", "boot/checkuser/x"}})
        EXPECT_EQ(SecurityService::Redacted(name), shown);
}

TEST_F(Security, FailedChecksAreLimitedPerAddressAndPerUser) {
    using std::chrono::seconds;
    const std::string right = Check("m", "dave", "dave"), wrong = Check("m", "dave", "x");
    // A guesser at address 20: five failures, then waits of 5 s, 10 s, ...
    // during which even the right password is refused unverified; the
    // right password from any other address passes all along.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Ask(wrong, 20), kFailed);
    EXPECT_EQ(Ask(right, 20), kFailed);
    EXPECT_EQ(Ask(right, 9), kPassed);
    now_ += seconds(5);
    EXPECT_EQ(Ask(wrong, 20), kFailed);
    now_ += seconds(9);
    EXPECT_EQ(Ask(right, 20), kFailed);
    EXPECT_EQ(Ask(right, 9), kPassed);
    now_ += seconds(1);
    EXPECT_EQ(Ask(right, 20), kPassed);

    // Four more failures spend dave's budget of ten: an address that has
    // failed twice is then refused, one that failed once or never is not.
    for (uint32_t client = 30; client < 34; ++client)
        EXPECT_EQ(Ask(wrong, client), kFailed);
    EXPECT_EQ(Ask(right, 30), kPassed);
    EXPECT_EQ(Ask(wrong, 30), kFailed);
    EXPECT_EQ(Ask(right, 30), kFailed);
    EXPECT_EQ(Ask(right, 40), kPassed);
    EXPECT_EQ(Ask(Check("m", "bob", "builder"), 30), kPassed); // other users are not held
    now_ += seconds(60);                                       // one more failure allowed
    EXPECT_EQ(Ask(right, 30), kPassed);

    // Failures on unknown users count against the address alone.
    for (const char* user : {"u1", "u2", "u3", "u4", "u5"})
        EXPECT_EQ(Ask(Check("m", user, "x"), 50), kFailed);
    EXPECT_EQ(Ask(Check("m", "bob", "builder"), 50), kFailed);
    EXPECT_EQ(Ask(Check("m", "bob", "builder"), 51), kPassed);
    EXPECT_EQ(Ask("getpasswd/bob", 50), Passwd(bob_)); // no check, not limited
    // Fifteen quiet minutes after its wait, an address starts afresh.
    now_ += seconds(5) + std::chrono::minutes(15);
    EXPECT_EQ(Ask(Check("m", "bob", "builder"), 50), kPassed);

    const auto totals = service_.Totals();
    EXPECT_EQ(totals.requests, 30u);
    EXPECT_EQ(totals.passed, 9u);
    EXPECT_EQ(totals.failed, 16u);
    EXPECT_EQ(totals.refused, 4u);
}

TEST_F(Security, AddressesBeyondTheTrackedOnesForgetTheOldestFailure) {
    const std::string right = Check("m", "bob", "builder");
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Ask(Check("m", "nobody", "x"), 7), kFailed);
    EXPECT_EQ(Ask(right, 7), kFailed); // waiting
    now_ += std::chrono::milliseconds(1);
    for (uint32_t client = 1000; client < 1000 + 4096; ++client)
        EXPECT_EQ(Ask(Check("m", "nobody", "x"), client), kFailed);
    EXPECT_EQ(Ask(right, 7), kPassed);    // forgotten to make room
    EXPECT_EQ(Ask(right, 1000), kPassed); // one failure: never held back
}

TEST_F(Security, BadUsersFilesAreRefusedAndTheOldUsersKept) {
    const std::pair<std::string, std::string> cases[] = {
        {"nocolon\n", "line 1: expected user:hash[:flags]"},
        {"\n:" + bob_ + "\n", "line 2: user name must be"},
        {"a b:" + bob_ + "\n", "line 1: user name must be"},
        {"eve:\n", "line 1: user eve: not a crypt hash"},
        {"eve:secret\n", "line 1: user eve: not a crypt hash"},
        {"eve:" + bob_ + "\"\n", "line 1: user eve: not a crypt hash"},
        {"eve:" + bob_ + ":getpasswd,admin\n", "line 1: user eve: unknown flag \"admin\""},
        {"eve:" + alice_ + ":getpasswd\n", "line 1: user eve: getpasswd needs a traditional"},
        {"eve:" + bob_ + "\neve:" + bob_ + "\n", "line 2: user eve given twice"},
    };
    for (const auto& [text, error] : cases) {
        Write(text);
        EXPECT_FALSE(service_.Load(path_, error_)) << text;
        EXPECT_EQ(error_.rfind(error, 0), 0u) << error_;
    }
    EXPECT_FALSE(service_.Load(path_ + ".missing", error_));
    EXPECT_EQ(Ask("getpasswd/bob"), Passwd(bob_));

    Write("eve:" + dave_ + ":getpasswd\n"); // replaces the users as a whole
    ASSERT_TRUE(service_.Load(path_, error_)) << error_;
    EXPECT_EQ(Ask("getpasswd/bob"), Passwd(""));
    EXPECT_EQ(Ask("getpasswd/eve"), Passwd(dave_));
}

} // namespace
} // namespace vks
