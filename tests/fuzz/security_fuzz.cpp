// Fuzzes what the security commands take from untrusted text: desdecrypt
// codes and keys, stored crypt strings from the security server, and user
// names and methods that become request names.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interp/script.h"
#include "interp/security.h"

static void Check(bool condition) {
    if (!condition) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The bytes after the selector are up to four strings split at NULs.
    std::string s[4];
    for (size_t p = 1, i = 0; p < size; ++p) {
        if (data[p] == 0 && i < 3)
            ++i;
        else if (s[i].size() < size_t(vk::kLineSize - 1))
            s[i] += char(data[p]);
    }
    switch (data[0] % 4) {
    case 0: { // any code and key: bounded, no NUL or 0xFF inside
        char text[vk::kLineSize];
        const size_t limit = 1 + data[0] % vk::kLineSize;
        const int status = vk::DesDecodeHex(s[0].c_str(), s[1].c_str(), text, limit);
        Check(std::strlen(text) < limit && std::strchr(text, '\xFF') == nullptr);
        Check(status == 0 || text[0] == '\0');
        break;
    }
    case 1: { // descrypt then desdecrypt gives the text back up to a 0xFF
        char hex[vk::kDesMaxHex + 1], back[vk::kLineSize];
        if (vk::DesEncodeText(s[0].c_str(), s[1].c_str(), hex) != 0) {
            Check(s[0].size() > size_t(vk::kDesMaxText));
            break;
        }
        Check(vk::DesDecodeHex(hex, s[1].c_str(), back, sizeof back) == 0);
        Check(s[0].substr(0, s[0].find('\xFF')) == back);
        break;
    }
    case 2: { // stored crypt strings and salts
        vk::CheckPasswd(s[0].c_str(), s[1].c_str(), data[0] & 4);
        if (const char* hash = vk::crypt(s[0].c_str(), s[1].c_str())) {
            Check(std::strlen(hash) == size_t(vk::kCryptSize));
            Check(vk::CheckPasswd(s[0].c_str(), hash, 0) == 1);
        }
        break;
    }
    default: { // request names: refused, or every part literal in one string
        const char* parts[] = {"checkuser", s[1].c_str(), s[2].c_str(), s[3].c_str()};
        char out[vk::kLineSize];
        if (vk::BuildRequestLine(s[0].c_str(), parts, 4, out, sizeof out) != 0) {
            Check(out[0] == '\0');
            break;
        }
        int markers = 0;
        for (const char* p = out; *p; ++p) {
            markers += uint8_t(*p) == vk::kQuote;
            Check(uint8_t(*p) >= 32);
        }
        Check(markers == 2);
        for (int i = 1; i < 4; ++i)
            Check(std::strpbrk(parts[i], "/\\") == nullptr);
        break;
    }
    }
    return 0;
}
