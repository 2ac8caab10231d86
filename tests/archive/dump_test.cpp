// The archive dump: archives written by the independent Python writer are
// read back through the reader and dumped; the text is compared exactly.
// Count checks are driven with records that disagree with their header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "archive/dump.h"
#include "archive_fixture.h"
#include "platform/console.h"

namespace vk::test {
namespace {

class Dump : public ArchiveTest {
  protected:
    void SetUp() override {
        ArchiveTest::SetUp();
        if (std::system("python3 -c 'import sys' >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "python3 is not available";
    }
    // Writes the model's archive with arctool.py in one fragment.
    std::string Write(const std::string& description) {
        std::string desc = Path("a.desc"), first = Path("a.000");
        std::ofstream(desc) << description;
        std::string command = "python3 " VK_ARCTOOL " write " + desc + " " + first + " 1000000";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return first;
    }
    // Dumps what the reader delivers, in the order of the archive; the
    // text with "\r\n" made "\n".
    std::string DumpOf(const FullModel& m, const char* format) {
        DumpState st;
        StartDumpArchive(DumpWhatOf(format), &st);
        DumpArchiveHeader(&st, &m.header);
        StartDumpBootSectors(&st, uint32_t(m.boot.size()));
        if (!m.boot.empty()) DumpBootSectorsChunk(&st, m.boot.data(), uint32_t(m.boot.size()));
        EndDumpBootSectors(&st);
        StartDumpDirSummary(&st);
        for (auto& e : m.dirSummaries)
            DumpDirSummaryEntry(&st, e.data());
        EndDumpDirSummary(&st);
        StartDumpFileSummary(&st);
        for (auto& e : m.fileSummaries)
            DumpFileSummaryEntry(&st, e.data());
        EndDumpFileSummary(&st);
        StartDumpDirectories(&st);
        for (auto& d : m.dirs) {
            DumpDirectory(&st, &d.record);
            for (auto& e : d.subdirs)
                DumpDirEntryDir(&st, e.data());
            for (auto& e : d.files)
                DumpDirEntryFile(&st, e.data());
        }
        EndDumpDirectories(&st);
        StartDumpFiles(&st);
        for (auto& c : m.contents) {
            DumpFileHeader(&st, uint32_t(c.size()));
            if (!c.empty()) DumpFileContent(&st, c.data(), uint32_t(c.size()));
        }
        EndDumpFiles(&st);
        EndDumpArchive(&st);
        EXPECT_EQ(Logging, 0);
        return Plain(TakeLog());
    }
    std::string DumpOf(const IncrModel& m, const char* format) {
        DumpState st;
        StartDumpIArchive(DumpWhatOf(format), &st);
        DumpIArchiveHeader(&st, &m.header);
        StartDumpIFiles(&st);
        for (auto& d : m.dirs) {
            DumpIDirectory(&st, &d.record, d.name.c_str());
            for (auto& e : d.subdirs)
                DumpIDirEntryDir(&st, e.data());
            for (auto& f : d.files) {
                DumpIDirEntryFile(&st, f.entry.data());
                if (!f.content.empty())
                    DumpIFileContent(&st, f.content.data(), uint32_t(f.content.size()));
            }
        }
        EndDumpIFiles(&st);
        EndDumpIArchive(&st);
        EXPECT_EQ(Logging, 0);
        return Plain(TakeLog());
    }
    static std::string Plain(std::string s) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i)
            if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
        return out;
    }
};

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Root with subdirectories a (holding x) and b, and the files f.txt (20
// bytes) and g (empty, in b); FAT-like: SA 0, DA 2; 20 boot bytes.
FullModel SmallFull() {
    FullModel m;
    std::memcpy(m.header.fsId, "FATx", 4);
    m.header.dirCount = 4;
    m.header.fileCount = 2;
    m.header.dirAttr = 2;
    m.header.sumOfSizes = 20;
    m.boot = Text("\x01\x02"
                  "ABCDEFGHIJKLMNOPQR");
    auto summary = [](uint16_t blocks, uint32_t subdirs, uint32_t files) {
        Bytes b(DirSummary::kSize);
        DirSummary s;
        for (int i = 0; i < kBlockSizes; ++i)
            s.blocks[i] = uint16_t(blocks > i ? blocks - i : 1);
        s.subdirs = subdirs;
        s.files = files;
        s.Store(b.data());
        return b;
    };
    m.dirSummaries = {summary(3, 2, 1), summary(1, 1, 0), summary(1, 0, 0), summary(1, 0, 1)};
    m.fileSummaries = {Bytes{20, 0, 0, 0}, Bytes{0, 0, 0, 0}};
    auto dir = [&](int n, uint16_t pops) {
        DirModel d;
        DirSummary s = DirSummary::Load(m.dirSummaries[n].data());
        for (int i = 0; i < kBlockSizes; ++i)
            d.record.blocks[i] = s.blocks[i];
        d.record.subdirs = s.subdirs;
        d.record.files = s.files;
        d.record.pops = pops;
        return d;
    };
    DirModel root = dir(0, 0), a = dir(1, 0), x = dir(2, 0), b = dir(3, 2);
    root.subdirs = {SubdirEntryBytes(2, 2, {1, 2}, "a"), SubdirEntryBytes(1, 1, {3, 4}, "b")};
    root.files = {FileEntryBytes(20, {5, 6}, "f.txt")};
    a.subdirs = {SubdirEntryBytes(1, 1, {9, 10}, "x")};
    b.files = {FileEntryBytes(0, {7, 8}, "g")};
    m.dirs = {root, a, x, b};
    m.contents = {Text("Twenty bytes\x7f\x80\x10 of i"), Bytes{}};
    return m;
}

const char* kHeader = "Filesystem identifier     : FATx\n"
                      "Number of directories     : 4\n"
                      "Number of files           : 2\n"
                      "Summary attributes size   : 0\n"
                      "Directory attributes size : 2\n"
                      "Sum of file sizes         : 20\n";

TEST_F(Dump, FullArchiveInEveryFormat) {
    FullModel read;
    ASSERT_EQ(ReadFull(Write(Describe(SmallFull())), &read), 0);
    const std::string tree = "*** Directories ***\n"
                             "/0 (2 subdirs, 1 files, 3 1K-blocks)\n"
                             "a                             <DIR   1> attrib = 0102\n"
                             "(2 descendants, total size = 2*1K 3*2K 4*4K 5*8K 6*16K 7*32K)\n"
                             "b                             <DIR   3> attrib = 0304\n"
                             "(1 descendants, total size = 1*1K 2*2K 3*4K 4*8K 5*16K 6*32K)\n"
                             "f.txt                                20 attrib = 0506\n"
                             "/0/1 (1 subdirs, 0 files, 1 1K-blocks)\n"
                             "x                             <DIR   2> attrib = 090A\n"
                             "(1 descendants, total size = 1*1K 2*2K 3*4K 4*8K 5*16K 6*32K)\n"
                             "/0/1/2 (0 subdirs, 0 files, 1 1K-blocks)\n"
                             "/0/3 (0 subdirs, 1 files, 1 1K-blocks)\n"
                             "g                                     0 attrib = 0708\n";
    const std::string summaries = "*** Directories summary ***\n"
                                  "    0 : size = 3*1K 2*2K 1*4K 1*8K 1*16K 1*32K\n"
                                  "    1 : size = 1*1K 1*2K 1*4K 1*8K 1*16K 1*32K\n"
                                  "    2 : size = 1*1K 1*2K 1*4K 1*8K 1*16K 1*32K\n"
                                  "    3 : size = 1*1K 1*2K 1*4K 1*8K 1*16K 1*32K\n";
    const std::string fileSummaries = "*** Files summary ***\n"
                                      "    0 : size =       20\n"
                                      "    1 : size =        0\n";
    const std::string files = "*** Files ***\n"
                              "File #0 (20 bytes)\n"
                              "File #1 (0 bytes)\n";
    const std::string listing = "*** Files ***\n"
                                "File #0 (20 bytes)\n"
                                "00000000 : 54 77 65 6E 74 79 20 62 79 74 65 73 7F 80 10 20 "
                                "Twenty bytes\x7f\xc7. \n" // 0x80 is shown in ISO Latin
                                "00000010 : 6F 66 20 69                                     "
                                "of i\n"
                                "File #1 (0 bytes)\n";
    const std::string boot = "Boot sectors size         : 20\n"
                             "00000000 : 01 02 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E "
                             "..ABCDEFGHIJKLMN\n"
                             "00000010 : 4F 50 51 52                                     OPQR\n";
    struct Case {
        const char* format;
        std::string text;
    } cases[] = {
        {"", kHeader + std::string("Boot sectors size         : 20\n") + tree},
        {"hbD", kHeader + std::string("Boot sectors size         : 20\n") + tree},
        {"s", summaries},
        {"S", summaries + fileSummaries},
        {"f", files},
        {"F", listing},
        {"B", boot},
        {"d", "*** Directories ***\n/0 (2 subdirs, 1 files, 3 1K-blocks)\n"
              "/0/1 (1 subdirs, 0 files, 1 1K-blocks)\n/0/1/2 (0 subdirs, 0 files, 1 1K-blocks)\n"
              "/0/3 (0 subdirs, 1 files, 1 1K-blocks)\n"},
        {"xyz?", ""},
    };
    for (auto& c : cases)
        EXPECT_EQ(DumpOf(read, c.format), c.text) << "DumpFormat \"" << c.format << "\"";
}

TEST_F(Dump, IncrementalArchive) {
    IncrModel m;
    std::memcpy(m.header.fsId, "EXT2", 4);
    m.header.dirCount = 3;
    m.header.fileCount = 2;
    m.header.dirAttr = 1;
    auto idir = [](uint16_t pops, uint32_t s, uint32_t f, const char* name) {
        IDirModel d;
        d.record.pops = pops;
        d.record.subdirs = s;
        d.record.files = f;
        d.name = name;
        return d;
    };
    IDirModel root = idir(0, 1, 1, ""), etc = idir(0, 1, 0, "etc"), x11 = idir(0, 0, 1, "X11");
    root.subdirs = {SubdirEntryBytes(2, 0, {0xAB}, "etc")};
    root.files = {{FileEntryBytes(3, {0x01}, "vmlinuz"), Text("abc")}};
    etc.subdirs = {SubdirEntryBytes(1, 0, {0xCD}, "X11")};
    x11.files = {{FileEntryBytes(0, {0x02}, "xorg.conf"), {}}};
    m.dirs = {root, etc, x11};
    IncrModel read;
    ASSERT_EQ(ReadIncr(Write(Describe(m)), &read), 0);
    std::string header = "Filesystem identifier     : EXT2\n"
                         "Number of directories     : 3\n"
                         "Number of files           : 2\n"
                         "Summary attributes size   : 0\n"
                         "Directory attributes size : 1\n"
                         "Sum of file sizes         : 3\n";
    EXPECT_EQ(DumpOf(read, ""),
              header + "*** Changed Files/Directories ***\n"
                       "Dir #0 : / (1 subdirs, 1 files)\n"
                       "etc                           <DIR> attrib = AB\n"
                       "File #0 : vmlinuz                       Size = 3 attrib = 01\n"
                       "Dir #1 : /etc/ (1 subdirs, 0 files)\n"
                       "X11                           <DIR> attrib = CD\n"
                       "Dir #2 : /etc/X11/ (0 subdirs, 1 files)\n"
                       "File #1 : xorg.conf                     Size = 0 attrib = 02\n");
    EXPECT_EQ(DumpOf(read, "dF"), "*** Changed Files/Directories ***\n"
                                  "Dir #0 : / (1 subdirs, 1 files)\n"
                                  "00000000 : 61 62 63                                        abc\n"
                                  "Dir #1 : /etc/ (1 subdirs, 0 files)\n"
                                  "Dir #2 : /etc/X11/ (0 subdirs, 1 files)\n");
}

// Counts that disagree with what arrives print warnings and the dump goes on.
TEST_F(Dump, WarnsWhenCountsDisagree) {
    DumpState st;
    ArchiveHeader h;
    std::memcpy(h.fsId, "FATx", 4);
    h.dirCount = 3;
    h.fileCount = 3;
    StartDumpArchive(0, &st);
    DumpArchiveHeader(&st, &h);
    uint8_t data[8] = {};
    StartDumpBootSectors(&st, 4);
    DumpBootSectorsChunk(&st, data, 8);
    EndDumpBootSectors(&st);
    StartDumpBootSectors(&st, 16);
    DumpBootSectorsChunk(&st, data, 8);
    EndDumpBootSectors(&st);
    Bytes summary(DirSummary::kSize), fileSummary(kFileSummarySize);
    StartDumpDirSummary(&st);
    DumpDirSummaryEntry(&st, summary.data());
    EndDumpDirSummary(&st);
    StartDumpFileSummary(&st);
    DumpFileSummaryEntry(&st, fileSummary.data());
    DumpFileSummaryEntry(&st, fileSummary.data());
    EndDumpFileSummary(&st);
    StartDumpDirectories(&st);
    DirectoryRecord one;
    one.subdirs = 1;
    DumpDirectory(&st, &one); // its entry never comes
    DirectoryRecord none;
    none.pops = 5; // more levels than the path holds
    DumpDirectory(&st, &none);
    Bytes file = FileEntryBytes(1, {}, "extra");
    DumpDirEntryFile(&st, file.data());
    DumpDirectory(&st, &one);
    EndDumpDirectories(&st);
    StartDumpFiles(&st);
    DumpFileHeader(&st, 10);
    DumpFileContent(&st, data, 4);
    DumpFileHeader(&st, 2);
    DumpFileContent(&st, data, 8);
    EndDumpFiles(&st);
    EndDumpArchive(&st);
    EXPECT_EQ(Plain(TakeLog()), "Warning: more boot data than expected\n"
                                "Warning: less boot data than expected\n"
                                "WARNING: Bad number of dir summary entries\n"
                                "WARNING: Bad number of files summary entries\n"
                                "WARNING: Less directory entries than expected\n"
                                "WARNING: Too much directories to pop\n"
                                "WARNING: More directory entries than expected\n"
                                "WARNING: Less directory entries than expected\n"
                                "WARNING: Less file data than expected\n"
                                "Warning: more file data than expected\n"
                                "WARNING: Bad number of files\n");
    EXPECT_EQ(Logging, 0);
}

// Deep trees and long names stay inside the path text and its table.
TEST_F(Dump, DeepTreesStayInsideThePath) {
    DumpState st;
    ArchiveHeader h;
    h.dirCount = 200;
    StartDumpIArchive(kDumpDirectories, &st);
    DumpIArchiveHeader(&st, &h);
    StartDumpIFiles(&st);
    std::string name(127, 'n');
    IDirectoryRecord r;
    DumpIDirectory(&st, &r, "");
    for (int i = 0; i < 199; ++i)
        DumpIDirectory(&st, &r, name.c_str());
    EndDumpIFiles(&st);
    EndDumpIArchive(&st);
    std::string text = Plain(TakeLog());
    EXPECT_EQ(text.find("WARNING"), std::string::npos);
    size_t longest = 0, at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        longest = std::max(longest, end - at);
    EXPECT_LT(longest, kDumpPathMax + 40);
}

} // namespace
} // namespace vk::test
