// Quick format and full restore when the disk fails under them: a restore
// whose write fails once is retried and completes, a write that keeps
// failing fails the command without "Done", and quick format reports a
// failed write. The archive is written by the archive writer into a
// scratch directory; the disk is an in-memory image behind a fault injector.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "archive/reader_source.h"
#include "archive/writer.h"
#include "disk/files.h"
#include "disk_fixture.h"
#include "fs/fat.h"
#include "hostdir/hostdir.h"
#include "interp/script.h"
#include "interp_fixture.h"

namespace vk::test {
namespace {

using Bytes = std::vector<uint8_t>;

// Packed attributes of an entry: the attribute byte and fixed times.
Bytes Attributes(uint8_t attr) {
    Bytes a(15, 0);
    a[0] = attr;
    st16(a.data() + 2, 0x6B2D); // 13:25:26
    st16(a.data() + 4, 0x4ECF); // 2019-06-15
    st16(a.data() + 6, 0x4ECF);
    st16(a.data() + 8, 0x6B2D);
    st16(a.data() + 10, 0x4ECF);
    return a;
}

Bytes Entry(Bytes fixed, const Bytes& attrs, const char* name) {
    fixed.insert(fixed.end(), attrs.begin(), attrs.end());
    fixed.insert(fixed.end(), name, name + strlen(name) + 1);
    return fixed;
}

// The root holds SUB (empty) and the files A.BIN and B.TXT: 64 + 3 * 32
// bytes, one block at every size, like SUB.
Status WriteTestArchive(const std::string& name, const Bytes& a, const Bytes& b) {
    ArchiveWriter w;
    if (RewriteArchive(name.c_str(), kFragmentSizeDefault, &w)) return 1;
    ArchiveHeader h;
    memcpy(h.fsId, "FATx", 4);
    h.dirCount = 2;
    h.fileCount = 2;
    h.dirAttr = 15;
    h.sumOfSizes = uint32_t(a.size() + b.size());
    uint8_t rec[24];
    DirSummary root{{1, 1, 1, 1, 1, 1}, 1, 2}, sub{{1, 1, 1, 1, 1, 1}, 0, 0};
    Status s = WriteArchiveHeader(&w, h) | RewriteBootSectors(&w, 0) | DoneBootSectors(&w) |
               RewriteDirSummary(&w);
    root.Store(rec);
    s |= WriteDirSummaryEntry(&w, rec);
    sub.Store(rec);
    s |= WriteDirSummaryEntry(&w, rec) | DoneDirSummary(&w) | RewriteFileSummary(&w);
    st32(rec, uint32_t(a.size()));
    s |= WriteFileSummaryEntry(&w, rec);
    st32(rec, uint32_t(b.size()));
    s |= WriteFileSummaryEntry(&w, rec) | DoneFileSummary(&w) | RewriteDirectories(&w);
    DirectoryRecord r;
    for (uint16_t& block : r.blocks)
        block = 1;
    r.subdirs = 1;
    r.files = 2;
    s |= WriteDirectory(&w, r);
    Bytes fixed(16, 0);
    st32(fixed.data(), 1);
    for (int k = 0; k < 6; ++k)
        st16(fixed.data() + 4 + 2 * k, 1);
    s |= WriteDirEntryDir(&w, Entry(fixed, Attributes(0x10), "SUB").data());
    Bytes size(4);
    st32(size.data(), uint32_t(a.size()));
    s |= WriteDirEntryFile(&w, Entry(size, Attributes(0x20), "A.BIN").data());
    st32(size.data(), uint32_t(b.size()));
    s |= WriteDirEntryFile(&w, Entry(size, Attributes(0x21), "B.TXT").data());
    r.subdirs = r.files = 0;
    s |= WriteDirectory(&w, r) | DoneDirectories(&w) | RewriteFiles(&w);
    for (const Bytes* content : {&a, &b}) {
        s |= WriteFileHeader(&w, uint32_t(content->size()));
        for (size_t at = 0; at < content->size(); at += 32768)
            s |= WriteFileContent(&w, content->data() + at,
                                  uint32_t(std::min<size_t>(32768, content->size() - at)));
    }
    s |= DoneFiles(&w);
    if (s != 0) {
        AbortArchive(&w);
        return 1;
    }
    return DoneArchive(&w);
}

class FatRestoreTest : public DiskTest {
  protected:
    void SetUp() override {
        DiskTest::SetUp();
        SetUpInterpreter();
        RegisterFsDriver(FAT16Driver);
        RegisterFsDriver(FAT32Driver);
        InitFsHandlers();
        RegisterFullArchiveReader();
        SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
        char pattern[] = "/tmp/vk-fatr-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        a_.resize(70000);
        for (size_t i = 0; i < a_.size(); ++i)
            a_[i] = uint8_t(i * 7 + i / 300);
        b_ = {'h', 'e', 'l', 'l', 'o'};
        archive_ = dir_ + "/t.arc";
        ASSERT_EQ(WriteTestArchive(archive_, a_, b_), 0);
        ClearLog();
    }
    void TearDown() override {
        DiskTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Status Run(const std::string& text) { return ParseLine(LoadLine(text.c_str())); }
    // An 80 MB disk with one FAT32 partition, its n-th write failing (and,
    // with sticky, every later one).
    FaultyDisk* AddDisk(uint64_t failWrite, bool sticky) {
        auto inner = std::make_unique<MemoryDisk>(uint64_t(40) * kCylinder * 512);
        PutTable(inner.get(), 0, {Part(0x0C, 0, 1, 39)});
        return static_cast<FaultyDisk*>(
            AddDiskDevice(std::make_unique<FaultyDisk>(std::move(inner), 0, failWrite, sticky)));
    }
    void NewDisks() {
        FlushParts();
        ResetDisks();
        ClearLog();
    }
    // The restored file's bytes, read back through the driver.
    Bytes ReadBack(const char* name) {
        FsState* part = SelectPart(0x80, 1);
        EXPECT_NE(part, nullptr);
        const FsHandler* h = part->handler;
        FsDirHandle* dir = nullptr;
        Bytes out;
        if (h->OpenDir(*part, nullptr, &dir) != 0) return out;
        FsEntry e;
        while (h->NextDirEntry(*part, dir, &e) == 0) {
            if (strcmp(e.name, name) != 0) continue;
            uint64_t size = 0;
            FsFileHandle* file = nullptr;
            if (h->OpenFile(*part, &e, &size, &file) != 0) break;
            std::vector<uint8_t> chunk(kChunkMax);
            while (out.size() < size) {
                uint16_t n = h->ReadFileChunk(*part, file, chunk.data());
                if (n == 0) break;
                out.insert(out.end(), chunk.begin(),
                           chunk.begin() + std::min<size_t>(n, size - out.size()));
            }
            h->CloseFile(*part, file);
            break;
        }
        h->CloseDir(*part, dir);
        return out;
    }
    size_t Count(const std::string& text) {
        std::string log = Logged();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }

    std::string dir_, archive_;
    Bytes a_, b_;
};

TEST_F(FatRestoreTest, AWriteThatFailsOnceIsRetried) {
    // How many writes the restore itself takes (the flush follows it).
    FaultyDisk* disk = AddDisk(0, false);
    ASSERT_EQ(Run("clean 1"), 0);
    uint64_t before = disk->writes;
    FsState* part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    IArchive archive;
    ASSERT_EQ(OpenArchive(archive_.c_str(), &archive), 0);
    ASSERT_EQ(FAT32Handler.FullUnzip(*part, &archive), 0);
    AbandonArchive(&archive);
    uint64_t writes = disk->writes - before;
    ASSERT_GT(writes, 4u);
    EXPECT_EQ(Count("FAT Unzip: Done !"), 1u);

    // Each phase in turn: boot sector, FAT, directories, file data.
    for (uint64_t fail : {uint64_t(1), writes / 3, writes / 2, writes}) {
        NewDisks();
        disk = AddDisk(0, false);
        ASSERT_EQ(Run("clean 1"), 0);
        uint64_t start = disk->writes;
        NewDisks();
        disk = AddDisk(start + fail, false);
        ASSERT_EQ(Run("clean 1"), 0);
        ASSERT_EQ(Run("fullunzip \"" + archive_ + "\" 1"), 0) << fail;
        EXPECT_EQ(Count("ERROR: Low-level write failed"), 1u) << fail;
        EXPECT_EQ(Count("Unzip failed, trying again"), 1u) << fail;
        EXPECT_EQ(Count("FAT Unzip: Done !"), 1u) << fail;
        EXPECT_EQ(ReadBack("A.BIN"), a_) << fail;
        EXPECT_EQ(ReadBack("B.TXT"), b_) << fail;
    }
}

TEST_F(FatRestoreTest, AWriteThatKeepsFailingFailsTheRestore) {
    FaultyDisk* disk = AddDisk(0, false);
    ASSERT_EQ(Run("clean 1"), 0);
    uint64_t start = disk->writes;
    ASSERT_EQ(Run("fullunzip \"" + archive_ + "\" 1"), 0);
    uint64_t all = disk->writes - start; // the restore and its flush
    NewDisks();
    AddDisk(start + 3, true);
    ASSERT_EQ(Run("clean 1"), 0);
    EXPECT_NE(Run("fullunzip \"" + archive_ + "\" 1"), 0);
    EXPECT_STREQ(errormsg, "Unzip is not possible (bad archive ?)");
    EXPECT_EQ(Count("Unzip failed, trying again"), 1u);
    EXPECT_EQ(Count("FAT Unzip: Done !"), 0u);

    // The last write, the boot sector that completes the volume: the
    // restore fails there and its retry at its first write.
    NewDisks();
    AddDisk(start + all, true);
    ASSERT_EQ(Run("clean 1"), 0);
    EXPECT_NE(Run("fullunzip \"" + archive_ + "\" 1"), 0);
    EXPECT_STREQ(errormsg, "Unzip is not possible (bad archive ?)");
    EXPECT_EQ(Count("Unzip failed, trying again"), 1u);
    EXPECT_EQ(Count("ERROR: Low-level write failed"), 2u);
}

TEST_F(FatRestoreTest, QuickFormatReportsAFailedWrite) {
    for (uint64_t fail : {1, 2, 5, 9}) {
        NewDisks();
        AddDisk(fail, true);
        EXPECT_NE(Run("clean 1 \"LABEL\""), 0) << fail;
        EXPECT_STREQ(errormsg, "Clean-up failed");
    }
}

} // namespace
} // namespace vk::test
