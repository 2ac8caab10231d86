// The 80x25 text console: ordinary and log output, the hidden log pad, the
// keyboard with its key translation, ESC and the break signal, timed waits,
// the clock and the graphics stubs of this edition.
//
// When standard output is not a terminal no curses is started at all: both
// output paths write plain bytes to standard output, and keys are read from
// standard input.
#pragma once

#include <cstdint>

namespace vk {

constexpr int kScreenRows = 25;
constexpr int kScreenCols = 80;
constexpr uint32_t kCaptureSize = 65536;

extern uint8_t TextAttr;
extern uint8_t Logging;       // non-zero while log output is printed
extern uint8_t* LogFileBuff;  // capture buffer (kCaptureSize bytes) or null
extern uint32_t LogFileAvail; // bytes captured so far, never above kCaptureSize
extern bool Redirected;       // standard output is not a terminal
extern int8_t LogScroll;      // log lines since the last pause
extern bool pauselog;         // pause the shown log every screenful
extern bool OffScreen;        // the log is hidden
extern uint16_t delayRefresh; // while non-zero, single characters do not refresh
extern uint32_t PrintedChars; // characters printed so far (wraps)
extern uint8_t KeyMap[256];
extern uint8_t AltMap[256];
extern volatile int Breaked; // an interrupt signal arrived

// Raises Logging for its lifetime: output is forced to screen and log.
struct LogScope {
    LogScope() { ++Logging; }
    ~LogScope() { --Logging; }
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;
};

// Set-up: decides between the curses screen and plain output, and starts
// curses when standard output is a terminal. Safe to call more than once.
void InitIO();
void PrintChar(uint8_t ch);
void PrintString(const char* s);
void PrintDecWord(uint16_t value, int width);
void PrintHexWord(uint16_t value);
void PrintHexByte(uint8_t value);
// Hides the log behind an off-screen pad / shows it again. Showing the log
// also restarts the pause count.
void GoOffScreen();
void GoOnScreen();
uint16_t GetTextX(); // 0xFFFF without a screen
uint16_t GetTextY(); // 0xFFFF without a screen
void SetTextXY(int col, int row);
void FillArea(int col, int row, int width, int height, uint8_t ch, uint8_t attr);

// Shows the log, prints the message and "\r\n" on the screen, then ends the
// program through the exit handler (CleanUp and process exit with status 255).
[[noreturn]] void FatalError(const char* message);
// The orderly end of the program; installed by the interpreter.
using ExitHandler = void (*)();
void SetExitHandler(ExitHandler handler);
// Runs the exit handler; without one (or if it returns) restores the
// terminal and exits with status 255.
[[noreturn]] void CallExit();

// Keyboard. Keys are PC codes 1 to 255: Enter 13, Backspace 8, Up 16,
// Down 14, Left 2, Right 6, Home 1, End 5, Delete 4.
//
// Keypressed() looks at the next key without taking it: it returns the same
// key until GetChar() takes it, or 0 when no key is waiting. It also runs the
// MonitorESC() poll, so it is cheap enough to call after every script line.
uint8_t Keypressed();
// Waits (sleeping) for a key and takes it. When no key can ever come (input
// ended), ends the program through FatalError.
uint8_t GetChar();
void SetCatchESC(bool on);
bool GetCatchESC();
inline void CatchALT() {}
// The poll of every long loop: ESC shows the hidden log (when ESC catching is
// on), and a pending break signal ends the program in order.
void MonitorESC();
void InterceptKeys(); // installs the SIGINT handler
// Returns the terminal to the shell; the last screen is left visible. Safe to
// call more than once.
void RestoreKeys();
// True once standard input has ended and no key is left: no key can come.
bool KeysExhausted();

// Time. A tick is 1/18.2 second. Delay sleeps (it does not spin) and reacts
// to ESC and the break signal at once.
void Delay(uint32_t ticks);
void GetTime(char* buffer); // "%H:%M:%S", 9 bytes, local time
int GetDate(char* buffer);  // "%y/%m/%d", 9 bytes, local time; returns the weekday
// "y/m/d" (years since 1900; two-digit years below 69 are 2000 to 2068) and
// "h:m:s", in local time. Return 0 on success, non-zero for a malformed or
// out-of-range value or when the clock cannot be set.
int SetDate(const char* text);
int SetTime(const char* text);
uint16_t ReadDOSTime();
uint16_t ReadDOSDate();
inline void StrokeWatchDog() {}
// Setting the system clock goes through this one function so that tests can
// replace it; it returns 0 on success. Null restores the default.
using ClockSetter = int (*)(long long epochSeconds);
void SetClockSetter(ClockSetter setter);

// Graphics: this edition has none.
inline int CheckGraph() {
    return -1;
}
inline void LoadFont(const uint8_t*) {}

// The progress line of long operations (restores, archive creation and
// copies, downloads): the terminal's bottom row shows a label, the percent
// done, the speed in MB/s and the time left, redrawn a few times a second,
// and gets its own content back when the operation ends. Without a terminal
// nothing is shown and the output stays as it is. One meter at a time: a
// start while one runs (or without a terminal, or with a total of 0)
// returns false and the caller does not own the line.
bool ProgressStart(uint64_t total, const char* label);
void ProgressAdvance(uint64_t bytes);
void ProgressStop();

// Owns the progress line for its lifetime when it could start it, so that
// every way out of an operation removes the line.
class ProgressScope {
  public:
    ProgressScope(uint64_t total, const char* label) : owner_(ProgressStart(total, label)) {}
    ~ProgressScope() {
        if (owner_) ProgressStop();
    }
    void Advance(uint64_t bytes) {
        if (owner_) ProgressAdvance(bytes);
    }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

  private:
    bool owner_;
};

// PC code page 850 <-> ISO-8859-1. In pc2iso, 0x80 marks a character without
// equivalent; in iso2pc, 0x00 does.
extern const uint8_t pc2iso[128];
extern const uint8_t iso2pc[96];
// ISO-8859-1 to PC code page for one byte: iso2pc, completed by the code
// page 850 layout where iso2pc has no entry; '?' where neither has one.
uint8_t IsoToPc(uint8_t iso);
// Fills a 128-entry long-name code page with its default: the Unicode values
// of code page 850 for the bytes 128 to 255, except byte 0x9F, which maps
// to 0x0092 (the value the ISO-8859-1 table gives it).
void LoadDefaultCodePage(uint16_t* table);
// The long-name code page in use: 128 character codes for the bytes 128 to
// 255, the default until a script loads another (loadcodepage).
extern uint16_t codepage[128];

} // namespace vk
