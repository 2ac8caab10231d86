// The 80x25 text console: ordinary and log output, the hidden log pad, the
// keyboard with its key translation, ESC and the break signal, timed waits,
// the clock and the graphics stubs of this edition.
//
// When standard output is not a terminal no curses is started at all: both
// output paths write plain bytes to standard output, and keys are read from
// standard input when that is not a terminal.
#pragma once

#include <cstdint>

namespace vk {

constexpr int kScreenRows = 25;
constexpr int kScreenCols = 80;
constexpr uint32_t kCaptureSize = 65536;

extern uint8_t TextAttr;
extern uint8_t Logging;        // non-zero while log output is printed
extern uint8_t* LogFileBuff;   // capture buffer (kCaptureSize bytes) or null
extern uint32_t LogFileAvail;  // bytes captured so far, never above kCaptureSize
extern bool Redirected;        // standard output is not a terminal
extern int8_t LogScroll;
extern bool pauselog;
extern bool OffScreen;
extern uint8_t KeyMap[256];
extern uint8_t AltMap[256];
extern volatile int Breaked;

// Raises Logging for its lifetime: output is forced to screen and log.
struct LogScope {
    LogScope() { ++Logging; }
    ~LogScope() { --Logging; }
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;
};

void InitIO();
void PrintChar(uint8_t ch);
void PrintString(const char* s);
void PrintDecWord(uint16_t value, int width);
void PrintHexWord(uint16_t value);
void PrintHexByte(uint8_t value);
void GoOffScreen();
void GoOnScreen();
uint16_t GetTextX();
uint16_t GetTextY();
void SetTextXY(int col, int row);
void FillArea(int col, int row, int width, int height, uint8_t ch, uint8_t attr);

// Prints the message and "\r\n", then ends the program through the exit
// handler (CleanUp and process exit with status 255).
[[noreturn]] void FatalError(const char* message);
// The orderly end of the program; installed by the interpreter.
using ExitHandler = void (*)();
void SetExitHandler(ExitHandler handler);
[[noreturn]] void CallExit();

// Keyboard.
uint8_t Keypressed();
uint8_t GetChar();
inline uint8_t KeyboardStatus() { return 0; }
void SetCatchESC(bool on);
bool GetCatchESC();
inline void CatchALT() {}
void MonitorESC();
void InterceptKeys();
void RestoreKeys();
// True once standard input has ended in headless mode: no key can come.
bool KeysExhausted();

// Time. A tick is 1/18.2 second.
void Delay(uint32_t ticks);
void GetTime(char* buffer);   // "%H:%M:%S", 9 bytes
int GetDate(char* buffer);    // "%y/%m/%d", 9 bytes; returns the weekday
int SetDate(const char* text);
int SetTime(const char* text);
uint16_t ReadDOSTime();
uint16_t ReadDOSDate();
inline void StrokeWatchDog() {}
// Setting the system clock goes through this one function so that tests can
// replace it; it returns 0 on success.
using ClockSetter = int (*)(long long epochSeconds);
void SetClockSetter(ClockSetter setter);

// Graphics: this edition has none.
inline int CheckGraph() { return -1; }
inline int InitGraph(const char*) { return -1; }
inline void CloseGraph() {}
inline void LoadFont(const uint8_t*) {}

// PC code page 850 <-> ISO-8859-1.
extern const uint8_t pc2iso[128];
extern const uint8_t iso2pc[96];

} // namespace vk
