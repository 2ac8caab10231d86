// Common utilities: options, conversions, log output, progress, line input
// with history, wildcard matching, word search and remote-name syntax.
#pragma once

#include <cstdint>

namespace vk {

extern bool IsoLatinMode;
extern uint8_t sgip[4];
extern uint8_t ssip[4];

int GetOpt(char letter);
void ltoa(int32_t value, char* out);    // out: at least 12 bytes
void ultoa(uint32_t value, char* out);  // out: at least 11 bytes
void PrintDecLong(uint32_t value);
void PrintHexDword(uint32_t value);
void iptoa(const uint8_t* address, char* out);  // out: at least 16 bytes
void PrintIP(const uint8_t* address);
void hwtoa(const uint8_t* bytes, int count, char* out);
void atoip(const char* text, uint8_t* address);  // fatal on a bad address
void BinToHex(const uint8_t* bytes, char* out, int count);
int HexToBin(char* text, uint8_t* out, int count);
char* StrDup(const char* text);  // a copy in a Malloc block

void Log(const char* text);
void PrintBack(int n);
void ClearBack(int n);
int Pad(const char* text, int width);
void CountUp(uint32_t done, uint32_t total);
void CountDown(uint32_t remaining, uint32_t total);
void PrintFileSize(uint32_t bytes);
void DebugPoint(const char* label);
void ImportText(char* buffer, uint32_t length);

constexpr int kHistorySize = 512;
void InputString(char* buffer, int size);
void InputPasswd(char* buffer, int size);
void ClearHistory();

constexpr int kMatchIgnoreCase = 256;
int MatchExpr(const char* text, char* pattern, int flags);
void FindWord(const char* word, const char* text, int ignoreCase, int* found);

// Splits [gateway "/"] server ["@" port] ":" path; returns the path part.
const char* ParseRemoteFilename(const char* name, uint8_t** gateway, uint8_t** server,
                                uint16_t* port);

} // namespace vk
