// Expressions and typed arguments. Numbers are 32-bit signed integers that
// wrap on overflow; every binary operation stands in its own parentheses.

#include "interp/expr.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <strings.h>

#include "disk/partitions.h"
#include "interp/script.h"
#include "interp/tokenizer.h"

namespace vk {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int32_t Failure(const char* message) {
    errormsg = message;
    return kExprFail;
}

// Number of words of s, words being runs of characters other than ' '.
int32_t CountWords(const char* s) {
    int32_t n = 0;
    while (*s) {
        while (*s == ' ')
            ++s;
        if (!*s) break;
        ++n;
        while (*s && *s != ' ')
            ++s;
    }
    return n;
}

int32_t Wrap(int64_t v) {
    return int32_t(uint32_t(uint64_t(v)));
}

} // namespace

// expr -> "(" expr op expr ")" | ["-"] digits | "@" string | "#" string
int32_t NextExpr(char** cursor) {
    char* p = SkipBlanks(*cursor);
    if (*p == '(') {
        ++p;
        int32_t a = NextExpr(&p);
        if (a == kExprFail) return kExprFail;
        p = SkipBlanks(p);
        char op = *p;
        if (!op) return Failure("Syntax error in expression");
        ++p;
        int32_t b = NextExpr(&p);
        if (b == kExprFail) return kExprFail;
        p = SkipBlanks(p);
        if (*p != ')') return Failure("Syntax error in expression, ) expected");
        ++p;
        int32_t result;
        switch (op) {
        case '+': result = Wrap(int64_t(a) + b); break;
        case '-': result = Wrap(int64_t(a) - b); break;
        case '*': result = Wrap(int64_t(a) * b); break;
        case '/':
            if (b == 0) return Failure("Division by zero in expression");
            result = Wrap(int64_t(a) / b); // INT_MIN / -1 wraps to INT_MIN
            break;
        case '%':
            if (b == 0) return Failure("Division by zero in expression");
            result = Wrap(int64_t(a) % b);
            break;
        default: return Failure("Syntax error in expression, unknown operator");
        }
        if (result == kExprFail) return Failure("Number out of range in expression");
        *cursor = p;
        return result;
    }
    if (IsDigit(*p) || *p == '-') {
        bool negative = false;
        if (*p == '-') {
            negative = true;
            ++p;
        }
        // The digits saturate at the 32-bit limits however many there are.
        int64_t value = 0;
        while (IsDigit(*p)) {
            if (value <= int64_t(INT_MAX) + 1) value = value * 10 + (*p - '0');
            ++p;
        }
        if (negative) value = -value;
        if (value > INT_MAX) value = INT_MAX;
        if (value < INT_MIN) value = INT_MIN;
        // The failure value itself cannot be told from a failure.
        if (value == kExprFail) return Failure("Number out of range in expression");
        *cursor = p;
        return int32_t(value);
    }
    if (*p == '@' || *p == '#') {
        char kind = *p++;
        char* s = NextString(&p);
        if (!s) return kExprFail;
        *cursor = p;
        return kind == '@' ? int32_t(std::strlen(s)) : CountWords(s);
    }
    return Failure("Syntax error in expression");
}

int16_t NextOp(char** cursor) {
    char* p = SkipBlanks(*cursor);
    char c = p[0], d = c ? p[1] : 0;
    int16_t code = kOpFail;
    int length = 1;
    switch (c) {
    case '<':
        if (d == '=')
            code = kOpLessEq, length = 2;
        else if (d == '>')
            code = kOpNotEqual, length = 2;
        else
            code = kOpLess;
        break;
    case '>':
        if (d == '=')
            code = kOpGreaterEq, length = 2;
        else if (d == '<')
            code = kOpNotEqual, length = 2;
        else
            code = kOpGreater;
        break;
    case '=':
        if (d == '<')
            code = kOpLessEq, length = 2;
        else if (d == '>')
            code = kOpGreaterEq, length = 2;
        else if (d == '=')
            code = kOpEqual, length = 2;
        else
            code = kOpEqual;
        break;
    case '!':
        if (d == '=') code = kOpNotEqual, length = 2;
        break;
    case 0: length = 0; break;
    default: break;
    }
    *cursor = p + length;
    if (code == kOpFail) errormsg = "Bad operator";
    return code;
}

