// The command lines that fetch the security server's answers. Script-supplied
// texts (user names, methods) become parts of a remote file name here; they
// are placed between quote markers directly, never passed through
// substitution, and refused when they could leave their place in the name.
#include <cstring>

#include "interp/script.h"
#include "interp/security.h"

namespace vk {

namespace {

bool IsControl(uint8_t c) {
    return c < 32 || c == 127;
}

} // namespace

bool IsSafeRequestPart(const char* text) {
    if (text[0] == '\0') return false;
    if (std::strcmp(text, ".") == 0 || std::strcmp(text, "..") == 0) return false;
    for (const char* p = text; *p != '\0'; ++p) {
        const uint8_t c = uint8_t(*p);
        if (c == '/' || c == '\\' || c == kQuote || IsControl(c)) return false;
    }
    return true;
}

int BuildRequestLine(const char* gateway, const char* const* parts, int count, char* out,
                     size_t size) {
    if (size > 0) out[0] = '\0';
    for (const char* p = gateway; *p != '\0'; ++p)
        if (uint8_t(*p) == kQuote || IsControl(uint8_t(*p))) return 1;
    for (int i = 0; i < count; ++i)
        if (!IsSafeRequestPart(parts[i])) return 1;

    size_t used = 0;
    bool fits = true;
    auto append = [&](const char* text, size_t length) {
        if (!fits || used + length + 1 > size) {
            fits = false;
            return;
        }
        std::memcpy(out + used, text, length);
        used += length;
    };
    const char marker = char(kQuote);
    append("include ", 8);
    append(&marker, 1);
    append(gateway, std::strlen(gateway));
    append(":", 1);
    for (int i = 0; i < count; ++i) {
        if (i > 0) append("/", 1);
        append(parts[i], std::strlen(parts[i]));
    }
    append(&marker, 1);
    if (!fits) {
        if (size > 0) out[0] = '\0';
        return 1;
    }
    out[used] = '\0';
    return 0;
}

} // namespace vk
