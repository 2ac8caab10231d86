// ext2 quick format and full restore when the disk fails under them: every
// disk write of a clean and of a restore is made to fail in turn (with all
// later ones), and the command must fail, never reporting "Done". The
// archive is written by the archive writer; the disk is an in-memory image
// behind a fault injector.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/reader_source.h"
#include "archive/writer.h"
#include "disk/files.h"
#include "disk_fixture.h"
#include "fs/ext2.h"
#include "hostdir/hostdir.h"
#include "interp/script.h"
#include "interp_fixture.h"

namespace vk::test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kAttr = 86;

// The root holds the directory SUB and the file F.BIN: one block each.
Status WriteTestArchive(const std::string& name, const Bytes& data) {
    ArchiveWriter w;
    if (RewriteArchive(name.c_str(), kFragmentSizeDefault, &w)) return 1;
    ArchiveHeader h;
    memcpy(h.fsId, "EXT2", 4);
    h.dirCount = 2;
    h.fileCount = 1;
    h.summaryAttr = kAttr;
    h.sumOfSizes = uint32_t(data.size());
    Bytes rec(DirSummary::kSize + kAttr, 0);
    Status s = WriteArchiveHeader(&w, h) | RewriteBootSectors(&w, 0) | DoneBootSectors(&w) |
               RewriteDirSummary(&w);
    for (uint32_t subdirs : {1, 0}) {
        DirSummary{{1, 1, 1, 1, 1, 1}, subdirs, subdirs}.Store(rec.data());
        s |= WriteDirSummaryEntry(&w, rec.data());
    }
    s |= DoneDirSummary(&w) | RewriteFileSummary(&w);
    st32(rec.data(), uint32_t(data.size()));
    s |= WriteFileSummaryEntry(&w, rec.data()) | DoneFileSummary(&w) | RewriteDirectories(&w);
    DirectoryRecord r{{1, 1, 1, 1, 1, 1}, 1, 1, 0, 0};
    s |= WriteDirectory(&w, r);
    uint8_t sub[SubdirEntry::kSize + 4] = {1, 0, 0, 0, 1, 0, 1,   0,   1,  0,
                                           1, 0, 1, 0, 1, 0, 'S', 'U', 'B'};
    uint8_t file[4 + 6] = {0, 0, 0, 0, 'F', '.', 'B', 'I', 'N'};
    st32(file, uint32_t(data.size()));
    s |= WriteDirEntryDir(&w, sub) | WriteDirEntryFile(&w, file);
    r = DirectoryRecord{{1, 1, 1, 1, 1, 1}, 0, 0, 0, 0};
    s |= WriteDirectory(&w, r) | DoneDirectories(&w) | RewriteFiles(&w);
    s |= WriteFileHeader(&w, uint32_t(data.size()));
    for (size_t at = 0; at < data.size(); at += 32768)
        s |= WriteFileContent(&w, data.data() + at,
                              uint32_t(std::min<size_t>(32768, data.size() - at)));
    s |= DoneFiles(&w);
    if (s != 0) {
        AbortArchive(&w);
        return 1;
    }
    return DoneArchive(&w);
}

