// The headless console and keyboard, each case in a child process whose
// standard output is a pipe (so no curses starts) and whose standard input
// holds the keys.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "child.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {
namespace {

using test::ChildOptions;
using test::RunChild;

TEST(Headless, BothOutputPathsReachStdoutByteForByte) {
    auto r = RunChild([] {
        InitIO();
        if (!Redirected) std::abort();
        PrintString("a");
        Log("b\r\n");
        GoOffScreen(); // hiding the log changes nothing here
        Log("c");
        PrintChar(0x82); // e acute in the PC set, ISO-8859-1 on output
        PrintChar(7);    // no bell in a pipe
        TextAttr = 0x1F; // no escape sequences
        PrintString("d\r\n");
        if (GetTextX() != 0xFFFF || GetTextY() != 0xFFFF) std::abort();
        SetTextXY(3, 3);
        FillArea(0, 0, 80, 25, 'x', 7);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ab\r\nc\xE9"
                     "d\r\n");
}

TEST(Headless, Printers) {
    auto r = RunChild([] {
        InitIO();
        PrintDecWord(7, 3);
        PrintString("|");
        PrintDecWord(12345, 1);
        PrintString("|");
        PrintDecWord(5, 20);
        PrintString("|");
        PrintHexWord(0xBEEF);
        PrintHexByte(0x0A);
        PrintString("|");
        PrintHexDword(0xDEADBEEF);
        PrintString("|");
        PrintDecLong(4294967295u);
        PrintString("|");
        const uint8_t ip[4] = {10, 0, 0, 1};
        PrintIP(ip);
        PrintString("|");
        for (uint32_t size : {1000u, 65535u, 65536u, 67108863u, 67108864u}) {
            PrintFileSize(size);
            PrintString(" ");
        }
        PrintString("|");
        PrintBack(10);
        ClearBack(2);
        PrintString("|");
        EXPECT_EQ(Pad("12", 5), 2);
        DebugPoint("here");
    });
    EXPECT_EQ(r.out, "007|12345|00000005|BEEF0A|DEADBEEF|4294967295|10.0.0.1|"
                     "1000Bytes 65535Bytes 64KB 65535KB 64MB |"
                     "\b\b\b\b\b\b\b\b\b\b\b \b\b \b|   DEBUG: [here]: 640K\r\n");
}

TEST(Headless, CountUpPercentages) {
    auto r = RunChild([] {
        InitIO();
        CountUp(1, 3);
        CountUp(5, 0); // nothing to do is all done
        CountUp(7, 5); // capped
        CountUp(20000000, 40000000);
        CountUp(0xFFFFFFFF, 0xFFFFFFFF);
        CountDown(200, 100);
        CountDown(25, 100);
    });
    const std::string back = "\b\b\b\b\b";
    EXPECT_EQ(r.out, " 33 %" + back + "100 %" + back + "100 %" + back + " 50 %" + back + "100 %" +
                         back + "  0 %" + back + " 75 %" + back);
}

TEST(Headless, CaptureTakesLogOutputAndStaysInBounds) {
    auto r = RunChild([] {
        InitIO();
        LogFileBuff = static_cast<uint8_t*>(Malloc(uint16_t(kCaptureSize / kParagraph)));
        LogFileAvail = 0;
        Log("captured\r\n");
        PrintString("shown");
        if (LogFileAvail != 10 || std::memcmp(LogFileBuff, "captured\r\n", 10) != 0) std::abort();
        std::string chunk(1000, 'x');
        for (int i = 0; i < 70; ++i)
            Log(chunk.c_str());
        if (LogFileAvail != kCaptureSize) std::abort();
        Free(LogFileBuff);
        LogFileBuff = nullptr;
        Log("|after");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "shown|after");
}

TEST(Headless, FatalErrorShowsMessageAndRunsExitHandler) {
    auto r = RunChild([] {
        InitIO();
        SetExitHandler([] { PrintString("[cleanup]"); });
        LogFileBuff = static_cast<uint8_t*>(Malloc(uint16_t(kCaptureSize / kParagraph)));
        LogScope log;
        FatalError("Cannot load file");
    });
    EXPECT_EQ(r.status, 255);
    // Not swallowed by the active capture.
    EXPECT_EQ(r.out, "Cannot load file\r\n[cleanup]");
}

TEST(Keyboard, KeypressedLooksGetCharTakes) {
    auto r = RunChild(
        [] {
            InitIO();
            char seen[8];
            seen[0] = char(Keypressed());
            seen[1] = char(Keypressed());
            seen[2] = char(GetChar());
            seen[3] = char(Keypressed());
            seen[4] = char(GetChar());
            seen[5] = char(Keypressed() + '0'); // nothing left
            seen[6] = KeysExhausted() ? 'E' : '-';
            seen[7] = 0;
            PrintString(seen);
        },
        "ab");
    EXPECT_EQ(r.out, "aaabb0E");
}

TEST(Keyboard, TranslationAndLineEnds) {
    auto r = RunChild(
        [] {
            InitIO();
            KeyMap[uint8_t('x')] = 0;   // mapped to nothing: dropped
            KeyMap[uint8_t('y')] = 'z'; // remapped
            std::string keys;
            while (!KeysExhausted()) {
                uint8_t k = Keypressed();
                if (k) keys += std::to_string(GetChar()) + " ";
            }
            PrintString(keys.c_str());
        },
        "\r\n\n\r\rx\x7f\xE9y");
    // "\r\n", "\n", "\r", "\r" give four Enters; delete gives backspace.
    EXPECT_EQ(r.out, "13 13 13 13 8 130 122 ");
}

TEST(Keyboard, EscShowsTheLogWhenCaught) {
    auto r = RunChild(
        [] {
            InitIO();
            SetCatchESC(true);
            GoOffScreen();
            uint8_t k = GetChar(); // the ESC is not a key
            PrintString(OffScreen ? "hidden " : "shown ");
            PrintChar(k);
        },
        "\x1b"
        "a");
    EXPECT_EQ(r.out, "shown a");
    r = RunChild(
        [] {
            InitIO();
            SetCatchESC(false);
            PrintChar(uint8_t('0' + (GetChar() == 27)));
        },
        "\x1b");
    EXPECT_EQ(r.out, "1");
}

TEST(Keyboard, WaitingForAKeyAfterInputEndsIsFatal) {
    auto r = RunChild(
        [] {
            InitIO();
            SetExitHandler([] { PrintString("[exit]"); });
            GetChar();
            GetChar();
        },
        "q");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "No more input: cannot wait for a key\r\n[exit]");
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(Keyboard, DelaySleepsInsteadOfSpinning) {
    auto r = RunChild(
        [] {
            InitIO();
            double cpu = CpuSeconds();
            auto start = std::chrono::steady_clock::now();
            Delay(9); // about half a second
            auto wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            cpu = CpuSeconds() - cpu;
            PrintString(wall >= 0.45 && wall < 1.5 ? "wall-ok " : "wall-bad ");
            PrintString(cpu < 0.1 ? "cpu-ok" : "cpu-bad");
        },
        "", ChildOptions{.keepInputOpen = true});
    EXPECT_EQ(r.out, "wall-ok cpu-ok");
}

TEST(Keyboard, DelayWithEndedInputAndWaitingKeysStillSleeps) {
    auto r = RunChild(
        [] {
            InitIO();
            double cpu = CpuSeconds();
            Keypressed();
            Delay(5);
            PrintString(CpuSeconds() - cpu < 0.1 ? "cpu-ok" : "cpu-bad");
        },
        "k");
    EXPECT_EQ(r.out, "cpu-ok");
}

TEST(Keyboard, BreakEndsALongWaitInOrder) {
    auto start = std::chrono::steady_clock::now();
    auto r = RunChild(
        [] {
            InitIO();
            InterceptKeys();
            SetExitHandler([] { PrintString("[exit]"); });
            PrintString("waiting");
            Delay(18 * 60);
            PrintString("not reached");
        },
        "", ChildOptions{.keepInputOpen = true, .interruptAfterMs = 200});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "waiting\r\n[exit]");
}

TEST(Keyboard, BreakEndsAWaitForAKey) {
    auto r = RunChild(
        [] {
            InitIO();
            InterceptKeys();
            GetChar();
        },
        "", ChildOptions{.keepInputOpen = true, .interruptAfterMs = 200});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "\r\n");
}

TEST(Keyboard, PerLinePollIsCheap) {
    auto r = RunChild(
        [] {
            InitIO();
            auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < 300000; ++i)
                Keypressed();
            auto seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            PrintString(seconds < 0.5 ? "fast" : "slow");
        },
        "", ChildOptions{.keepInputOpen = true});
    EXPECT_EQ(r.out, "fast");
}

} // namespace
} // namespace vk
