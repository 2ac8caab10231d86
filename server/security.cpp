// The security server's answers. A request names its answer as a remote
// file: "getpasswd/<user>" or "checkuser/<method>/<user>/<32 hex digits>",
// the digits being the password's first 16 bytes DES-encrypted under the
// clients' fixed key. The answer is a one-line script that the client
// includes, so it holds fixed text and at most a stored hash whose every
// character is checked against the crypt alphabet: nothing a client sends
// ever reaches it.
#include "security.h"

#include <crypt.h>
#include <nettle/des.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "platform/security_key.h"

namespace vks {

namespace {

constexpr size_t kEncodedDigits = 32; // two DES blocks
constexpr size_t kTraditionalHash = 13;
constexpr size_t kMaxUserName = 64;
constexpr size_t kMaxUsersFile = 1 << 20;

// Failed checks are limited per client address and per user; a check that
// passes spends nothing. The limits refuse a check without verifying it
// (answered FAILED) only where the asking address has failed itself, so
// that no address can lock a user out for the others by failing.
//
// An address may fail kFreeFailures checks; from the last of those on, each
// failure makes it wait before its next check is verified: kFirstWait,
// doubled with every further failure up to kLongestWait. An address that
// has failed nothing for kForget after its wait ended starts afresh.
constexpr int kFreeFailures = 5;
constexpr std::chrono::seconds kFirstWait{5};
constexpr std::chrono::seconds kLongestWait{600};
constexpr std::chrono::minutes kForget{15};
// A user may see kUserBurst failures from all addresses together, then one
// more every kUserRefill. While that budget is spent, the user's checks are
// still verified from addresses that have failed fewer than kFailedTwice
// checks (one typing error allowed), and refused from the others: a guesser
// spread over many addresses gets two guesses from each.
constexpr double kUserBurst = 10;
constexpr std::chrono::seconds kUserRefill{60};
constexpr int kFailedTwice = 2;
// Addresses are tracked up to this many; beyond it the one that failed
// longest ago is forgotten.
constexpr size_t kMaxClients = 4096;

constexpr char kPassed[] = "set Security-Check = \"PASSED\"\r\n";
constexpr char kFailed[] = "set Security-Check = \"FAILED\"\r\n";
constexpr char kNoPasswd[] = "set Security-Passwd = \"\"\r\n";

bool InCryptAlphabet(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '/';
}

bool IsTraditionalHash(std::string_view hash) {
    if (hash.size() != kTraditionalHash) return false;
    for (char c : hash)
        if (!InCryptAlphabet(c)) return false;
    return true;
}

// User names as the users file may hold them: printable ASCII without blank,
// ":", "/" and "\" (Tobrend sends no name with "/" or "\" at all).
bool IsUserName(std::string_view name) {
    if (name.empty() || name.size() > kMaxUserName) return false;
    for (char c : name) {
        const auto u = uint8_t(c);
        if (u <= 0x20 || u >= 0x7F || c == ':' || c == '/' || c == '\\') return false;
    }
    return true;
}

// A stored hash libxcrypt can verify: a traditional 13-character hash, an
// extended DES one ("_" and 19 characters), or "$id$...$hash" with a hash
// part, and a prefix naming a method this libxcrypt supports.
bool IsUsableHash(const std::string& hash) {
    if (hash.empty()) return false;
    for (char c : hash)
        if (!InCryptAlphabet(c) && c != '$' && c != ',' && c != '=' && c != '_') return false;
    if (hash[0] == '$') {
        const size_t last = hash.rfind('$');
        if (last < 3 || last + 1 == hash.size()) return false;
        for (size_t i = last + 1; i < hash.size(); ++i)
            if (!InCryptAlphabet(hash[i])) return false;
    } else if (hash[0] == '_') {
        if (hash.size() != 20 || !IsTraditionalHash(hash.substr(7)) ||
            hash.find_first_of("$,=_", 1) != std::string::npos)
            return false;
    } else if (!IsTraditionalHash(hash)) {
        return false;
    }
    const int verdict = crypt_checksalt(hash.c_str());
    return verdict == CRYPT_SALT_OK || verdict == CRYPT_SALT_METHOD_LEGACY ||
           verdict == CRYPT_SALT_TOO_CHEAP;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The password from its 32 hex digits: two blocks decrypted with the fixed
// key, the text up to the first NUL (all 16 bytes when there is none).
// False when the digits are not exactly 32 hex digits.
bool DecodePassword(std::string_view hex, std::string& password) {
    if (hex.size() != kEncodedDigits) return false;
    uint8_t bytes[kEncodedDigits / 2];
    for (size_t i = 0; i < sizeof bytes; ++i) {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = uint8_t(high << 4 | low);
    }
    des_ctx key;
    static_assert(sizeof vk::kSecurityKey == DES_KEY_SIZE);
    // A fixed key, not a weak one.
    (void)nettle_des_set_key(&key, reinterpret_cast<const uint8_t*>(vk::kSecurityKey));
    nettle_des_decrypt(&key, sizeof bytes, bytes, bytes);
    size_t length = 0;
    while (length < sizeof bytes && bytes[length] != 0)
        ++length;
    password.assign(reinterpret_cast<const char*>(bytes), length);
    explicit_bzero(bytes, sizeof bytes);
    explicit_bzero(&key, sizeof key);
    return true;
}

// True when the password fits the stored hash; compares without an early
// exit.
bool Verify(const std::string& password, const std::string& hash) {
    auto work = std::make_unique<crypt_data>();
    const char* result = crypt_rn(password.c_str(), hash.c_str(), work.get(), sizeof *work);
    bool fits = false;
    if (result != nullptr && result[0] != '*' && std::strlen(result) == hash.size()) {
        unsigned diff = 0;
        for (size_t i = 0; i < hash.size(); ++i)
            diff |= unsigned(uint8_t(result[i]) ^ uint8_t(hash[i]));
        fits = diff == 0;
    }
    explicit_bzero(work.get(), sizeof *work);
    return fits;
}

struct User {
    std::string hash;
    bool getpasswd = false; // the hash may be handed out by getpasswd
};
using Users = std::map<std::string, User, std::less<>>;

// Parses "user:hash[:flags]" lines; "#" starts a comment line, blank lines
// are skipped. The only flag is "getpasswd", allowed with a traditional
// 13-character hash only.
bool ParseUsers(const std::string& text, Users& users, std::string& error) {
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        const size_t colon = line.find(':');
        if (colon == std::string::npos) return fail("expected user:hash[:flags]");
        const std::string name = line.substr(0, colon);
        const size_t second = line.find(':', colon + 1);
        const std::string hash = line.substr(colon + 1, second - colon - 1);
        const std::string flags = second == std::string::npos ? "" : line.substr(second + 1);
        if (!IsUserName(name))
            return fail("user name must be 1 to 64 printable characters "
                        "without blank, \":\", \"/\" or \"\\\"");
        if (!IsUsableHash(hash))
            return fail("user " + name +
                        ": not a crypt hash this "
                        "system can verify");
        User user{hash, false};
        std::istringstream flagList(flags);
        std::string flag;
        while (std::getline(flagList, flag, ',')) {
            if (flag == "getpasswd") {
                if (!IsTraditionalHash(hash))
                    return fail("user " + name +
                                ": getpasswd needs a traditional 13-character crypt hash");
                user.getpasswd = true;
            } else if (!flag.empty()) {
                return fail("user " + name + ": unknown flag \"" + flag + "\"");
            }
        }
        if (!users.emplace(name, std::move(user)).second)
            return fail("user " + name + " given twice");
    }
    return true;
}

using Clock = std::chrono::steady_clock;

// A user's budget of failures: a token bucket.
struct Bucket {
    double tokens = kUserBurst;
    Clock::time_point last{};

