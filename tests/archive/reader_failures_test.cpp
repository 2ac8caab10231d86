// Every failure of the reader, each from an archive damaged in that way,
// with the exact log text.
#include <gtest/gtest.h>

#include <cstring>

#include "archive/reader.h"
#include "archive/writer.h"
#include "archive_fixture.h"

namespace vk::test {
namespace {

// The file layer with faults: close fails from the n-th call on, and files
// can be reported as copies in the remote-file cache.
int closeCalls = 0;
int failCloseFrom = 0;
bool reportCached = false;

Status FaultyClose(FileRecord* file) {
    Status s = CloseFILE(file);
    ++closeCalls;
    return failCloseFrom > 0 && closeCalls >= failCloseFrom ? 1 : s;
}
bool Cached(const FileRecord*) {
    return reportCached;
}

const ReadIOOps kFaulty = {OpenFILE, ReadFILE, FaultyClose, DeleteFILE, Cached, nullptr};

class ReaderFailures : public ArchiveTest {
  protected:
    void SetUp() override {
        ArchiveTest::SetUp();
        closeCalls = 0;
        failCloseFrom = 0;
        reportCached = false;
        SetReadIOOps(&kFaulty);
    }
    void TearDown() override {
        SetReadIOOps(nullptr);
        ArchiveTest::TearDown();
    }

    // A full archive of about 2 MB of noise in several fragments
    // (name.000, name.001, ...); returns the number of fragments.
    int WriteSpread(const std::string& name) {
        std::mt19937 rng(4);
        FullModel m = RandomFull(rng, 4, 0, 1);
        for (auto& c : m.contents)
            c.clear();
        Bytes noise(1800000);
        for (auto& b : noise)
            b = uint8_t(rng());
        if (m.contents.empty()) return 0;
        m.contents[0] = noise;
        size_t file = 0;
        for (auto& d : m.dirs)
            for (auto& e : d.files)
                st32(e.data(), uint32_t(m.contents[file++].size()));
        EXPECT_EQ(WriteFull(m, Path(name + ".000"), kFragmentSizeMin), 0);
        model_ = m;
        TakeLog();
        int n = 0;
        while (Exists(Path(name + ".00" + std::to_string(n))))
            ++n;
        return n;
    }

    // A one-fragment archive with a single file of `size` bytes.
    void WriteSmall(const std::string& name, uint32_t size) {
        FullModel m;
        std::memcpy(m.header.fsId, "FATx", 4);
        m.header.dirAttr = 15;
        m.header.dirCount = 1;
        m.header.fileCount = 1;
        m.dirSummaries.push_back(Bytes(DirSummary::kSize, 0));
        m.fileSummaries.push_back(Bytes(kFileSummarySize, 0));
        m.dirs.resize(1);
        m.dirs[0].record.files = 1;
        m.dirs[0].files.push_back(FileEntryBytes(size, Bytes(15, 3), "only"));
        m.contents.push_back(Bytes(size, 'x'));
        ASSERT_EQ(WriteFull(m, Path(name), kFragmentSizeDefault), 0);
        TakeLog();
    }

    std::string OpenLog(const std::string& name) {
        IArchive r;
        EXPECT_NE(OpenArchive(Path(name).c_str(), &r), 0);
        AbandonArchive(&r);
        return TakeLog();
    }

