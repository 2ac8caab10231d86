// The security server of port 89: answers the two requests that Tobrend's
// checkuser and getpasswd send as remote file names, with short scripts that
// set Security-Passwd or Security-Check. Users come from a file of
// "user:hash" lines (hashes verified with libxcrypt).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vks {

class SecurityService {
  public:
    SecurityService();
    ~SecurityService();
    SecurityService(const SecurityService&) = delete;
    SecurityService& operator=(const SecurityService&) = delete;

    // Reads the users file; false with `error` set when it cannot be used
    // (the message does not repeat the file name; "line N: ..." for a line).
    // Called again (for example on SIGHUP) it replaces the users atomically.
    bool Load(const std::string& usersFile, std::string& error);

    // The answer script for a request name received on the security port
    // ("getpasswd/<user>" or "checkuser/<method>/<user>/<32 hex digits>"),
    // from client address `client` (IPv4, host order). nullopt: not a
    // security request this server answers (the transfer is refused with a
    // TFTP error). Never copies unescaped client text into the script.
    std::optional<std::string> Answer(std::string_view name, uint32_t client,
                                      std::chrono::steady_clock::time_point now);

    // The request name as logs and the status board may show it: a
    // checkuser request's password digits (which anyone can decode: the key
    // is in every client) replaced by "*"; other names unchanged.
    static std::string Redacted(std::string_view name);

    // What the answers so far said, for the status counters and the log.
    struct Counts {
        uint64_t requests = 0; // names answered (both kinds)
        uint64_t passed = 0;   // checks that verified
        uint64_t failed = 0;   // checks that did not (wrong password, unknown user, malformed)
        uint64_t refused = 0;  // checks refused unverified by the limits of failures, and
                               // getpasswd requests for users not marked for it
    };
    Counts Totals() const;

  private:
    struct State;
    State* state_;
};

} // namespace vks
