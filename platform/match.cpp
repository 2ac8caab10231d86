// Wildcard matching: "*" matches any run of characters, "?" any one.
#include "platform/util.h"

namespace vk {

namespace {
char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}
} // namespace

// Walks text and pattern together and, on a mismatch, lets the most recent
// star take one more character. Retrying only the last star is enough for
// this kind of pattern, so the work stays within length(text) x
// length(pattern) steps whatever the pattern.
int MatchExpr(const char* text, char* pattern, int flags) {
    const char end = char(flags & 255);
    const bool fold = (flags & kMatchIgnoreCase) != 0;
    // The text ends at its terminator, and in any case at its NUL.
    auto atEnd = [end](const char* t) { return *t == 0 || *t == end; };
    auto same = [fold](char a, char b) { return fold ? Lower(a) == Lower(b) : a == b; };

    const char* t = text;
    char* p = pattern;
    char* starPattern = nullptr;    // pattern after the last star
    const char* starText = nullptr; // where that star's run ends so far
    for (;;) {
        if (*p == '*') {
            while (p[1] == '*')
                ++p;
            if (p[1] == '?') {
                // "*?" becomes "?*": the "?" is matched first, then the star.
                p[0] = '?';
                p[1] = '*';
                continue;
            }
            if (p[1] == 0) return 1;
            starPattern = p + 1;
            starText = t;
            p = starPattern;
            continue;
        }
        if (*p == 0) {
            if (atEnd(t)) return 1;
        } else if (!atEnd(t) && (*p == '?' || same(*p, *t))) {
            ++p;
            ++t;
            continue;
        }
        if (!starPattern || atEnd(starText)) return 0;
        t = ++starText;
        p = starPattern;
    }
}

} // namespace vk