    FullModel model_;
};

// The reader's own lines, from its first message on (the file layer may log
// its view of a missing file before them).
std::string FromReader(const std::string& log) {
    size_t at = log.find("ERROR: [");
    return at == std::string::npos ? log : log.substr(at);
}

TEST_F(ReaderFailures, HeaderChecks) {
    EXPECT_EQ(FromReader(OpenLog("none.000")), "ERROR: [OpenFragment] Cannot open file\r\n");

    WriteHost(Path("short.000"), Bytes(10, 0x56));
    EXPECT_EQ(OpenLog("short.000"), "ERROR: [OpenFragment] Cannot read header\r\n");

    WriteSmall("magic.000", 10);
    Bytes file = ReadHost(Path("magic.000"));
    file[3] = 0x12; // 0x10 and 0x11 are the two header widths
    WriteHost(Path("magic.000"), file);
    EXPECT_EQ(OpenLog("magic.000"), "ERROR: [OpenFragment] file is not an archive\r\n");

    // A truncated fragment, and one with bytes appended: the two sizes are
    // reported.
    WriteSmall("cut.000", 10);
    file = ReadHost(Path("cut.000"));
    size_t full = file.size();
    file.resize(full - 3);
    WriteHost(Path("cut.000"), file);
    std::string expected =
        "ERROR: [OpenFrag] archive file is corrupted.\r\nSize of the archive file : " +
        std::to_string(full - 3) + " Size expected : " + std::to_string(full) +
        "\r\nThis error may be caused by a misconfiguration of the TFTP server\r\n";
    EXPECT_EQ(OpenLog("cut.000"), expected);
    file.resize(full + 5, 0);
    WriteHost(Path("cut.000"), file);
    EXPECT_NE(OpenLog("cut.000").find("Size of the archive file : " + std::to_string(full + 5) +
                                      " Size expected : " + std::to_string(full)),
              std::string::npos);
}

TEST_F(ReaderFailures, DamagedCachedCopyIsDeleted) {
    WriteSmall("c.000", 10);
    Bytes file = ReadHost(Path("c.000"));
    file.pop_back();
    WriteHost(Path("c.000"), file);
    reportCached = true;
    OpenLog("c.000");
    EXPECT_FALSE(Exists(Path("c.000")));
    // A sound copy is kept.
    WriteSmall("d.000", 10);
    IArchive r;
    ASSERT_EQ(OpenArchive(Path("d.000").c_str(), &r), 0);
    AbandonArchive(&r);
    EXPECT_TRUE(Exists(Path("d.000")));
}

TEST_F(ReaderFailures, FragmentsOutOfPlace) {
    int n = WriteSpread("a");
    ASSERT_GE(n, 4);
    EXPECT_EQ(OpenLog("a.001"), "ERROR: [OpenFragment] this file is not the first fragment\r\n");

    // The second fragment of another archive (another stream length).
    WriteSpread("b");
    Bytes other = ReadHost(Path("a.001"));
    st32(other.data() + 4, FragmentHeader::Load(other.data()).streamLength + 1);
    WriteHost(Path("b.001"), other);
    EXPECT_EQ(OpenLog("b.000"), "ERROR: [OpenFragment] invalid fragment\r\n"
                                "ERROR: [NextFragment] Error opening next fragment\r\n");

    // A fragment of the same archive out of order.
    WriteSpread("c");
    WriteHost(Path("c.001"), ReadHost(Path("c.002")));
    EXPECT_EQ(OpenLog("c.000"), "ERROR: [NextFragment] Invalid fragment\r\n");
}

TEST_F(ReaderFailures, MissingFragmentWithAndWithoutScan) {
    int n = WriteSpread("m");
    ASSERT_GE(n, 4);
    std::remove(Path("m.002").c_str());
    EXPECT_EQ(FromReader(OpenLog("m.000")),
              "ERROR: [OpenFragment] Cannot open file\r\n"
              "ERROR: [NextFragment] Error opening next fragment\r\n");

    // Without the scan the open succeeds and reading stops at the gap.
    Settings()["CacheNever"] = "on";
    FullModel back;
    EXPECT_NE(ReadFull(Path("m.000"), &back), 0);
    EXPECT_EQ(FromReader(TakeLog()), "ERROR: [OpenFragment] Cannot open file\r\n"
                                     "ERROR: [NextFragment] Error opening next fragment\r\n");
}

TEST_F(ReaderFailures, RawReadBeyondTheData) {
    // A fragment cut short consistently (header and file agree): the raw
    // items after the cut are missing.
    WriteSmall("r.000", 10);
    Bytes file = ReadHost(Path("r.000"));
    file.resize(file.size() - 4);
    FragmentHeader h = FragmentHeader::Load(file.data());
    h.dataLength -= 4;
    h.streamLength -= 4;
    h.Store(file.data());
    WriteHost(Path("r.000"), file);
    FullModel back;
    EXPECT_NE(ReadFull(Path("r.000"), &back), 0);
    EXPECT_EQ(TakeLog(), "ERROR: [ReadFromFrag] ReadIO error\r\n");
}

TEST_F(ReaderFailures, ADamagedByteInAnyFragmentFailsTheRead) {
    // Lengths and markers intact, one data byte changed. A changed literal
    // unpacks to other data of the same shape: only the CRC tells. (A few
    // neighbouring bytes are tried, as one may be a flag or a chunk header,
    // whose damage fails the read in other ways.)
    int fragments = WriteSpread("c");
    ASSERT_GE(fragments, 3);
    for (int f = 0; f < fragments; ++f) {
        std::string name = Path("c.00" + std::to_string(f));
        Bytes good = ReadHost(name);
        bool caught = false;
        for (size_t k = 0; k < 8 && !caught; ++k) {
            Bytes bad = good;
            bad[FragmentHeader::kSize + (bad.size() - FragmentHeader::kSize) / 2 + k] ^= 0x01;
            WriteHost(name, bad);
            FullModel back;
            EXPECT_NE(ReadFull(Path("c.000"), &back), 0) << "fragment " << f << " byte " << k;
            caught =
                TakeLog().find("ERROR: [ReadFromFrag] Fragment data damaged (CRC error)\r\n") !=
                std::string::npos;
        }
        EXPECT_TRUE(caught) << "fragment " << f;
        WriteHost(name, good);
    }
    FullModel back;
    EXPECT_EQ(ReadFull(Path("c.000"), &back), 0);
}

TEST_F(ReaderFailures, RunHoldingLessThanAsked) {
    // The file's raw size says 6 but its run holds 5 bytes.
    WriteSmall("l.000", 5);
    Bytes file = ReadHost(Path("l.000"));
    Bytes fc = {'F', 'C', 5, 0, 0, 0};
    auto at = std::search(file.begin(), file.end(), fc.begin(), fc.end());
    ASSERT_NE(at, file.end());
    at[2] = 6;
    WriteHost(Path("l.000"), file);
    FullModel back;
    EXPECT_NE(ReadFull(Path("l.000"), &back), 0);
    EXPECT_EQ(TakeLog(), "ERROR: [ReadComprChunk] Not enough data\r\n");
}

TEST_F(ReaderFailures, ArchiveClosedEarly) {
    WriteSmall("e.000", 10);
    IArchive r;
    ASSERT_EQ(OpenArchive(Path("e.000").c_str(), &r), 0);
    const ArchiveHeader* h;
    ASSERT_EQ(ReadArchiveHeader(&r, &h), 0);
    EXPECT_NE(CloseArchive(&r), 0);
    EXPECT_EQ(TakeLog(), "ERROR: [CloseArchive] Unzip is not complete\r\n"
                         "ERROR: [CloseFragment] Fragment not completely processed"
                         "ERROR: [CloseArchive] Unable to close fragment\r\n");
    EXPECT_EQ(r.table, nullptr);
    EXPECT_EQ(r.unpack, nullptr);
    EXPECT_EQ(r.io.buffer, nullptr);
}

TEST_F(ReaderFailures, CloseErrors) {
    // Closing the last fragment fails.
    WriteSmall("k.000", 10);
    Settings()["CacheNever"] = "ON";
    FullModel back;
    failCloseFrom = 1;
    EXPECT_NE(ReadFull(Path("k.000"), &back), 0);
    EXPECT_EQ(TakeLog(), "ERROR: [CloseFragment] Error closing file\r\n"
                         "ERROR: [CloseArchive] Unable to close fragment\r\n");

    // Closing a fragment at its break marker fails.
    WriteSpread("s");
    closeCalls = 0;
    failCloseFrom = 1;
    EXPECT_NE(ReadFull(Path("s.000"), &back), 0);
    EXPECT_EQ(TakeLog(), "ERROR: [StopFragment] Error closing file\r\n"
                         "ERROR: [NextFragment] Error closing fragment\r\n");
}

TEST_F(ReaderFailures, DataAfterTheBreakMarker) {
    WriteSpread("x");
    Bytes file = ReadHost(Path("x.000"));
    FragmentHeader h = FragmentHeader::Load(file.data());
    file.push_back(0);
    h.dataLength += 1;
    h.Store(file.data());
    WriteHost(Path("x.000"), file);
    Settings()["CacheNever"] = "ON"; // the scan would stop at the offsets
    FullModel back;
    EXPECT_NE(ReadFull(Path("x.000"), &back), 0);
    EXPECT_EQ(TakeLog(), "ERROR: [StopFragment] Fragment not completely processed"
                         "ERROR: [NextFragment] Error closing fragment\r\n");
}

TEST_F(ReaderFailures, SectionOrderErrorsFailSilently) {
    WriteSmall("o.000", 10);
    IArchive r;
    ASSERT_EQ(OpenArchive(Path("o.000").c_str(), &r), 0);
    const ArchiveHeader* h;
    ASSERT_EQ(ReadArchiveHeader(&r, &h), 0);
    EXPECT_NE(OpenDirSummary(&r), 0); // the boot sectors come first
    EXPECT_EQ(TakeLog(), "");
    AbandonArchive(&r);

    // A directory whose entries are still unread.
    ASSERT_EQ(OpenArchive(Path("o.000").c_str(), &r), 0);
    uint32_t size;
    const uint8_t* p;
    ASSERT_EQ(ReadArchiveHeader(&r, &h), 0);
    ASSERT_EQ(OpenBootSectors(&r, &size), 0);
    ASSERT_EQ(CloseBootSectors(&r), 0);
    ASSERT_EQ(OpenDirSummary(&r), 0);
    ASSERT_EQ(ReadDirSummaryEntry(&r, &p), 0);
    ASSERT_EQ(CloseDirSummary(&r), 0);
    ASSERT_EQ(OpenFileSummary(&r), 0);
    ASSERT_EQ(ReadFileSummaryEntry(&r, &p), 0);
    ASSERT_EQ(CloseFileSummary(&r), 0);
    ASSERT_EQ(OpenDirectories(&r), 0);
    DirectoryRecord d;
    ASSERT_EQ(ReadDirectory(&r, &d), 0);
    EXPECT_NE(ReadDirectory(&r, &d), 0);
    EXPECT_NE(CloseDirectories(&r), 0);
    AbandonArchive(&r);
}

} // namespace
} // namespace vk::test
