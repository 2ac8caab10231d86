// Number and address conversions, log output helpers, progress
// percentages, word search and the syntax of remote file names.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

bool IsoLatinMode = true;
uint8_t sgip[4];
uint8_t ssip[4];

namespace {

constexpr char kHexDigit[] = "0123456789ABCDEF";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Prints n copies of a piece, at most 8 per string.
void PrintRepeated(const char* piece, int n) {
    char text[8 * 3 + 1];
    size_t len = std::strlen(piece);
    while (n > 0) {
        int group = n < 8 ? n : 8;
        size_t used = 0;
        for (int i = 0; i < group; ++i, used += len)
            std::memcpy(text + used, piece, len);
        text[used] = 0;
        PrintString(text);
        n -= group;
    }
}

} // namespace

void ltoa(int32_t value, char* out) {
    std::snprintf(out, 12, "%ld", static_cast<long>(value));
}

void ultoa(uint32_t value, char* out) {
    std::snprintf(out, 11, "%lu", static_cast<unsigned long>(value));
}

void PrintDecLong(uint32_t value) {
    char text[11];
    ultoa(value, text);
    PrintString(text);
}

void PrintHexDword(uint32_t value) {
    char text[9];
    for (int i = 0; i < 8; ++i)
        text[i] = kHexDigit[(value >> (28 - 4 * i)) & 15];
    text[8] = 0;
    PrintString(text);
}

void iptoa(const uint8_t* address, char* out) {
    std::snprintf(out, 16, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
}

void PrintIP(const uint8_t* address) {
    char text[16];
    iptoa(address, text);
    PrintString(text);
}

void hwtoa(const uint8_t* bytes, int count, char* out) {
    char* p = out;
    for (int i = 0; i < count; ++i) {
        if (i) *p++ = ' ';
        *p++ = kHexDigit[bytes[i] >> 4];
        *p++ = kHexDigit[bytes[i] & 15];
    }
    *p = 0;
}

int ScanIP(const char* text, uint8_t* address, const char** end) {
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*p != '.') return 1;
            ++p;
        }
        unsigned value = 0;
        int digits = 0;
        for (; IsDigit(*p); ++p, ++digits) {
            value = value * 10 + unsigned(*p - '0');
            if (value > 255) return 1;
        }
        if (!digits) return 1;
        address[part] = uint8_t(value);
    }
    if (end) *end = p;
    return 0;
}

namespace {

[[noreturn]] void BadIP(const char* text) {
    GoOnScreen();
    PrintString("IP ");
    PrintString(text);
    FatalError(": Bad IP address");
}

} // namespace

void atoip(const char* text, uint8_t* address) {
    if (ScanIP(text, address, nullptr) != 0) BadIP(text);
}

void BinToHex(const uint8_t* bytes, char* out, int count) {
    for (int i = 0; i < count; ++i) {
        out[2 * i] = kHexDigit[bytes[i] >> 4];
        out[2 * i + 1] = kHexDigit[bytes[i] & 15];
    }
    out[count > 0 ? 2 * count : 0] = 0;
}

int HexToBin(char* text, uint8_t* out, int count) {
    for (int i = 0; i < count; ++i) {
        int high = HexValue(text[2 * i]);
        if (high < 0) return 1;
        int low = HexValue(text[2 * i + 1]);
        if (low < 0) return 1;
        out[i] = uint8_t(high * 16 + low);
    }
    return 0;
}

char* StrDup(const char* text) {
    size_t length = std::strlen(text);
    if (length / kParagraph + 1 > 0xFFFF) FatalError("Malloc failed, not enough memory");
    char* copy = static_cast<char*>(Malloc(uint16_t(length / kParagraph + 1)));
    std::memcpy(copy, text, length + 1);
    return copy;
}

namespace {
bool diskFull = false;
} // namespace

void NoteDiskFull() {
    diskFull = true;
}

bool TakeDiskFull() {
    bool was = diskFull;
    diskFull = false;
    return was;
}

namespace {
int quietLevel = 0;
} // namespace

QuietLog::QuietLog() {
    ++quietLevel;
}

QuietLog::~QuietLog() {
    --quietLevel;
}

void Log(const char* text) {
    if (quietLevel > 0) return;
    LogScope log;
    PrintString(text);
}

void LogFormat(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Log(text);
}

void PrintBack(int n) {
    PrintRepeated("\b", n);
}

void ClearBack(int n) {
    PrintRepeated("\b \b", n);
}

int Pad(const char* text, int width) {
    int length = int(std::strlen(text));
    PrintRepeated(" ", width - length);
    return length;
}

namespace {

uint32_t Percent(uint32_t done, uint32_t total) {
    if (total > 16777216) {
        done /= 256;
        total /= 256;
    }
    // Nothing to do is all done: a total of 0 shows 100 %.
    uint64_t percent = total ? uint64_t(done) * 100 / total : 100;
    return percent > 100 ? 100 : uint32_t(percent);
}

void ShowPercent(uint32_t percent) {
    char text[16];
    std::snprintf(text, sizeof text, "%3u %%\b\b\b\b\b", unsigned(percent));
    Log(text);
}

} // namespace