class Ext2RestoreFaults : public DiskTest {
  protected:
    void SetUp() override {
        DiskTest::SetUp();
        SetUpInterpreter();
        RegisterFsDriver(EXT2Driver);
        InitFsHandlers();
        RegisterFullArchiveReader();
        SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
        char pattern[] = "/tmp/vk-ext2r-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        Bytes data(300000);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = uint8_t(i * 7 + i / 300);
        archive_ = dir_ + "/t.arc";
        ASSERT_EQ(WriteTestArchive(archive_, data), 0);
    }
    void TearDown() override {
        DiskTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Status Run(const std::string& text) { return ParseLine(LoadLine(text.c_str())); }
    // A 40 MB disk with one ext2 partition whose n-th write and (sticky)
    // every later one fail.
    FaultyDisk* NewDisk(uint64_t failWrite, bool sticky = true) {
        FlushParts();
        ResetDisks();
        ClearLog();
        auto inner = std::make_unique<MemoryDisk>(uint64_t(20) * kCylinder * 512);
        PutTable(inner.get(), 0, {Part(0x83, 0, 1, 19)});
        return static_cast<FaultyDisk*>(
            AddDiskDevice(std::make_unique<FaultyDisk>(std::move(inner), 0, failWrite, sticky)));
    }
    bool Done() const { return Logged().find("EXT2 Unzip: Done !") != std::string::npos; }

    std::string dir_, archive_;
};

TEST_F(Ext2RestoreFaults, EveryFailedWriteFailsTheCommand) {
    FaultyDisk* disk = NewDisk(0);
    ASSERT_EQ(Run("clean 1"), 0);
    const uint64_t clean = disk->writes;
    ASSERT_EQ(Run("fullunzip \"" + archive_ + "\" 1"), 0) << Logged();
    ASSERT_TRUE(Done());
    const uint64_t restore = disk->writes - clean;
    ASSERT_GT(clean, 10u);
    ASSERT_GT(restore, 10u);
    for (uint64_t n = 1; n <= clean; ++n) {
        NewDisk(n);
        EXPECT_NE(Run("clean 1"), 0) << n;
        EXPECT_STREQ(errormsg, "Clean-up failed") << n;
    }
    for (uint64_t n = 1; n <= restore; ++n) {
        NewDisk(clean + n);
        ASSERT_EQ(Run("clean 1"), 0);
        EXPECT_NE(Run("fullunzip \"" + archive_ + "\" 1"), 0) << n;
        EXPECT_STREQ(errormsg, "Unzip is not possible (bad archive ?)") << n;
        EXPECT_FALSE(Done()) << n;
    }
}

// A clean that fails half way over a sound volume leaves it unwritable: a later command in the same
// run does not add to the half-made volume (only the n-th write fails, so the later ones would
// reach the disk).
TEST_F(Ext2RestoreFaults, HalfMadeVolumeIsNotWritten) {
    FaultyDisk* disk = NewDisk(0);
    ASSERT_EQ(Run("clean 1"), 0);
    const uint64_t clean = disk->writes;
    for (uint64_t n : {uint64_t(2), clean / 2}) {
        FaultyDisk* faulty = NewDisk(clean + n);
        ASSERT_EQ(Run("clean 1"), 0);
        ASSERT_NE(Run("clean 1"), 0) << n;
        const uint64_t before = faulty->writes;
        EXPECT_NE(Run("mkdir \"{0:1}/NEW\""), 0) << n;
        FlushParts();
        EXPECT_EQ(faulty->writes, before) << n;
    }
}

// After a clean, mkdir writes only when the cache evicts a dirty block: the mkdir during which the
// n-th write fails fails itself, and none before it.
TEST_F(Ext2RestoreFaults, LostWriteBackFailsItsCommand) {
    auto mkdir = [this](int i) { return Run("mkdir \"{0:1}/D" + std::to_string(i) + "\""); };
    FaultyDisk* disk = NewDisk(0);
    ASSERT_EQ(Run("clean 1"), 0);
    const uint64_t clean = disk->writes;
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(mkdir(i), 0);
    const uint64_t evictions = disk->writes - clean;
    ASSERT_GT(evictions, 10u);
    for (uint64_t n = 1; n <= evictions; ++n) {
        FaultyDisk* faulty = NewDisk(clean + n, false);
        ASSERT_EQ(Run("clean 1"), 0);
        bool hit = false;
        for (int i = 0; i < 30 && !hit; ++i) {
            const bool failed = mkdir(i) != 0;
            hit = faulty->writes >= clean + n;
            EXPECT_EQ(failed, hit) << n << " " << i;
        }
        EXPECT_TRUE(hit) << n;
    }
}

} // namespace
} // namespace vk::test