constexpr int32_t kMaxDurationSeconds = 100'000'000;

int32_t NextDuration(char** cursor) {
    char* p = *cursor;
    int32_t value = NextExpr(&p);
    if (value == kExprFail) return Failure("Bad duration");
    // A negative count would wrap to years of waiting, and one of more than
    // three years would overflow the tick count: both are refused.
    if (value < 0) return Failure("Negative duration");
    if (value > kMaxDurationSeconds) return Failure("Duration too long");
    uint32_t t = uint32_t(value) * 10u;
    if (*p == '.') {
        ++p;
        if (IsDigit(*p)) t += uint32_t(*p++ - '0');
    }
    *cursor = p;
    return int32_t(t + 8 * (t / 10) + 2 * (t / 100) + (6 * (t / 100)) / 100);
}

int16_t NextColor(char** cursor) {
    static const char* const kNames[16] = {
        "black",    "blue",         "green",    "cyan",      "red",        "magenta",
        "brown",    "lightgray",    "darkgray", "lightblue", "lightgreen", "lightcyan",
        "lightred", "lightmagenta", "yellow",   "white",
    };
    char* p = SkipBlanks(*cursor);
    if (!*p) {
        errormsg = "Color expected";
        return -1;
    }
    if (IsDigit(*p)) {
        int32_t value = NextExpr(&p);
        if (value == kExprFail || value < 0 || value > 255) {
            errormsg = "Bad color value";
            return -1;
        }
        *cursor = p;
        return int16_t(value);
    }
    char* word = NextWord(&p);
    for (int i = 0; i < 16; ++i) {
        if (strcasecmp(word, kNames[i]) == 0) {
            *cursor = p;
            return int16_t(i);
        }
    }
    errormsg = "Bad color name";
    return -1;
}

int NextInterval(char** cursor, int16_t* first, int16_t* last) {
    char* p = *cursor;
    int32_t a = NextExpr(&p);
    if (a == kExprFail) {
        errormsg = "bad range value";
        return 1;
    }
    int32_t b = a;
    if (*p == '-') {
        ++p;
        b = NextExpr(&p);
        if (b == kExprFail) {
            errormsg = "bad range value";
            return 1;
        }
    }
    *first = int16_t(a);
    *last = int16_t(b);
    *cursor = p;
    return 0;
}

int16_t NextHDNum(char** cursor) {
    char* p = *cursor;
    int32_t value = NextExpr(&p);
    if (value == kExprFail || value < 0 || value > 0x7F || SelectPart(value + 0x80, 0) == nullptr) {
        errormsg = "Bad hard-disk number";
        return -1;
    }
    *cursor = p;
    return int16_t(value + 0x80);
}

int NextArchive(char** cursor, char* designator) {
    struct Kind {
        const char* word;
        char letter;
        bool named;
    };
    static const Kind kKinds[] = {
        {"archive", 'A', true}, {"iarchive", 'a', true}, {"dump", 'D', false},
        {"idump", 'd', false},  {"path", 'p', true},
    };
    char* end = NextToken(*cursor);
    char saved = *end;
    *end = 0;
    const Kind* kind = nullptr;
    for (const Kind& k : kKinds)
        if (strcasecmp(token, k.word) == 0) kind = &k;
    *end = saved;
    if (!kind) {
        errormsg = "Archive type expected";
        return 1;
    }
    char* p = end;
    designator[0] = kind->letter;
    designator[1] = 0;
    if (kind->named) {
        char* name = NextString(&p);
        if (!name) return 1;
        designator[1] = '|';
        std::strncpy(designator + 2, name, kDesignatorSize - 3);
        designator[kDesignatorSize - 1] = 0;
    }
    *cursor = p;
    return 0;
}

} // namespace vk