void CountUp(uint32_t done, uint32_t total) {
    ShowPercent(Percent(done, total));
}

void CountUpChanged(uint32_t done, uint32_t total) {
    // The same figure right after itself would change nothing on screen.
    static uint32_t lastPercent = UINT32_MAX, printedAfter = 0;
    uint32_t percent = Percent(done, total);
    if (percent == lastPercent && PrintedChars == printedAfter) return;
    ShowPercent(percent);
    lastPercent = percent;
    printedAfter = PrintedChars;
}

void CountDown(uint32_t remaining, uint32_t total) {
    CountUp(remaining > total ? 0 : total - remaining, total);
}

void CountDownChanged(uint32_t remaining, uint32_t total) {
    CountUpChanged(remaining > total ? 0 : total - remaining, total);
}

void PrintFileSize(uint32_t bytes) {
    char text[16];
    if (bytes < 65536)
        std::snprintf(text, sizeof text, "%luBytes", static_cast<unsigned long>(bytes));
    else if (bytes < 67108864)
        std::snprintf(text, sizeof text, "%luKB", static_cast<unsigned long>(bytes / 1024));
    else
        std::snprintf(text, sizeof text, "%luMB", static_cast<unsigned long>(bytes / 1048576));
    PrintString(text);
}

void DebugPoint(const char* label) {
    char size[12];
    ultoa(HeapSize() >> 6, size);
    LogScope log;
    PrintString("DEBUG: [");
    PrintString(label);
    PrintString("]: ");
    PrintString(size);
    PrintString("K\r\n");
}

void ImportText(char* buffer, uint32_t length) {
    if (!IsoLatinMode) return;
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t c = uint8_t(buffer[i]);
        if (c > 159) buffer[i] = char(IsoToPc(c));
    }
}

void FindWord(const char* word, const char* text, int ignoreCase, int* found) {
    *found = 0;
    size_t wordLength = std::strlen(word);
    const char* p = text;
    while (*p) {
        while (IsSpace(*p))
            ++p;
        const char* start = p;
        while (*p && !IsSpace(*p))
            ++p;
        size_t length = size_t(p - start);
        if (length != wordLength || length == 0) continue;
        size_t i = 0;
        for (; i < length; ++i) {
            char a = start[i], b = word[i];
            if (ignoreCase ? Lower(a) != Lower(b) : a != b) break;
        }
        if (i == length) {
            *found = 1;
            return;
        }
    }
}

int SplitRemoteName(const char* name, RemoteName* out, const char** badIP) {
    *out = RemoteName{};
    const char* rest = name;
    const char* colon = std::strchr(name, ':');
    const char* slash = std::strchr(name, '/');
    // A gateway only precedes a server, so it needs a ":" after the "/".
    if (colon && slash && slash < colon && IsDigit(name[0])) {
        if (ScanIP(name, out->gateway, nullptr) != 0) {
            if (badIP) *badIP = name;
            return 1;
        }
        out->hasGateway = true;
        rest = slash + 1;
    }
    if (*rest == ':') ++rest;
    const char* pathColon = std::strchr(rest, ':');
    if (!pathColon || !IsDigit(*rest)) {
        out->path = rest;
        return 0;
    }
    if (ScanIP(rest, out->server, nullptr) != 0) {
        if (badIP) *badIP = rest;
        return 1;
    }
    out->hasServer = true;
    const char* at = std::strchr(rest, '@');
    if (at && at < pathColon) {
        unsigned port = 0;
        for (const char* p = at + 1; IsDigit(*p) && port <= 0xFFFF; ++p)
            port = port * 10 + unsigned(*p - '0');
        out->port = uint16_t(port > 0xFFFF ? 0xFFFF : port);
    }
    out->path = pathColon + 1;
    return 0;
}

const char* ParseRemoteFilename(const char* name, uint8_t** gateway, uint8_t** server,
                                uint16_t* port) {
    RemoteName parsed;
    const char* bad = nullptr;
    if (SplitRemoteName(name, &parsed, &bad) != 0) {
        // Show the address part only.
        char text[64];
        size_t n = std::strcspn(bad, "/@:");
        if (n >= sizeof text) n = sizeof text - 1;
        std::memcpy(text, bad, n);
        text[n] = 0;
        BadIP(text);
    }
    *gateway = *server = nullptr;
    *port = parsed.port;
    if (parsed.hasGateway) {
        std::memcpy(sgip, parsed.gateway, 4);
        *gateway = sgip;
    }
    if (parsed.hasServer) {
        std::memcpy(ssip, parsed.server, 4);
        *server = ssip;
    }
    return parsed.path;
}

} // namespace vk
