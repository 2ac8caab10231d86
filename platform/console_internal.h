// State shared by the console, keyboard and clock files of the platform
// layer. Not part of the public interface.
#pragma once

#include <cstdint>

namespace vk::detail {

// Unicode glyphs of the PC character set: control-code pictures for 0 to 31
// and 127, the code page 850 layout for 128 to 255.
extern const uint16_t kPcGlyph[256];

// A raw key that is already a PC code (a non-Latin-1 character the PC set
// has) carries this flag above its code.
constexpr int kPcKeyFlag = 0x100000;

// True while the curses screen is running.
bool CursesActive();
// True when keys come from curses (standard input is the terminal).
bool KeysFromCurses();
// Brings the screen up to date (headless: flushes standard output).
void RefreshScreen();
// Reads every waiting key into the key queue; `force` skips the throttle
// that keeps the per-line poll cheap. Handles ESC catching.
void FetchKeys(bool force);
// Runs the pending ESC and break actions.
void HandleEscAndBreak();
// Sleeps until input arrives, the timeout passes (milliseconds, negative:
// none) or a signal comes in.
void WaitInput(int64_t timeoutMs);
// Reads a curses key without waiting (-1: none). Only with CursesActive().
int ReadCursesKey();
// The wait of the log pause: any key (taken) or ESC ends it. Ends the
// program when no key can come.
void WaitPauseKey();
// Milliseconds of the monotonic clock.
int64_t NowMs();

} // namespace vk::detail
