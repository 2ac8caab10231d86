// Copy, append and patch through the file layer.
#include <gtest/gtest.h>

#include <string>

#include "files_fixture.h"
#include "platform/util.h"

namespace vk {
namespace {

using test::LogCapture;

class FilesCopy : public test::FilesTest {};

TEST_F(FilesCopy, CopyTenMegabytesEndsExactly) {
    std::string data = Pattern(10 * 1024 * 1024 + 123, 11);
    WriteText("src.bin", data);
    WriteText("dst.bin", std::string(11 * 1024 * 1024, 'x')); // longer old file
    ASSERT_EQ(CopyFILE("src.bin", "dst.bin", 4), 0);
    EXPECT_TRUE(ReadText("dst.bin") == data);
}

TEST_F(FilesCopy, CopySmallAndEmptyFiles) {
    WriteText("small", "abc");
    WriteText("empty", "");
    ASSERT_EQ(CreateDIR("out"), 0);
    EXPECT_EQ(CopyFILE("small", "out/small", 0), 0);
    EXPECT_EQ(ReadText("out/small"), "abc");
    EXPECT_EQ(CopyFILE("empty", "out/empty", 0), 0);
    EXPECT_EQ(ReadText("out/empty"), "");
    LogCapture log;
    EXPECT_NE(CopyFILE("missing", "out/x", 0), 0);
    EXPECT_FALSE(std::filesystem::exists("out/x"));
    EXPECT_NE(CopyFILE("small", "nodir/x", 0), 0);
    EXPECT_NE(CopyFILE("small", "out", 0), 0); // a directory
}

TEST_F(FilesCopy, CopyOntoItselfIsRefusedAndKeepsTheData) {
    WriteText("self", "precious");
    LogCapture log;
    EXPECT_NE(CopyFILE("self", "self", 0), 0);
    EXPECT_NE(CopyFILE("self", Path("self").c_str(), 0), 0);
    EXPECT_NE(AppendFILE("other", "self", "self", 0), 0);
    WriteText("other", "x");
    EXPECT_NE(AppendFILE("other", "self", "./self", 0), 0);
    EXPECT_NE(PatchFILE("self", "self", "${", "}", 0), 0);
    EXPECT_EQ(ReadText("self"), "precious");
}

TEST_F(FilesCopy, AppendJoinsTwoFiles) {
    std::string first = Pattern(40000, 1), second = Pattern(70001, 2);
    WriteText("a", first);
    WriteText("b", second);
    WriteText("ab", std::string(200000, '-'));
    ASSERT_EQ(AppendFILE("a", "b", "ab", 0), 0);
    EXPECT_TRUE(ReadText("ab") == first + second);
    WriteText("e", "");
    ASSERT_EQ(AppendFILE("e", "a", "ea", 0), 0);
    EXPECT_EQ(ReadText("ea"), first);
    LogCapture log;
    EXPECT_NE(AppendFILE("a", "missing", "x", 0), 0);
}

TEST_F(FilesCopy, PatchReplacesMarkedNames) {
    test::Settings()["Basename"] = "setup";
    test::Settings()["IP"] = "10.0.0.2";
    WriteText("a.tpl", "name=${Basename}\nip=[IP] ${Missing}|${IP}\n");
    ASSERT_EQ(PatchFILE("a.tpl", "a.cfg", "${", "}", 0), 0);
    EXPECT_EQ(ReadText("a.cfg"), "name=setup\nip=[IP] |10.0.0.2\n");
    ASSERT_EQ(PatchFILE("a.tpl", "b.cfg", "[", "]", 0), 0);
    EXPECT_EQ(ReadText("b.cfg"), "name=${Basename}\nip=10.0.0.2 ${Missing}|${IP}\n");
}

TEST_F(FilesCopy, PatchLeavesUnclosedMarkersAsText) {
    test::Settings()["A"] = "1";
    // The end marker lies beyond the window after the start marker.
    std::string far = "[" + std::string(300, 'n') + "]";
    WriteText("t", "x[A y" + far + "[A]");
    ASSERT_EQ(PatchFILE("t", "o", "[", "]", 0), 0);
    EXPECT_EQ(ReadText("o"), "x[A y" + far + "1");
    // An unclosed marker at the very end.
    WriteText("t", "end[A");
    ASSERT_EQ(PatchFILE("t", "o", "[", "]", 0), 0);
    EXPECT_EQ(ReadText("o"), "end[A");
}

TEST_F(FilesCopy, PatchNamesOfEveryLengthStayInBounds) {
    std::string n127(127, 'v'), n128(128, 'w'), n253(253, 'z');
    test::Settings()[n127] = "ok";
    test::Settings()[n128] = "never";
    std::string text = "<" + n127 + ">|<" + n128 + ">|<" + n253 + ">|<>";
    WriteText("t", text);
    ASSERT_EQ(PatchFILE("t", "o", "<", ">", 0), 0);
    // Names that do not fit the name buffer are copied as text.
    EXPECT_EQ(ReadText("o"), "ok|<" + n128 + ">|<" + n253 + ">|");
}

TEST_F(FilesCopy, PatchLargeFilesAcrossBufferRefills) {
    test::Settings()["V"] = std::string(200, 'V');
    std::string text, expected;
    for (int i = 0; i < 5000; ++i) {
        std::string line = Pattern(37, uint32_t(i));
        for (char& c : line)
            if (c == '$' || c == '{' || c == '}' || c == '\0') c = '.';
        text += line + "${V}";
        expected += line + std::string(200, 'V');
    }
    WriteText("big.tpl", text);
    ASSERT_EQ(PatchFILE("big.tpl", "big.out", "${", "}", 0), 0);
    EXPECT_TRUE(ReadText("big.out") == expected);
}

TEST_F(FilesCopy, PatchTranslatesToIsoLatin) {
    test::Settings()["E"] = "\x82"; // e acute in code page 850
    WriteText("t", "caf\x82 ${E}");
    IsoLatinMode = true;
    Status result = PatchFILE("t", "o", "${", "}", 0);
    IsoLatinMode = false;
    ASSERT_EQ(result, 0);
    EXPECT_EQ(ReadText("o"), "caf\xe9 \xe9");
}

TEST_F(FilesCopy, PatchWithEmptyMarkersCopies) {
    WriteText("t", "abc");
    ASSERT_EQ(PatchFILE("t", "o", "", "", 0), 0);
    EXPECT_EQ(ReadText("o"), "abc");
}

} // namespace
} // namespace vk
