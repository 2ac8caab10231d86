// The keyboard: keys from curses (standard input is the terminal) or raw
// bytes from standard input (a pipe, a file, or a terminal while output is
// redirected). Keys wait in a small queue; ESC is caught as it arrives, so
// it shows the log even while other keys are waiting unread.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "console_internal.h"
#include "platform/console.h"

namespace vk {

volatile int Breaked = 0;

namespace {

constexpr int kQueueSize = 64;
int queue[kQueueSize];
int qHead = 0;
int qCount = 0;

bool catchEsc = false;
bool backOn = false;     // ESC asked for the log
bool inputEnded = false; // standard input reached its end
bool skipLF = false;     // a carriage return came: a line feed right after it is the same Enter
bool stopping = false;
int64_t lastCheck = -1;

void BreakHandler(int) {
    Breaked = 1;
}

int64_t CoarseMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Push(int key) {
    if (catchEsc && key == 27) {
        backOn = true;
        return;
    }
    queue[(qHead + qCount) % kQueueSize] = key;
    ++qCount;
}

void Pop() {
    qHead = (qHead + 1) % kQueueSize;
    --qCount;
}

// Bytes from a pipe or file: "\n", "\r" and "\r\n" are all one Enter.
void PushByte(uint8_t b) {
    bool afterCR = skipLF;
    skipLF = b == '\r';
    if (b == '\n' && afterCR) return;
    Push(b == '\n' ? 13 : b);
}

void FetchRaw() {
    while (qCount < kQueueSize && !inputEnded) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        int r = poll(&p, 1, 0);
        if (r <= 0) return;
        if (p.revents & POLLNVAL) {
            inputEnded = true;
            return;
        }
        uint8_t bytes[kQueueSize];
        ssize_t n = read(STDIN_FILENO, bytes, size_t(kQueueSize - qCount));
        if (n < 0) {
            if (errno != EINTR && errno != EAGAIN) inputEnded = true;
            return;
        }
        if (n == 0) {
            inputEnded = true;
            return;
        }
        for (ssize_t i = 0; i < n; ++i)
            PushByte(bytes[i]);
    }
}

// The translation from curses key codes to the control codes the line
// editor and the scripts expect.
uint8_t Translate(int raw) {
    if (raw & detail::kPcKeyFlag) return KeyMap[raw & 0xFF];
    int code = raw;
    switch (raw) {
    case 127:
    case 263: code = 8; break;  // delete, KEY_BACKSPACE
    case 258: code = 14; break; // KEY_DOWN
    case 259: code = 16; break; // KEY_UP
    case 260: code = 2; break;  // KEY_LEFT
    case 261: code = 6; break;  // KEY_RIGHT
    case 262:
    case 354: code = 1; break; // KEY_HOME, KEY_BEG
    case 330: code = 4; break; // KEY_DC
    case 360: code = 5; break; // KEY_END
    default: break;
    }
    if (code >= 160 && code <= 255) code = IsoToPc(uint8_t(code));
    if (code > 255) return uint8_t(code & 0xFF);
    return KeyMap[code];
}

// Takes the first key that translates to something (keys mapped to 0 are
// dropped); 0 when none is left.
uint8_t FrontKey() {
    while (qCount) {
        if (uint8_t k = Translate(queue[qHead])) return k;
        Pop();
    }
    return 0;
}

} // namespace

namespace detail {

void FetchKeys(bool force) {
    if (qCount == kQueueSize) return;
    if (!force) {
        // The per-line poll looks at the input at most once per clock tick.
        int64_t now = CoarseMs();
        if (now == lastCheck) return;
        lastCheck = now;
    }
    if (KeysFromCurses()) {
        while (qCount < kQueueSize) {
            int k = ReadCursesKey();
            if (k == -1) break;
            if (k >= 0) Push(k);
        }
        return;
    }
    FetchRaw();
}

void HandleEscAndBreak() {
    if (backOn) {
        backOn = false;
        GoOnScreen();
    }
    if (Breaked && !stopping) {
        stopping = true;
        pauselog = false; // nothing waits for a key while the program stops
        GoOnScreen();
        PrintString("\r\n");
        CallExit();
    }
}

void WaitInput(int64_t timeoutMs) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    // SIGINT stays blocked from the flag test until ppoll unblocks it, so a
    // break that comes in between still wakes the wait.
    sigprocmask(SIG_BLOCK, &block, &old);
    if (!Breaked && !backOn) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        nfds_t n = (qCount < kQueueSize && (KeysFromCurses() || !inputEnded)) ? 1 : 0;
        timespec ts{}, *tsp = nullptr;
        if (timeoutMs >= 0) {
            ts.tv_sec = time_t(timeoutMs / 1000);
            ts.tv_nsec = long(timeoutMs % 1000) * 1000000;
            tsp = &ts;
        }
        ppoll(&p, n, tsp, &old);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void WaitPauseKey() {
    for (;;) {
        FetchKeys(true);
        if (backOn) {
            backOn = false;
            return;
        }
        if (qCount) {
            Pop();
            return;
        }
        HandleEscAndBreak();
        if (KeysExhausted()) FatalError("No more input: cannot wait for a key");
        RefreshScreen();
        WaitInput(KeysFromCurses() ? 250 : -1);
    }
}

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace detail

void SetCatchESC(bool on) {
    catchEsc = on;
}
bool GetCatchESC() {
    return catchEsc;
}

void MonitorESC() {
    detail::FetchKeys(false);
    detail::HandleEscAndBreak();
}

uint8_t Keypressed() {
    MonitorESC();
    return FrontKey();
}

uint8_t GetChar() {
    for (;;) {
        detail::FetchKeys(true);
        detail::HandleEscAndBreak();
        if (uint8_t k = FrontKey()) {
            Pop();
            return k;
        }
        if (KeysExhausted()) FatalError("No more input: cannot wait for a key");
        detail::RefreshScreen();
        // Curses may hold bytes of a key sequence itself: look again now and then.
        detail::WaitInput(detail::KeysFromCurses() ? 250 : -1);
    }
}

bool KeysExhausted() {
    return qCount == 0 && inputEnded && !detail::KeysFromCurses();
}

void InterceptKeys() {
    struct sigaction sa {};
    sa.sa_handler = BreakHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the break interrupts a wait at once
    sigaction(SIGINT, &sa, nullptr);
}

} // namespace vk