    void Refill(Clock::time_point now) {
        if (last != Clock::time_point{} && now > last) {
            const double gained = std::chrono::duration<double>(now - last) /
                                  std::chrono::duration<double>(kUserRefill);
            tokens = std::min(kUserBurst, tokens + gained);
        }
        last = now;
    }
};

// The failures of one client address.
struct Failures {
    int count = 0;
    Clock::time_point last{}; // of the latest failure

    Clock::duration Wait() const {
        if (count < kFreeFailures) return {};
        const int doublings = std::min(count - kFreeFailures, 16);
        return std::min<Clock::duration>(kFirstWait * (1 << doublings), kLongestWait);
    }
    bool Waiting(Clock::time_point now) const { return now < last + Wait(); }
    bool Forgotten(Clock::time_point now) const { return now >= last + Wait() + kForget; }
};

} // namespace

struct SecurityService::State {
    mutable std::mutex mutex;
    std::shared_ptr<const Users> users = std::make_shared<Users>();
    std::map<std::string, Bucket, std::less<>> userBudgets;
    std::unordered_map<uint32_t, Failures> clients;
    Counts counts;

    // The address's failures that still count; null when it has none.
    const Failures* Find(uint32_t client, Clock::time_point now) {
        const auto found = clients.find(client);
        if (found == clients.end()) return nullptr;
        if (!found->second.Forgotten(now)) return &found->second;
        clients.erase(found);
        return nullptr;
    }

    void RecordFailure(uint32_t client, Clock::time_point now) {
        auto found = clients.find(client);
        if (found == clients.end() && clients.size() >= kMaxClients) {
            std::erase_if(clients, [&](const auto& entry) { return entry.second.Forgotten(now); });
            if (clients.size() >= kMaxClients)
                clients.erase(std::min_element(
                    clients.begin(), clients.end(),
                    [](const auto& a, const auto& b) { return a.second.last < b.second.last; }));
        }
        Failures& failures = clients[client];
        if (failures.Forgotten(now)) failures = {};
        failures.count = std::min(failures.count + 1, 1 << 20);
        failures.last = now;
    }

