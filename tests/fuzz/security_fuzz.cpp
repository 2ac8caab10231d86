// Fuzzes the parsers of the security commands with untrusted text: hex
// codes and keys for desdecrypt, stored crypt strings from the security
// server, and user names and methods that become request names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interp/script.h"
#include "interp/security.h"

namespace {

// Splits the input at NUL bytes into up to `count` strings.
void Split(const uint8_t* data, size_t size, std::string* out, int count) {
    int i = 0;
    for (size_t p = 0; p < size; ++p) {
        if (data[p] == 0 && i + 1 < count) {
            ++i;
            continue;
        }
        out[i] += char(data[p]);
    }
}

void Check(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    std::string s[4];
    Split(data + 1, size - 1, s, 4);
    for (std::string& text : s)
        if (text.size() > vk::kLineSize - 1) text.resize(vk::kLineSize - 1);

    switch (selector % 4) {
    case 0: {
        // desdecrypt: any hex text and key; the result is bounded and
        // holds neither NUL nor 0xFF before its end.
        char text[vk::kLineSize];
        const size_t limit = 1 + selector % vk::kLineSize;
        if (vk::DesDecodeHex(s[0].c_str(), s[1].c_str(), text, limit) == 0) {
            Check(std::strlen(text) < limit);
            Check(std::strchr(text, '\xFF') == nullptr);
        } else {
            Check(text[0] == '\0');
        }
        break;
    }
    case 1: {
        // descrypt then desdecrypt gives the text back up to a 0xFF byte.
        char hex[vk::kDesMaxHex + 1];
        if (vk::DesEncodeText(s[0].c_str(), s[1].c_str(), hex) != 0) {
            Check(s[0].size() > size_t(vk::kDesMaxText));
            break;
        }
        char back[vk::kLineSize];
        Check(vk::DesDecodeHex(hex, s[1].c_str(), back, sizeof back) == 0);
        Check(s[0].substr(0, s[0].find('\xFF')) == back);
        break;
    }
    case 2: {
        // Stored crypt strings from the server and salts from scripts.
        vk::CheckPasswd(s[0].c_str(), s[1].c_str(), selector & 4);
        const char* hash = vk::crypt(s[0].c_str(), s[1].c_str());
        if (hash != nullptr) {
            Check(std::strlen(hash) == size_t(vk::kCryptSize));
            Check(vk::CheckPasswd(s[0].c_str(), hash, 0) == 1);
        }
        break;
    }
    default: {
        // Request names: either refused, or one string with every part
        // literal between the two quote markers.
        const char* parts[] = {"checkuser", s[1].c_str(), s[2].c_str(), s[3].c_str()};
        char out[vk::kLineSize];
        if (vk::BuildRequestLine(s[0].c_str(), parts, 4, out, sizeof out) == 0) {
            int markers = 0;
            for (const char* p = out; *p; ++p) {
                if (uint8_t(*p) == vk::kQuote) ++markers;
                Check(uint8_t(*p) >= 32);
            }
            Check(markers == 2);
            Check(std::strlen(out) < sizeof out);
            for (int i = 1; i < 4; ++i) {
                Check(std::strchr(parts[i], '/') == nullptr);
                Check(std::strchr(parts[i], '\\') == nullptr);
            }
        } else {
            Check(out[0] == '\0');
        }
        break;
    }
    }
    return 0;
}
