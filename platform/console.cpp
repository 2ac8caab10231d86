// The text console. With standard output on a terminal, an 80x25 curses
// screen (a pad, so that a smaller terminal shows the part that fits) and a
// second pad that takes the log while it is hidden. Otherwise no curses at
// all: every character goes to standard output as a plain byte.
#define NCURSES_WIDECHAR 1
#include <langinfo.h>
#include <ncursesw/curses.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "console_internal.h"
#include "platform/console.h"
#include "platform/memory.h"

namespace vk {

uint8_t TextAttr = 0;
uint8_t Logging = 0;
uint8_t* LogFileBuff = nullptr;
uint32_t LogFileAvail = 0;
bool Redirected = false;
int8_t LogScroll = 0;
bool pauselog = true;
bool OffScreen = false;
uint16_t delayRefresh = 0;
uint32_t PrintedChars = 0;
uint8_t KeyMap[256];
uint8_t AltMap[256];

namespace {

void SetIdentityMaps() {
    for (int i = 0; i < 256; ++i)
        KeyMap[i] = AltMap[i] = uint8_t(i);
}
// Keys map to themselves from the start, also for code that never calls InitIO.
const bool mapsReady = (SetIdentityMaps(), true);

// "Press any key..." and its eraser, each followed by 16 backspaces.
constexpr char kPressKey[] = "Press any key...\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";
constexpr char kClearKey[] = "                \b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";

bool ioReady = false;
bool cursesOn = false;
bool keysCurses = false;
bool utf8 = false;
bool colours = false;
bool brightByBold = false; // fewer than 16 colours: bright foregrounds are bold
int pairCount = 0;
SCREEN* term = nullptr;
WINDOW* screen = nullptr;      // what the terminal shows
WINDOW* scrbuffer = nullptr;   // the hidden log
WINDOW* progressBar = nullptr; // the progress line while a meter runs
ExitHandler exitHandler = nullptr;

int VisibleRows() {
    return std::min(LINES, kScreenRows);
}
int VisibleCols() {
    return std::min(COLS, kScreenCols);
}

// PC colours count blue=1, green=2, red=4; curses counts red=1, blue=4.
short CursesColour(int pc, bool bright) {
    short c = short((pc & 2) | ((pc & 1) << 2) | ((pc & 4) >> 2));
    return (bright && (pc & 8)) ? short(c + 8) : c;
}

void DefinePairs() {
    colours = has_colors() && start_color() == OK;
    if (!colours) return;
    bool sixteen = COLORS >= 16;
    brightByBold = !sixteen;
    pairCount = std::min(256, COLOR_PAIRS);
    for (int i = 1; i < pairCount; ++i)
        init_pair(short(i), CursesColour(i & 15, sixteen),
                  CursesColour((i >> 4) & (sixteen ? 15 : 7), sixteen));
}

wchar_t Glyph(uint8_t ch) {
    if (utf8) return wchar_t(detail::kPcGlyph[ch]);
    if (ch < 0x20 || ch == 0x7F) return L' ';
    if (ch < 0x80) return wchar_t(ch);
    uint8_t iso = pc2iso[ch - 0x80];
    return iso >= 0xA0 ? wchar_t(iso) : L'?';
}

void MakeCell(uint8_t ch, uint8_t attr, cchar_t* cell) {
    wchar_t text[2] = {Glyph(ch), 0};
    attr_t a = A_NORMAL;
    short pair = 0;
    if (colours && attr != 0 && attr < pairCount) {
        pair = attr;
        if (brightByBold && (attr & 8)) a |= A_BOLD;
    }
    setcchar(cell, text, a, pair, nullptr);
}

// Puts one character into a window the way a PC screen does: backspace one
// column left, line feed one row down keeping the column (scrolling on the
// last row), carriage return to column 0, tab to the next tab stop,
// anything else drawn as a glyph.
void Render(WINDOW* w, uint8_t ch, uint8_t attr) {
    int y, x;
    getyx(w, y, x);
    switch (ch) {
    case 8:
        if (x > 0) wmove(w, y, x - 1);
        break;
    case 10:
        if (y >= kScreenRows - 1)
            wscrl(w, 1);
        else
            wmove(w, y + 1, x);
        break;
    case 13: wmove(w, y, 0); break;
    case 9: // to the next tab stop, as a terminal does
        wmove(w, y, std::min((x / 8 + 1) * 8, kScreenCols - 1));
        break;
    default: {
        cchar_t cell;
        MakeCell(ch, attr, &cell);
        wadd_wch(w, &cell);
    }
    }
}

void RenderText(WINDOW* w, const char* s) {
    for (; *s; ++s)
        Render(w, uint8_t(*s), 0);
}

void EmitPlain(uint8_t ch) {
    std::putc(ch, stdout);
    if (!delayRefresh) std::fflush(stdout);
}

bool progressHidden = false; // the pause prompt takes the bottom row

// A full screen of log has gone by: wait for a key on the bottom row.
void PauseLog() {
    progressHidden = true;
    wscrl(screen, 1);
    wmove(screen, kScreenRows - 1, 0);
    RenderText(screen, kPressKey);
    detail::RefreshScreen();
    detail::WaitPauseKey();
    RenderText(screen, kClearKey);
    progressHidden = false;
    detail::RefreshScreen();
}

// The text of the screen, rows ended by "\n", trailing blanks dropped.
std::string ScreenText() {
    std::string text, row;
    size_t keep = 0;
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (int y = 0; y < kScreenRows; ++y) {
        row.clear();
        for (int x = 0; x < kScreenCols; ++x) {
            cchar_t cell;
            wchar_t wc[CCHARW_MAX + 1] = {};
            attr_t a;
            short pair;
            if (mvwin_wch(screen, y, x, &cell) == ERR ||
                getcchar(&cell, wc, &a, &pair, nullptr) == ERR || wc[0] == 0)
                wc[0] = L' ';
            size_t n = std::wcrtomb(bytes, wc[0], &state);
            if (n == size_t(-1)) {
                state = {};
                row += '?';
            } else {
                row.append(bytes, n);
            }
        }
        row.erase(row.find_last_not_of(' ') + 1);
        text += row;
        text += '\n';
        if (!row.empty()) keep = text.size();
    }
    text.resize(keep);
    return text;
}

void RestoreAtExit() {
    RestoreKeys();
}

bool StartCurses() {
    // Curses needs the terminal's character set. For a UTF-8 terminal the
    // neutral C.UTF-8 is taken rather than the user's own locale, so that
    // letter case and character classes stay those of plain ASCII for the
    // rest of the program (a Turkish locale, for one, upper-cases "i" to a
    // character outside ASCII).
    std::setlocale(LC_CTYPE, "");
    utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    if (utf8 && !std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "");
    term = newterm(nullptr, stdout, stdin);
    if (!term) return false;
    set_term(term);
    set_escdelay(25);
    DefinePairs();
    cbreak();
    noecho();
    nonl();
    screen = newpad(kScreenRows, kScreenCols);
    if (!screen) {
        endwin();
        delscreen(term);
        term = nullptr;
        return false;
    }
    intrflush(screen, FALSE);
    keypad(screen, TRUE);
    nodelay(screen, TRUE);
    scrollok(screen, TRUE);
    keysCurses = isatty(STDIN_FILENO);
    cursesOn = true;
    std::atexit(RestoreAtExit);
    detail::RefreshScreen();
    return true;
}

} // namespace

namespace detail {

bool CursesActive() {
    return cursesOn;
}
bool KeysFromCurses() {
    return cursesOn && keysCurses;
}

void RefreshScreen() {
    if (!cursesOn) {
        std::fflush(stdout);
        return;
    }
    pnoutrefresh(screen, 0, 0, 0, 0, VisibleRows() - 1, VisibleCols() - 1);
    // The progress line lies over the screen's bottom row without being
    // part of it: the row's own content comes back when the line goes.
    if (progressBar && !progressHidden) {
        touchwin(progressBar);
        pnoutrefresh(progressBar, 0, 0, VisibleRows() - 1, 0, VisibleRows() - 1, VisibleCols() - 1);
    }
    doupdate();
}

int ReadCursesKey() {
    wint_t wc = 0;
    int r = wget_wch(screen, &wc);
    if (r == ERR) return -1;
    if (r == KEY_CODE_YES) {
        if (wc == KEY_RESIZE) {
            clearok(curscr, TRUE);
            RefreshScreen();
            return -2;
        }
        return int(wc);
    }
    if (wc < 256) return int(wc);
    // A character outside Latin-1: take it if the PC character set has it.
    for (int pc = 0x80; pc < 0x100; ++pc)
        if (kPcGlyph[pc] == wc) return kPcKeyFlag | pc;
    return -2;
}

} // namespace detail

void InitIO() {
    if (ioReady) return;
    ioReady = true;
    SetIdentityMaps();
    struct winsize size;
    Redirected = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0;
    if (!Redirected && !StartCurses()) Redirected = true;
}

void PrintChar(uint8_t ch) {
    ++PrintedChars;
    uint8_t out = ch >= 0x80 ? pc2iso[ch - 0x80] : ch;
    if (ch == 7) {
        if (cursesOn) beep();
        return;
    }
    if (Logging) {
        if (LogFileBuff) {
            // The capture buffer is full at kCaptureSize: later bytes are dropped.
            if (LogFileAvail < kCaptureSize) LogFileBuff[LogFileAvail++] = out;
            return;
        }
        if (!cursesOn) {
            EmitPlain(out);
            return;
        }
        if (ch == '\n' && ++LogScroll > kScreenRows - 2) {
            if (!OffScreen && pauselog) {
                LogScroll = 0;
                PauseLog();
                return;
            }
            LogScroll = kScreenRows - 2;
        }
        if (OffScreen && scrbuffer) {
            Render(scrbuffer, ch, 0);
            return;
        }
        Render(screen, ch, 0);
    } else {
        if (!cursesOn) {
            EmitPlain(out);
            return;
        }
        Render(screen, ch, TextAttr);
    }
    if (!delayRefresh) detail::RefreshScreen();
}

void PrintString(const char* s) {
    if (!s) return;
    ++delayRefresh;
    for (; *s; ++s)
        PrintChar(uint8_t(*s));
    --delayRefresh;
    if (!delayRefresh) detail::RefreshScreen();
}

void PrintDecWord(uint16_t value, int width) {
    char digits[6];
    int n = std::snprintf(digits, sizeof digits, "%u", unsigned(value));
    width = std::clamp(width, n, 8);
    char text[9];
    std::memset(text, '0', sizeof text);
    std::memcpy(text + width - n, digits, size_t(n));
    text[width] = 0;
    PrintString(text);
}

namespace {
constexpr char kHexDigit[] = "0123456789ABCDEF";
}

void PrintHexWord(uint16_t value) {
    ++delayRefresh;
    for (int shift = 12; shift >= 0; shift -= 4)
        PrintChar(uint8_t(kHexDigit[(value >> shift) & 15]));
    --delayRefresh;
}

void PrintHexByte(uint8_t value) {
    ++delayRefresh;
    PrintChar(uint8_t(kHexDigit[value >> 4]));
    PrintChar(uint8_t(kHexDigit[value & 15]));
    --delayRefresh;
}

void GoOffScreen() {
    if (OffScreen) return;
    if (cursesOn) {
        scrbuffer = newpad(kScreenRows, kScreenCols);
        if (!scrbuffer) return; // no pad: the log simply stays on screen
        scrollok(scrbuffer, TRUE);
        overwrite(screen, scrbuffer);
        int y, x;
        getyx(screen, y, x);
        wmove(scrbuffer, y, x);
    }
    OffScreen = true;
}

void GoOnScreen() {
    if (!OffScreen) return;
    OffScreen = false;
    // What the user sees now is a full screen of log: count anew.
    LogScroll = 0;
    if (!cursesOn || !scrbuffer) return;
    overwrite(scrbuffer, screen);
    int y, x;
    getyx(scrbuffer, y, x);
    wmove(screen, y, x);
    delwin(scrbuffer);
    scrbuffer = nullptr;
    detail::RefreshScreen();
}

uint16_t GetTextX() {
    return cursesOn ? uint16_t(getcurx(screen)) : 0xFFFF;
}
uint16_t GetTextY() {
    return cursesOn ? uint16_t(getcury(screen)) : 0xFFFF;
}

void SetTextXY(int col, int row) {
    if (!cursesOn) return;
    wmove(screen, std::clamp(row, 0, kScreenRows - 1), std::clamp(col, 0, kScreenCols - 1));
    detail::RefreshScreen();
}

void FillArea(int col, int row, int width, int height, uint8_t ch, uint8_t attr) {
    if (!cursesOn) return;
    int x0 = std::max(col, 0), y0 = std::max(row, 0);
    int x1 = std::min(col + width, kScreenCols), y1 = std::min(row + height, kScreenRows);
    if (x0 >= x1 || y0 >= y1) return;
    cchar_t cells[kScreenCols];
    for (int i = 0; i < x1 - x0; ++i)
        MakeCell(ch, attr, &cells[i]);
    int y, x;
    getyx(screen, y, x);
    // Cells are written without moving the cursor, so the bottom-right
    // corner does not scroll the screen.
    for (int r = y0; r < y1; ++r)
        mvwadd_wchnstr(screen, r, x0, cells, x1 - x0);
    wmove(screen, y, x);
    detail::RefreshScreen();
}

void SetExitHandler(ExitHandler handler) {
    exitHandler = handler;
}

void CallExit() {
    static bool exiting = false;
    if (exitHandler && !exiting) {
        exiting = true;
        exitHandler();
    }
    RestoreKeys();
    std::exit(255);
}

void FatalError(const char* message) {
    static bool fatal = false;
    if (fatal) CallExit(); // a second failure while stopping: just stop
    fatal = true;
    delayRefresh = 0;
    pauselog = false; // nothing waits for a key while the program stops
    // The program ends: a running log capture ends with it, so that what
    // the clean-up logs is seen.
    Free(LogFileBuff);
    LogFileBuff = nullptr;
    GoOnScreen();
    // Shown as ordinary output in default colours: never captured, never
    // paused, never drawn in an unreadable attribute.
    uint8_t logging = Logging, attr = TextAttr;
    Logging = 0;
    TextAttr = 0;
    PrintString(message);
    PrintString("\r\n");
    Logging = logging;
    TextAttr = attr;
    CallExit();
}

// Progress line -------------------------------------------------------------

namespace {

struct Meter {
    uint64_t total = 0;
    uint64_t done = 0;
    int64_t started = 0;
    int64_t drawn = 0;
    char label[32] = {};
} meter;

constexpr int64_t kRedrawMs = 200;

void DrawProgress() {
    const int64_t now = detail::NowMs();
    meter.drawn = now;
    const uint64_t done = std::min(meter.done, meter.total);
    const int percent = meter.total ? int(done * 100 / meter.total) : 0;
    const double seconds = double(now - meter.started) / 1000.0;
    char speed[16] = "    -- MB/s";
    char left[24] = "--:-- left";
    if (seconds >= 0.5 && done > 0) {
        double rate = double(done) / seconds;
        std::snprintf(speed, sizeof speed, "%6.1f MB/s", rate / 1048576.0);
        uint64_t rest = uint64_t(double(meter.total - done) / rate + 0.5);
        if (rest >= 100 * 3600) rest = 100 * 3600 - 1;
        std::snprintf(left, sizeof left, "%2u:%02u left", unsigned(rest / 60), unsigned(rest % 60));
    }
    constexpr int kBarCells = 20;
    char bar[kBarCells + 1];
    const int full = percent * kBarCells / 100;
    for (int i = 0; i < kBarCells; ++i)
        bar[i] = i < full ? '#' : '.';
    bar[kBarCells] = 0;
    // Room for the longest fields; the screen shows what fits in its width.
    char text[128];
    std::snprintf(text, sizeof text, " %-24.24s [%s] %3d%%  %s  %s", meter.label, bar, percent,
                  speed, left);
    const int width = VisibleCols();
    werase(progressBar);
    wattrset(progressBar, A_REVERSE);
    mvwaddnstr(progressBar, 0, 0, text, width);
    for (int x = int(std::strlen(text)); x < width; ++x)
        mvwaddch(progressBar, 0, x, ' ');
    detail::RefreshScreen();
}

} // namespace

bool ProgressStart(uint64_t total, const char* label) {
    if (!cursesOn || progressBar || total == 0) return false;
    progressBar = newpad(1, kScreenCols);
    if (!progressBar) return false;
    meter = Meter{};
    meter.total = total;
    meter.started = detail::NowMs();
    std::snprintf(meter.label, sizeof meter.label, "%s", label ? label : "");
    DrawProgress();
    return true;
}

void ProgressAdvance(uint64_t bytes) {
    if (!progressBar) return;
    meter.done += bytes;
    if (detail::NowMs() - meter.drawn >= kRedrawMs) DrawProgress();
}

void ProgressStop() {
    if (!progressBar) return;
    delwin(progressBar);
    progressBar = nullptr;
    if (!cursesOn) return;
    touchline(screen, VisibleRows() - 1, 1);
    detail::RefreshScreen();
}

void RestoreKeys() {
    if (!cursesOn) {
        std::fflush(stdout);
        return;
    }
    cursesOn = false;
    // Terminals with an alternate screen lose what the program showed when
    // curses ends; print the last screen on the normal one instead.
    std::string last = ScreenText();
    const char* rmcup = tigetstr(const_cast<char*>("rmcup"));
    bool alternate = rmcup && rmcup != reinterpret_cast<const char*>(-1) && *rmcup;
    if (scrbuffer) delwin(scrbuffer);
    scrbuffer = nullptr;
    if (progressBar) delwin(progressBar);
    progressBar = nullptr;
    endwin();
    delwin(screen);
    screen = nullptr;
    delscreen(term);
    term = nullptr;
    if (alternate) std::fwrite(last.data(), 1, last.size(), stdout);
    std::fflush(stdout);
}

} // namespace vk
