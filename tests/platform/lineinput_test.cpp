// The line editor and password input, with keys from a pipe: Home 1,
// Left 2, Delete 4, End 5, Right 6, Backspace 8, Down 14, Up 16.
#include <gtest/gtest.h>

#include <string>

#include "child.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {
namespace {

using test::RunChild;

// Reads lines until the input ends and prints each one as [line].
std::string Lines(const std::string& keys, int size = 256) {
    auto r = RunChild(
        [size] {
            InitIO();
            std::string all;
            char buffer[256];
            while (!KeysExhausted()) {
                InputString(buffer, size);
                all += "[" + std::string(buffer) + "]";
            }
            // Only the results, after a marker (the echo comes first).
            PrintString(("#" + all).c_str());
        },
        keys);
    return r.out.substr(r.out.find('#') + 1);
}

TEST(InputString, Editing) {
    EXPECT_EQ(Lines("abc\n"), "[abc]");
    EXPECT_EQ(Lines("ac\x02"
                    "b\x05"
                    "d\n"),
              "[abcd]");                                        // insert in the middle
    EXPECT_EQ(Lines("xabc\x01\x04\n"), "[abc]");                // Home, Delete
    EXPECT_EQ(Lines("abcc\x08\n"), "[abc]");                    // Backspace at the end
    EXPECT_EQ(Lines("abc\x02\x02\x08\n"), "[bc]");              // Backspace inside
    EXPECT_EQ(Lines("\x08\x04\x02\x01xy\x06\x06z\n"), "[xyz]"); // moves at the edges do nothing
    EXPECT_EQ(Lines("abcdef\n", 4), "[abc]");                   // at most size - 1 characters
    EXPECT_EQ(Lines("ab\x01"
                    "cd\n",
                    4),
              "[cab]");
}

TEST(InputString, EchoIsExact) {
    auto r = RunChild(
        [] {
            InitIO();
            char buffer[16];
            InputString(buffer, sizeof buffer);
        },
        "ab\x02\x04\n");
    // a, b, one left, delete redraws the (empty) rest and a blank, back one.
    EXPECT_EQ(r.out, "ab\b \b\r\n");
}

TEST(InputString, History) {
    // Up recalls older lines, Down newer ones and finally an empty line.
    EXPECT_EQ(Lines("one\ntwo\n\x10\x10\n"), "[one][two][one]");
    EXPECT_EQ(Lines("one\ntwo\n\x10\x10\x10\x0e\n"), "[one][two][two]");
    EXPECT_EQ(Lines("one\ntwo\n\x10\x0e\n"), "[one][two][]");
    EXPECT_EQ(Lines("one\n\x10x\n"), "[one][onex]");
    // Empty lines are not recalled.
    EXPECT_EQ(Lines("one\n\n\x10\n"), "[one][][one]");
    // A recalled line is cut to the buffer.
    EXPECT_EQ(Lines("abcdef\n\x10\n", 4), "[abc][abc]");
}

TEST(InputString, HistoryDropsOldestBeyond512Bytes) {
    std::string keys;
    for (char c = 'A'; c <= 'F'; ++c)
        keys += std::string(100, c) + "\n";
    keys += std::string(6, '\x10') + "\n"; // more Ups than entries
    std::string expected;
    for (char c = 'A'; c <= 'F'; ++c)
        expected += "[" + std::string(100, c) + "]";
    // A was dropped to make room for F; B is the oldest left.
    expected += "[" + std::string(100, 'B') + "]";
    EXPECT_EQ(Lines(keys), expected);

    // A line longer than the history itself is simply not kept.
    std::string huge(255, 'h');
    EXPECT_EQ(Lines("s\n" + huge + "\n" + huge + "\n\x10\n"),
              "[s][" + huge + "][" + huge + "][" + huge + "]");
}

TEST(InputPasswd, HidesAndEdits) {
    auto r = RunChild(
        [] {
            InitIO();
            char buffer[6];
            InputPasswd(buffer, sizeof buffer);
            PrintString("#");
            PrintString(buffer);
        },
        "se\x08"
        "c\x02ret!!\n");
    EXPECT_EQ(r.out, "**\b \b****\r\n#scret"); // "!!" found the buffer full
}

} // namespace
} // namespace vk
