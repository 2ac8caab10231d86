// Delete, make directory, delete tree and the two listings.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "files_fixture.h"

namespace vk {
namespace {

using test::LogCapture;

class FilesDir : public test::FilesTest {};

// One listing line: the name padded to 33 columns, then "    <DIR>" or the
// size right-aligned in 9 columns.
std::string Line(const std::string& name, long size) {
    std::string line = name;
    if (line.size() < 33) line.append(33 - line.size(), ' ');
    std::string column = size < 0 ? "<DIR>" : std::to_string(size);
    line.append(9 - column.size(), ' ');
    return line + column + "\r\n";
}

TEST_F(FilesDir, DeleteOnlyFiles) {
    WriteText("f", "1");
    ASSERT_EQ(CreateDIR("d"), 0);
    EXPECT_EQ(DeleteFILE("f"), 0);
    EXPECT_FALSE(std::filesystem::exists("f"));
    EXPECT_EQ(DeleteFILE("f"), 1);
    EXPECT_EQ(DeleteFILE("d"), 1);
    EXPECT_TRUE(std::filesystem::is_directory("d"));
}

TEST_F(FilesDir, CreateDirectoryChainTwice) {
    EXPECT_EQ(CreateDIR("a/b/c"), 0);
    EXPECT_TRUE(std::filesystem::is_directory("a/b/c"));
    EXPECT_EQ(CreateDIR("a/b/c"), 0);
    EXPECT_EQ(CreateDIR("a//b/c/"), 0); // empty components are skipped
    EXPECT_EQ(CreateDIR(Path("x/y").c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory("x/y"));
    WriteText("a/file", "1");
    EXPECT_EQ(CreateDIR("a/file"), 1);
    EXPECT_EQ(CreateDIR("a/file/sub"), 1);
    EXPECT_EQ(CreateDIR("a\\b\\d"), 0);
    EXPECT_TRUE(std::filesystem::is_directory("a/b/d"));
}

TEST_F(FilesDir, DeleteTree) {
    ASSERT_EQ(CreateDIR("t/a/b"), 0);
    ASSERT_EQ(CreateDIR("t/c"), 0);
    WriteText("t/a/b/f1", "1");
    WriteText("t/a/f2", "2");
    WriteText("t/f3", "3");
    WriteText("outside", "keep");
    ASSERT_EQ(symlink(Path("outside").c_str(), "t/link"), 0);
    EXPECT_EQ(DelTREE("t"), 0);
    EXPECT_FALSE(std::filesystem::exists("t"));
    EXPECT_EQ(ReadText("outside"), "keep"); // links are removed, not followed
    EXPECT_EQ(DelTREE("t"), 1);
    EXPECT_EQ(DelTREE("outside"), 1);
}

TEST_F(FilesDir, DeleteTreeNeverEmptiesTheHostRoot) {
    LogCapture log;
    EXPECT_EQ(DelTREE("/"), 1);
    EXPECT_EQ(DelTREE("/."), 1);
    EXPECT_EQ(DelTREE("/tmp/.."), 1);
    EXPECT_NE(log.Text().find("Cannot delete the host root"), std::string::npos);
}

TEST_F(FilesDir, LogDirFormat) {
    ASSERT_EQ(CreateDIR("list/sub"), 0);
    WriteText("list/readme.txt", std::string(1234, 'r'));
    WriteText("list/NOTES.TXT", "n");
    WriteText("list/" + std::string(40, 'L'), "");
    {
        LogCapture log;
        ASSERT_EQ(LogDIR("list/*.txt"), 0); // host names compare exactly
        EXPECT_EQ(log.Text(), Line("readme.txt", 1234));
    }
    {
        LogCapture log;
        ASSERT_EQ(LogDIR("list"), 0);
        std::string text = log.Text();
        EXPECT_NE(text.find(Line("sub", -1)), std::string::npos);
        EXPECT_NE(text.find(Line("NOTES.TXT", 1)), std::string::npos);
        EXPECT_NE(text.find(std::string(40, 'L') + "        0\r\n"), std::string::npos);
        EXPECT_EQ(text.size(), 3u * 44 + 51); // three short lines and the long name
    }
    {
        LogCapture log;
        ASSERT_EQ(LogDIR("list/"), 0);
        std::string text = log.Text();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    }
    LogCapture log;
    EXPECT_EQ(LogDIR("nolist/*"), 1);
}

TEST_F(FilesDir, LogTreeFormat) {
    ASSERT_EQ(CreateDIR("r/a/a1"), 0);
    ASSERT_EQ(CreateDIR("r/a/a2/deep"), 0);
    WriteText("r/a/file", "1");
    {
        LogCapture log;
        ASSERT_EQ(LogTREE("r"), 0);
        std::string text = log.Text();
        // Depth first; sibling order is the directory's own order.
        EXPECT_EQ(text.substr(0, 6), "+-a\r\n|");
        EXPECT_NE(text.find("| +-a1\r\n"), std::string::npos);
        EXPECT_NE(text.find("| +-a2\r\n| | +-deep\r\n"), std::string::npos);
        EXPECT_EQ(text.find("file"), std::string::npos);
    }
    LogCapture log;
    EXPECT_EQ(LogTREE("r/a/file"), 1);
    EXPECT_EQ(LogTREE("none"), 1);
}

} // namespace
} // namespace vk
