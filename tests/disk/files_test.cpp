// The file layer's record operations on host names: open, create, read,
// write with allocation growth, close, existence, and whole-file loading.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk/partitions.h"
#include "files_fixture.h"
#include "platform/memory.h"

namespace vk {
namespace {

using test::LogCapture;

class Files : public test::FilesTest {};

TEST_F(Files, OpenReadsTheWholeFileInChunks) {
    std::string data = Pattern(100000);
    WriteText("data.bin", data);
    FileRecord file;
    ASSERT_EQ(OpenFILE("data.bin", &file, 0), 0);
    EXPECT_EQ(file.size, 100000u);
    std::vector<uint8_t> buffer(kChunkMax);
    std::string read;
    while (uint16_t n = ReadFILE(&file, buffer.data())) {
        EXPECT_LE(n, kChunkMax);
        read.append(reinterpret_cast<char*>(buffer.data()), n);
    }
    EXPECT_EQ(CloseFILE(&file), 0);
    EXPECT_EQ(read, data);
    // Absolute names, DOS separators, "." and ".." reach the same file.
    EXPECT_EQ(ReadAll(Path("data.bin").c_str()), data);
    ASSERT_EQ(CreateDIR("d"), 0);
    EXPECT_EQ(FILEExists("d/"), 1);
    EXPECT_EQ(FILEExists("data.bin/x"), 0);
    WriteText("d/f", "in d");
    EXPECT_EQ(ReadAll("d\\f"), "in d");
    EXPECT_EQ(ReadAll("./d/../d/./f"), "in d");
}

TEST_F(Files, OpenFailuresAreLogged) {
    ASSERT_EQ(CreateDIR("adir"), 0);
    FileRecord file;
    {
        LogCapture log;
        EXPECT_EQ(OpenFILE("missing.txt", &file, 0), 1);
        EXPECT_EQ(log.Text(), "ERROR : [OpenFILE] File not found\r\n");
    }
    {
        LogCapture log;
        EXPECT_EQ(OpenFILE("adir", &file, 0), 1);
        EXPECT_EQ(log.Text(), "ERROR : [OpenFILE] Cannot open ./adir\r\n");
    }
    {
        LogCapture log;
        EXPECT_EQ(OpenFILE("", &file, 0), 1);
        EXPECT_EQ(OpenFILE("nodir/x", &file, 0), 1);
    }
}

TEST_F(Files, PartitionNamesWithoutDisksFailCleanly) {
    LogCapture log;
    FileRecord file;
    EXPECT_EQ(OpenFILE("{0:1}/boot.ini", &file, 0), 1);
    EXPECT_EQ(OpenFILE("{:1}/a", &file, 0), 1);
    EXPECT_EQ(OpenFILE("{0:-1}x", &file, 0), 1);
    EXPECT_EQ(OpenFILE("{0:99999999999}/a", &file, 0), 1);
    EXPECT_EQ(OpenFILE("{x", &file, 0), 1);
    EXPECT_EQ(CreateFILE("{0:1}/new", &file, 10), 1);
    EXPECT_EQ(FILEExists("{0:1}"), 0);
    EXPECT_EQ(DeleteFILE("{0:1}/a"), 0); // nothing to delete there
    EXPECT_EQ(DelTREE("{1:2}/dir"), 0);
    EXPECT_EQ(CreateDIR("{0:1}/a/b"), 1);
    EXPECT_EQ(LogDIR("{0:1}/*"), 1);
    EXPECT_EQ(LogTREE("{0:1}"), 1);
    EXPECT_NE(CopyFILE("{0:1}/a", "b", 0), 0);
}

TEST_F(Files, CreateCutsAnExistingLongerFile) {
    WriteText("old.txt", std::string(10000, 'o'));
    FileRecord file;
    ASSERT_EQ(CreateFILE("old.txt", &file, 100), 0);
    EXPECT_EQ(file.writing, 1);
    EXPECT_EQ(file.size, 100u);
    EXPECT_EQ(WriteFILE(&file, reinterpret_cast<const uint8_t*>("0123456789"), 10), 10);
    EXPECT_EQ(file.remaining, 90u);
    EXPECT_EQ(CloseFILE(&file), 0);
    EXPECT_EQ(ReadText("old.txt"), "0123456789");

    // Written exactly to the reserved size: still no old tail.
    WriteText("old.txt", std::string(10000, 'o'));
    ASSERT_EQ(CreateFILE("old.txt", &file, 10), 0);
    EXPECT_EQ(WriteFILE(&file, reinterpret_cast<const uint8_t*>("0123456789"), 10), 10);
    EXPECT_EQ(file.remaining, 0u);
    EXPECT_EQ(CloseFILE(&file), 0);
    EXPECT_EQ(ReadText("old.txt"), "0123456789");
}

TEST_F(Files, CreateOverADirectoryFails) {
    ASSERT_EQ(CreateDIR("dir"), 0);
    FileRecord file;
    LogCapture log;
    EXPECT_EQ(CreateFILE("dir", &file, 10), 1);
    EXPECT_EQ(log.Text(), "ERROR: [CreateFILE] Cannot RewriteFile\r\n");
    EXPECT_EQ(CreateFILE("nodir/f", &file, 10), 1);
    EXPECT_EQ(CreateFILE("dir/", &file, 10), 1); // no file name
}

TEST_F(Files, AllocationDoublesThenGrowsByOneMegabyte) {
    FileRecord file;
    ASSERT_EQ(CreateFILE("big.bin", &file, 32768), 0);
    std::string piece = Pattern(32768, 7);
    const auto* data = reinterpret_cast<const uint8_t*>(piece.data());
    std::vector<uint32_t> sizes;
    const uint32_t total = 10 * 1024 * 1024;
    for (uint32_t written = 0; written < total;) {
        uint32_t before = file.size;
        uint16_t n = WriteFILE(&file, data, 32768);
        ASSERT_EQ(n, 32768);
        written += n;
        if (file.size != before) sizes.push_back(file.size);
    }
    std::vector<uint32_t> expected;
    for (uint32_t s = 65536; s <= 8388608; s *= 2)
        expected.push_back(s);
    expected.push_back(8388608 + 1048576);
    expected.push_back(8388608 + 2 * 1048576);
    EXPECT_EQ(sizes, expected);
    EXPECT_EQ(CloseFILE(&file), 0);
    EXPECT_EQ(std::filesystem::file_size("big.bin"), total);
}

TEST_F(Files, AFileCreatedWithSizeZeroDoesNotGrow) {
    FileRecord file;
    ASSERT_EQ(CreateFILE("empty.bin", &file, 0), 0);
    EXPECT_EQ(WriteFILE(&file, reinterpret_cast<const uint8_t*>("x"), 1), 0);
    EXPECT_EQ(CloseFILE(&file), 0);
    EXPECT_EQ(std::filesystem::file_size("empty.bin"), 0u);
}

TEST_F(Files, LoadFileSizes) {
    WriteText("max", std::string(65535, 'm'));
    WriteText("over", std::string(65536, 'o'));
    WriteText("empty", "");
    char* text = nullptr;
    uint32_t size = 1;
    ASSERT_EQ(LoadFile("max", &size, &text, false), 0);
    EXPECT_EQ(size, 65535u);
    EXPECT_EQ(text[65535], '\0');
    EXPECT_EQ(std::string(text), std::string(65535, 'm'));
    Free(text);

    {
        LogCapture log;
        text = nullptr;
        EXPECT_EQ(LoadFile("over", &size, &text, false), 1);
        EXPECT_EQ(log.Text(), "ERROR : File exceeds 64 Kb\r\n");
        EXPECT_EQ(text, nullptr);
    }
    // An empty local file is empty text, not a missing file.
    ASSERT_EQ(LoadFile("empty", &size, &text, true), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(text[0], '\0');
    Free(text);
    ASSERT_EQ(LoadFile("empty", nullptr, &text, false), 0);
    Free(text);

    LogCapture log;
    EXPECT_EQ(LoadFile("missing", &size, &text, false), 1);
}

TEST_F(Files, ReadBufferKeepsAtLeast32KBuffered) {
    std::string data = Pattern(100000, 3);
    WriteText("d", data);
    FileRecord file;
    ASSERT_EQ(OpenFILE("d", &file, 0), 0);
    std::vector<uint8_t> buffer(65536);
    uint8_t* start = buffer.data();
    uint8_t* end = buffer.data();
    std::string consumed;
    for (;;) {
        int ended = ReadBufferFILE(&file, buffer.data(), &start, &end);
        EXPECT_EQ(start, buffer.data());
        if (!ended) {
            EXPECT_GE(end - start, 32768);
        }
        size_t take = std::min<size_t>(size_t(end - start), 20000);
        consumed.append(reinterpret_cast<char*>(start), take);
        start += take;
        if (ended && start == end) break;
    }
    CloseFILE(&file);
    EXPECT_EQ(consumed, data);
}

TEST_F(Files, TempNames) {
    char name[kTempNameMax];
    test::Settings()["TempPath"] = "/var/tmp";
    EXPECT_EQ(GetTempName("ABCD", 1, name), 1);
    EXPECT_STREQ(name, "/var/tmp/TMP~ABCD.@@A");
    EXPECT_EQ(GetTempName("ABCD", 27 * 27 + 27 * 2 + 26, name), 27 * 2 + 26);
    EXPECT_STREQ(name, "/var/tmp/TMP~ABCD.@BZ");
    EXPECT_EQ(GetTempName("X", 728, name), 728);
    EXPECT_STREQ(name, "/var/tmp/TMP~X.@ZZ");
    for (const char* path : {"/var/tmp/", "c:", "d:\\"}) {
        test::Settings()["TempPath"] = path;
        GetTempName("X", 2, name);
        EXPECT_EQ(std::string(name), std::string(path) + "TMP~X.@@B");
    }
    test::Settings()["TempPath"] = "";
    GetTempName("X", 3, name);
    EXPECT_STREQ(name, "TMP~X.@@C");

    // New indices come one after the other, never 0.
    int first = GetTempName("N", 0, name);
    EXPECT_GE(first, 1);
    EXPECT_LE(first, 954);
    int second = GetTempName("N", 0, name);
    EXPECT_EQ(second, (first + 1) % 729 == 0 ? (first + 2) % 729 : (first + 1) % 729);

    // A name that does not fit is refused, never cut.
    test::Settings()["TempPath"] = std::string(400, 'p');
    EXPECT_EQ(GetTempName("X", 1, name), -1);
    EXPECT_STREQ(name, "");
    char small[8];
    test::Settings()["TempPath"] = "";
    EXPECT_EQ(GetTempName("ABCD", 1, small, sizeof small), -1);
}

} // namespace
} // namespace vk
