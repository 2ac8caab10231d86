// Common utilities: options, conversions, log output, progress, line input
// with history, wildcard matching, word search and remote-name syntax.
#pragma once

#include <cstdint>

namespace vk {

extern bool IsoLatinMode;
extern uint8_t sgip[4];
extern uint8_t ssip[4];

// 1 when the program's argument line starts with options and one of them is
// "-" followed by the letter. Options end at the first word without "-".
int GetOpt(char letter);
// The same test on a given argument line (null: no options).
int GetOptIn(const char* arguments, char letter);
void ltoa(int32_t value, char* out);   // out: at least 12 bytes
void ultoa(uint32_t value, char* out); // out: at least 11 bytes
void PrintDecLong(uint32_t value);
void PrintHexDword(uint32_t value);
void iptoa(const uint8_t* address, char* out); // out: at least 16 bytes
void PrintIP(const uint8_t* address);
void hwtoa(const uint8_t* bytes, int count, char* out); // out: 3 * count bytes
// Reads "a.b.c.d". A malformed address (a missing ".", a part above 255)
// prints "IP " and the text and ends the program with ": Bad IP address".
void atoip(const char* text, uint8_t* address);
// The same without the fatal end: 0 and the address, or 1. `end` (optional)
// receives the position after the last digit read.
int ScanIP(const char* text, uint8_t* address, const char** end);
void BinToHex(const uint8_t* bytes, char* out, int count); // out: 2 * count + 1
// 1 at the first character that is not a hexadecimal digit (the NUL too).
int HexToBin(char* text, uint8_t* out, int count);
char* StrDup(const char* text); // a copy in a Malloc block

void Log(const char* text);
// Holds back Log output for its lifetime: a probe whose refusal is no news
// when another reading of the same data follows (the partition layer trying
// a second driver) stays silent.
class QuietLog {
  public:
    QuietLog();
    ~QuietLog();
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;
};
// A write failed for want of space (a driver found no free cluster or block,
// the host said ENOSPC or EDQUOT): noted where it is found, taken by the
// command that reports the failure, so that its message can say so.
void NoteDiskFull();
bool TakeDiskFull();
// Formats into a bounded buffer (a longer text is cut at 511 characters) and
// logs it.
void LogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintBack(int n);
void ClearBack(int n);
int Pad(const char* text, int width);
// Percentage as log output, right-aligned in 3 columns, then " %" and the
// cursor back to where the number started. A total of 0 reads as 100 %.
void CountUp(uint32_t done, uint32_t total);
void CountDown(uint32_t remaining, uint32_t total);
// The same, for loops over many small items: a figure is not printed again
// right after itself (nothing printed between), which changes nothing on
// screen and saves a write per item.
void CountUpChanged(uint32_t done, uint32_t total);
void CountDownChanged(uint32_t remaining, uint32_t total);
void PrintFileSize(uint32_t bytes);
void DebugPoint(const char* label);
void ImportText(char* buffer, uint32_t length);

constexpr int kHistorySize = 512;
// Line editor with history (Up/Down); the buffer gets at most size - 1
// characters and a NUL. Empty lines are not kept in the history.
void InputString(char* buffer, int size);
void InputPasswd(char* buffer, int size);
void ClearHistory();

// Wildcard match: "*" any run, "?" one character. flags bits 0-7: the
// character that ends the text besides NUL; kMatchIgnoreCase folds ASCII
// letters. A "*" followed by "?" is rewritten in the pattern as "?*".
constexpr int kMatchIgnoreCase = 256;
int MatchExpr(const char* text, char* pattern, int flags);
void FindWord(const char* word, const char* text, int ignoreCase, int* found);

// [gateway-ip "/"] server-ip ["@" port] ":" path. A name without ":" (or
// whose server part does not start with a digit) is a plain path.
struct RemoteName {
    bool hasGateway = false;
    bool hasServer = false;
    uint8_t gateway[4] = {};
    uint8_t server[4] = {};
    uint16_t port = 0;
    const char* path = nullptr; // points into the name
};
// Non-fatal parse: 0, or 1 with `badIP` (optional) pointing at the text of
// the malformed address.
int SplitRemoteName(const char* name, RemoteName* out, const char** badIP);
// Splits a remote name into sgip/ssip (gateway and server pointers are set
// to them, or null) and the port; returns the path part. A malformed address
// is fatal as in atoip.
const char* ParseRemoteFilename(const char* name, uint8_t** gateway, uint8_t** server,
                                uint16_t* port);

} // namespace vk