    std::string Check(std::string_view method, std::string_view user, std::string_view hex,
                      uint32_t client, Clock::time_point now);
};

std::string SecurityService::State::Check(std::string_view method, std::string_view name,
                                          std::string_view hex, uint32_t client,
                                          Clock::time_point now) {
    std::shared_ptr<const Users> table;
    {
        std::lock_guard<std::mutex> lock(mutex);
        table = users;
        const Failures* failures = Find(client, now);
        bool refuse = failures != nullptr && failures->Waiting(now);
        if (!refuse && failures != nullptr && failures->count >= kFailedTwice &&
            table->count(name) != 0) {
            Bucket& budget = userBudgets[std::string(name)];
            budget.Refill(now);
            refuse = budget.tokens < 1;
        }
        if (refuse) {
            ++counts.refused;
            return kFailed;
        }
    }
    // Any method name is a check against the users file; the method of a
    // request is not otherwise told apart ("unix" is never sent here: the
    // client checks that one itself after getpasswd).
    const auto found = table->find(name);
    std::string password;
    const bool wellFormed = !method.empty() && DecodePassword(hex, password);
    const bool passed = wellFormed && found != table->end() && Verify(password, found->second.hash);
    explicit_bzero(password.data(), password.size());

    std::lock_guard<std::mutex> lock(mutex);
    if (passed) {
        ++counts.passed;
        return kPassed;
    }
    ++counts.failed;
    RecordFailure(client, now);
    if (found != table->end()) {
        Bucket& budget = userBudgets[std::string(name)];
        budget.Refill(now);
        budget.tokens = std::max(0.0, budget.tokens - 1);
    }
    return kFailed;
}

SecurityService::SecurityService() : state_(new State) {}
SecurityService::~SecurityService() {
    delete state_;
}

bool SecurityService::Load(const std::string& usersFile, std::string& error) {
    std::ifstream in(usersFile, std::ios::binary);
    if (!in) {
        error = "cannot open";
        return false;
    }
    std::string text;
    text.resize(kMaxUsersFile + 1);
    in.read(text.data(), std::streamsize(text.size()));
    if (in.bad()) {
        error = "cannot read";
        return false;
    }
    text.resize(size_t(in.gcount()));
    if (text.size() > kMaxUsersFile) {
        error = "larger than 1 MB";
        return false;
    }
    auto users = std::make_shared<Users>();
    if (!ParseUsers(text, *users, error)) return false;
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->users = std::move(users);
    // Budgets of users that are gone are of no more use.
    std::erase_if(state_->userBudgets,
                  [&](const auto& entry) { return state_->users->count(entry.first) == 0; });
    return true;
}

std::optional<std::string> SecurityService::Answer(std::string_view name, uint32_t client,
                                                   std::chrono::steady_clock::time_point now) {
    if (!name.empty() && name.front() == '/') name.remove_prefix(1);
    constexpr std::string_view kGetPasswd = "getpasswd/";
    constexpr std::string_view kCheckUser = "checkuser/";

    if (name.starts_with(kGetPasswd)) {
        const std::string_view user = name.substr(kGetPasswd.size());
        std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->counts.requests;
        const auto found = state_->users->find(user);
        // Unknown and unmarked users get the same answer, which leaves the
        // client without a hash to compare (so its check fails).
        if (found == state_->users->end() || !found->second.getpasswd ||
            !IsTraditionalHash(found->second.hash)) {
            ++state_->counts.refused;
            return std::string(kNoPasswd);
        }
        return "set Security-Passwd = \"" + found->second.hash + "\"\r\n";
    }

    if (name.starts_with(kCheckUser)) {
        // checkuser/<method>/<user>/<digits>: Tobrend sends no component
        // with "/" in it, so any other count of components fails.
        std::string_view rest = name.substr(kCheckUser.size());
        std::string_view parts[3];
        size_t count = 0;
        for (;;) {
            const size_t slash = rest.find('/');
            if (count < 3) parts[count] = rest.substr(0, slash);
            ++count;
            if (slash == std::string_view::npos) break;
            rest.remove_prefix(slash + 1);
        }
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            ++state_->counts.requests;
        }
        // A malformed check fails, and counts against its client.
        if (count != 3) parts[0] = parts[2] = std::string_view();
        return state_->Check(parts[0], parts[1], parts[2], client, now);
    }
    return std::nullopt;
}

std::string SecurityService::Redacted(std::string_view name) {
    const size_t start = name.starts_with('/') ? 1 : 0;
    if (name.substr(start).starts_with("checkuser/"))
        return std::string(name.substr(0, name.rfind('/') + 1)) + "*";
    return std::string(name);
}

SecurityService::Counts SecurityService::Totals() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->counts;
}

} // namespace vks
