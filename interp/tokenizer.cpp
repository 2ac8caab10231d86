// The line reader and the in-place argument readers.
//
// NextLine copies one source line into `line`, substituting $name and
// ${name}, decoding backslash escapes and turning every double quote of the
// source into the quote marker. The readers below only recognise the marker,
// so quotes that arrive through substitution are plain characters.

#include "interp/tokenizer.h"

#include <cstring>

#include "interp/expr.h"
#include "interp/script.h"
#include "interp/variables.h"

namespace vk {

namespace {

constexpr char kCtrlZ = 26;

bool IsLineEnd(char c) {
    return c == 0 || c == '\r' || c == '\n' || c == kCtrlZ;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '_' || c == '-' ||
           c == '.';
}

char* SkipBlanks(char* p) {
    while (IsBlank(*p))
        ++p;
    return p;
}

// line -> { char | "$" ["{"] name ["}"] | "\" escape } line-end
const char* NextLine(const char* text) {
    char* out = line;
    char* const last = line + kLineSize - 1; // room for the NUL
    const char* p = text;

    while (out < last && !IsLineEnd(*p)) {
        char c = *p;
        if (c == '$') {
            ++p;
            bool braced = false;
            if (*p == '{') {
                braced = true;
                ++p;
            }
            const char* nameStart = p;
            while (IsWordChar(*p))
                ++p;
            size_t nameLength = size_t(p - nameStart);
            if (braced && nameLength && *p == '}') ++p;
            if (nameLength == 0) {
                *out++ = '$';
                continue;
            }
            // Names that do not fit the name buffer name no variable.
            if (nameLength < size_t(kNameSize)) {
                char name[kNameSize];
                std::memcpy(name, nameStart, nameLength);
                name[nameLength] = 0;
                const char* value = GetVar(name);
                while (*value && out < last)
                    *out++ = *value++;
            }
            continue;
        }
        if (c == '\\') {
            char e = p[1];
            if (IsLineEnd(e)) {
                ++p; // the backslash is dropped and the line ends here
                break;
            }
            p += 2;
            switch (e) {
            case 'a': *out++ = 7; break;
            case 'b': *out++ = 8; break;
            case 'n': *out++ = 10; break;
            case 'r': *out++ = 13; break;
            case 't': *out++ = 9; break;
            case 'v': *out++ = 11; break;
            case '0':
            case '1':
            case '2':
            case '3':
                if (IsDigit(p[0]) && IsDigit(p[1])) {
                    *out++ = char(((e - '0') * 64 + (p[0] - '0') * 8 + (p[1] - '0')) & 0xFF);
                    p += 2;
                }
                // Without two digits the backslash and the digit vanish.
                break;
            default: *out++ = e; break;
            }
            continue;
        }
        *out++ = (c == '"') ? char(kQuote) : c;
        ++p;
    }
    *out = 0;
    if (*p == '\r') ++p;
    if (*p == '\n') ++p;
    if (*p == '\r') ++p;
    if (*p == kCtrlZ) ++p;
    ++lineno;
    return p;
}

char* NextToken(char* p) {
    p = SkipBlanks(p);
    token = p;
    while (*p && IsWordChar(*p))
        ++p;
    return p;
}

char* NextWord(char** cursor) {
    char* end = NextToken(*cursor);
    char* word = token;
    if (*end) {
        *end = 0;
        *cursor = end + 1;
    } else {
        *cursor = end;
    }
    return word;
}

char* NextVariableName(char** cursor) {
    char* name = NextWord(cursor);
    if (!name[0]) {
        errormsg = "Variable name expected";
        return nullptr;
    }
    return name;
}

int NextNothing(const char* p) {
    while (IsBlank(*p))
        ++p;
    if (*p) {
        errormsg = "Too much arguments";
        return 1;
    }
    return 0;
}

char* NextBasicString(char** cursor) {
    char* p = SkipBlanks(*cursor);
    if (static_cast<uint8_t>(*p) != kQuote) {
        errormsg = "Opening \" expected";
        return nullptr;
    }
    char* start = p + 1;
    char* close = start;
    while (*close && static_cast<uint8_t>(*close) != kQuote)
        ++close;
    if (!*close) {
        errormsg = "Closing \" expected";
        return nullptr;
    }
    *close = 0;
    *cursor = close + 1;
    return start;
}

namespace {

// Keeps the words first..last of s (words separated by the space character).
void SelectWords(char* s, int first, int last) {
    char* p = s;
    while (*p == ' ')
        ++p;
    char* from = nullptr;
    char* to = p;
    int index = 0;
    if (first < 0) first = 0;
    while (*p && index <= last) {
        char* wordStart = p;
        while (*p && *p != ' ')
            ++p;
        if (index == first) from = wordStart;
        if (index >= first) to = p;
        while (*p == ' ')
            ++p;
        ++index;
    }
    if (!from || last < first) {
        s[0] = 0;
        return;
    }
    size_t n = size_t(to - from);
    std::memmove(s, from, n);
    s[n] = 0;
}

// Keeps the characters first..last of s.
void SelectChars(char* s, int first, int last) {
    int length = int(std::strlen(s));
    if (first < 0) first = 0;
    if (last >= length) last = length - 1;
    if (first > last) {
        s[0] = 0;
        return;
    }
    std::memmove(s, s + first, size_t(last - first + 1));
    s[last - first + 1] = 0;
}

} // namespace

// string -> basic-string { "/" x "=" y "/" | "{" range "}" | "[" range "]" }
char* NextString(char** cursor) {
    char* s = NextBasicString(cursor);
    if (!s) return nullptr;
    char* p = *cursor;
    for (;;) {
        if (*p == '/') {
            if (!p[1] || p[2] != '=' || !p[3] || p[4] != '/') {
                errormsg = "error in char substitution pattern";
                return nullptr;
            }
            char from = p[1], to = p[3];
            for (char* q = s; *q; ++q)
                if (*q == from) *q = to;
            p += 5;
        } else if (*p == '{' || *p == '[') {
            char open = *p;
            char close = open == '{' ? '}' : ']';
            ++p;
            int16_t first = 0, last = 0;
            if (NextInterval(&p, &first, &last)) return nullptr;
            if (*p != close) {
                errormsg = open == '{' ? "Closing } expected" : "Closing ] expected";
                return nullptr;
            }
            ++p;
            if (open == '{')
                SelectWords(s, first, last);
            else
                SelectChars(s, first, last);
        } else {
            break;
        }
    }
    *cursor = p;
    return s;
}

} // namespace vk
