// Fuzzes the security port: any request name from any client at any pace.
// Every answer is one line of fixed text with only crypt characters between
// its quotes; names of other kinds get no answer.
#include <crypt.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "security.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

bool InCryptAlphabet(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '/';
}

// The only shapes an answer may take.
bool IsSafeAnswer(const std::string& answer) {
    for (const char* head : {"set Security-Check = \"", "set Security-Passwd = \""}) {
        const size_t n = std::strlen(head);
        if (answer.compare(0, n, head) != 0 || answer.size() < n + 3) continue;
        if (answer.compare(answer.size() - 3, 3, "\"\r\n") != 0) return false;
        for (size_t i = n; i < answer.size() - 3; ++i)
            if (!InCryptAlphabet(answer[i])) return false;
        return true;
    }
    return false;
}

vks::SecurityService* Service() {
    static vks::SecurityService* service = [] {
        // Cheap hashes only, so that many checks fit into a run; the request
        // below can name these users and encode passwords for them.
        const std::string path = "/tmp/fuzz_server_security_users." + std::to_string(getpid());
        std::ofstream(path) << "bob:" << crypt("builder", "ab") << ":getpasswd\n"
                            << "alice:" << crypt("wonderland", "$1$saltsalt") << "\n";
        auto* s = new vks::SecurityService;
        std::string error;
        Check(s->Load(path, error));
        unlink(path.c_str());
        return s;
    }();
    return service;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    const uint32_t client = data[0] & 7; // few clients, so that the limits bite
    now += std::chrono::milliseconds(data[1] * 100);
    std::string name(reinterpret_cast<const char*>(data + 2), size - 2);
    const auto answer = Service()->Answer(name, client, now);
    const std::string shown = vks::SecurityService::Redacted(name);
    Check(shown == name || (shown.back() == '*' && shown.size() <= name.size() + 1));
    if (!answer) {
        Check(name.rfind("getpasswd/", 0) != 0 && name.rfind("/getpasswd/", 0) != 0 &&
              name.rfind("checkuser/", 0) != 0 && name.rfind("/checkuser/", 0) != 0);
        return 0;
    }
    Check(IsSafeAnswer(*answer));
    // A hash is handed out to bob alone.
    if (answer->find("Passwd = \"\"") == std::string::npos &&
        answer->find("Passwd") != std::string::npos)
        Check(name == "getpasswd/bob" || name == "/getpasswd/bob");
    return 0;
}
