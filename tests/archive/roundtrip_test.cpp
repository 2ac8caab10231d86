// The writer's bytes and the reader's view of them: exact layouts, fragment
// cutting, random archives written and read back, skipping versus reading,
// rewinding, and the writer's refusals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "archive/reader.h"
#include "archive/writer.h"
#include "archive/zip.h"
#include "archive_fixture.h"
#include "platform/checksum.h"
#include "platform/console.h"

namespace vk::test {
namespace {

class RoundTrip : public ArchiveTest {};

void Append(Bytes& b, const void* p, size_t n) {
    auto* q = static_cast<const uint8_t*>(p);
    b.insert(b.end(), q, q + n);
}
void AppendTag(Bytes& b, const char* tag) {
    Append(b, tag, 2);
}
void AppendU32(Bytes& b, uint32_t v) {
    uint8_t raw[4];
    st32(raw, v);
    Append(b, raw, 4);
}

// The smallest full archive: a FAT root without entries, no boot sectors,
// no files. Every byte is known.
TEST_F(RoundTrip, SmallestFullArchiveIsByteExact) {
    FullModel m;
    std::memcpy(m.header.fsId, "FATx", 4);
    m.header.dirCount = 1;
    m.header.dirAttr = 15;
    m.header.sumOfSizes = 777; // wrong on purpose: the writer recounts
    Bytes summary(DirSummary::kSize, 0);
    summary[0] = 1; // one 1 KiB block
    m.dirSummaries.push_back(summary);
    m.dirs.resize(1);
    m.dirs[0].record.blocks[0] = 1;
    ASSERT_EQ(WriteFull(m, Path("disk.000"), kFragmentSizeDefault), 0);
    EXPECT_EQ(
        TakeLog(),
        "Archive size is 0 Mb, stored in one fragment\r\nThe sum of all file sizes is 0 Mb\r\n");

    Bytes data;
    ArchiveHeader h = m.header;
    h.sumOfSizes = 0;
    uint8_t raw[24];
    h.Store(raw);
    Append(data, raw, 20);
    AppendTag(data, "BS");
    AppendU32(data, 0);
    AppendTag(data, "DS");
    std::vector<uint8_t> table(kZipTableSize);
    InitZipTable(table.data());
    uint16_t context = 0;
    uint8_t packed[64];
    uint16_t n = ZipData(summary.data(), packed, 20, &context, table.data());
    uint8_t chunk[4];
    ChunkHeader{n, 20}.Store(chunk);
    Append(data, chunk, 4);
    Append(data, packed, n);
    AppendTag(data, "FS"); // no files: no chunk at all
    AppendTag(data, "DC");
    m.dirs[0].record.Store(raw);
    Append(data, raw, 24); // no entries: no run
    AppendTag(data, "FC");
    AppendTag(data, "ZZ");

    FragmentHeader f;
    f.streamLength = uint32_t(data.size());
    f.dataLength = uint32_t(data.size());
    f.crc = CRC32(0, data.data(), data.size());
    Bytes file(20);
    f.Store(file.data());
    Append(file, data.data(), data.size());
    EXPECT_EQ(Hex(ReadHost(Path("disk.000"))), Hex(file));

    FullModel back;
    ASSERT_EQ(ReadFull(Path("disk.000"), &back), 0);
    m.header.sumOfSizes = 0;
    EXPECT_EQ(Describe(back), Describe(m));
}

// Content in pieces other than 32 KiB still lands in 32 KiB chunks, so the
// reader's min(remaining, 32768) requests always match.
TEST_F(RoundTrip, OddContentPiecesStillMakeWholeChunks) {
    std::mt19937 rng(5);
    FullModel m = RandomFull(rng, 6, 3, 200000);
    ASSERT_EQ(WriteFull(m, Path("odd.000"), kFragmentSizeDefault, Piece::Odd), 0);
    ASSERT_EQ(WriteFull(m, Path("even.000"), kFragmentSizeDefault, Piece::Chunk), 0);
    EXPECT_EQ(ReadHost(Path("odd.000")), ReadHost(Path("even.000")));
    FullModel back;
    ASSERT_EQ(ReadFull(Path("odd.000"), &back), 0);
    EXPECT_EQ(Describe(back), Describe(m));
}

TEST_F(RoundTrip, FragmentsBreakOnlyBeforeChunksAndChainTheirOffsets) {
    // About 6 MB that does not compress: thirteen fragments at the minimum
    // limit, so the names run past disk.009 to disk.010 and on.
    std::mt19937 rng(11);
    FullModel m;
    std::memcpy(m.header.fsId, "EXT2", 4);
    m.header.summaryAttr = 86;
    m.header.dirCount = 1;
    m.dirs.resize(1);
    m.dirSummaries.push_back(Bytes(DirSummary::kSize + 86, 1));
    for (int i = 0; i < 6; ++i) {
        Bytes content(1000000 + i);
        for (auto& b : content)
            b = uint8_t(rng());
        m.dirs[0].files.push_back(FileEntryBytes(uint32_t(content.size()), {}, "big"));
        Bytes summary(kFileSummarySize + 86, 0);
        st32(summary.data(), uint32_t(content.size()));
        m.fileSummaries.push_back(summary);
        m.header.sumOfSizes += uint32_t(content.size());
        m.contents.push_back(std::move(content));
    }
    m.dirs[0].record.files = 6;
    m.header.fileCount = 6;
    const uint32_t limit = kFragmentSizeMin;
    ASSERT_EQ(WriteFull(m, Path("disk.000"), limit), 0);
    int fragments = 0;
    for (char name[32];; ++fragments) {
        std::snprintf(name, sizeof name, "disk.%03d", fragments);
        if (!Exists(Path(name))) break;
    }
    ASSERT_GE(fragments, 12);
    std::string log = TakeLog();
    EXPECT_NE(
        log.find("Archive size is 6 Mb, stored in " + std::to_string(fragments) + " fragments\r\n"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("The sum of all file sizes is 5 Mb\r\n"), std::string::npos);

    uint32_t offset = 0, total = 0;
    uint32_t streamLength = 0;
    for (int n = 0; n < fragments; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "disk.%03d", n);
        Bytes file = ReadHost(Path(name));
        ASSERT_GE(file.size(), 24u) << name;
        FragmentHeader h = FragmentHeader::Load(file.data());
        EXPECT_EQ(h.magic, kFragmentMagic);
        EXPECT_EQ(file.size(), 20u + h.dataLength) << name;
        EXPECT_EQ(h.streamOffset, offset) << name;
        EXPECT_EQ(h.crc, CRC32(0, file.data() + 20, h.dataLength)) << name;
        if (n == 0) streamLength = h.streamLength;
        EXPECT_EQ(h.streamLength, streamLength) << name;
        if (n < fragments - 1) {
            // Ends with the break marker, and holds at most the limit plus a
            // chunk's expansion and the raw items written since the check.
            EXPECT_EQ(Hex(file.data() + file.size() - 4, 4), "ffff0000") << name;
            EXPECT_LE(h.dataLength, limit + 4 + kChunkPackedMax + 4 + 64) << name;
        }
        if (n > 0) {
            // The next fragment starts with a chunk header, never a raw item.
            ChunkHeader c = ChunkHeader::Load(file.data() + 20);
            EXPECT_GT(c.unpackedLength, 0) << name;
            EXPECT_LE(c.unpackedLength, kChunkData) << name;
            EXPECT_LE(c.packedLength, kChunkPackedMax) << name;
        }
        offset += h.dataLength;
        total += h.dataLength;
    }
    EXPECT_EQ(total, streamLength);

    FullModel back;
    ASSERT_EQ(ReadFull(Path("disk.000"), &back), 0);
    EXPECT_EQ(Describe(back), Describe(m));
}

TEST_F(RoundTrip, RandomArchivesReadBackIdentically) {
    std::mt19937 rng(2024);
    const uint32_t limits[] = {kFragmentSizeMin, 600000, 1u << 20, kFragmentSizeDefault};
    for (int round = 0; round < 8; ++round) {
        uint32_t limit = limits[round % 4];
        Piece piece = round % 3 == 0 ? Piece::Odd : Piece::Chunk;
        FullModel full = RandomFull(rng, 1 + int(rng() % 30), 2, 1500000);
        std::string name = Path("full" + std::to_string(round) + ".000");
        ASSERT_EQ(WriteFull(full, name, limit, piece), 0) << round;
        FullModel fullBack;
        ASSERT_EQ(ReadFull(name, &fullBack), 0) << round;
        EXPECT_EQ(Describe(fullBack), Describe(full)) << round;

        IncrModel incr = RandomIncr(rng, 1 + int(rng() % 30), 2, 1500000);
        name = Path("incr" + std::to_string(round) + ".000");
        ASSERT_EQ(WriteIncr(incr, name, limit, piece), 0) << round;
        IncrModel incrBack;
        ASSERT_EQ(ReadIncr(name, &incrBack), 0) << round;
        EXPECT_EQ(Describe(incrBack), Describe(incr)) << round;

        // Skipping every other file gives the same entries and lets the
        // archive end cleanly.
        ASSERT_EQ(ReadIncr(name, &incrBack, 2), 0) << round;
        for (size_t d = 0; d < incr.dirs.size(); ++d)
            for (size_t f = 0; f < incr.dirs[d].files.size(); ++f)
                EXPECT_EQ(incrBack.dirs[d].files[f].entry, incr.dirs[d].files[f].entry);
        ASSERT_EQ(ReadFull(Path("full" + std::to_string(round) + ".000"), &fullBack, 2), 0);
    }
    TakeLog();
}

// Two readers over the same archive, one reading each file and one skipping
// it, are in the same state after every file.
TEST_F(RoundTrip, SkippingAndReadingLeaveTheSameState) {
    std::mt19937 rng(77);
    FullModel m = RandomFull(rng, 12, 3, 900000);
    ASSERT_EQ(WriteFull(m, Path("s.000"), kFragmentSizeMin), 0);
    IArchive a, b;
    ASSERT_EQ(OpenArchive(Path("s.000").c_str(), &a), 0);
    ASSERT_EQ(OpenArchive(Path("s.000").c_str(), &b), 0);
    for (IArchive* r : {&a, &b}) {
        const ArchiveHeader* h;
        uint32_t size;
        ASSERT_EQ(ReadArchiveHeader(r, &h), 0);
        ASSERT_EQ(OpenBootSectors(r, &size), 0);
        for (const uint8_t* p; size > 0;) {
            uint32_t len;
            ASSERT_EQ(ReadBootSectorsChunk(r, &p, &len), 0);
            size -= len;
        }
        ASSERT_EQ(CloseBootSectors(r), 0);
        ASSERT_EQ(OpenDirSummary(r), 0);
        for (uint32_t i = 0; i < h->dirCount; ++i)
            ASSERT_EQ(SkipCompressedChunk(r, 20 + 86u * (h->summaryAttr != 0)), 0);
        ASSERT_EQ(CloseDirSummary(r), 0);
        ASSERT_EQ(OpenFileSummary(r), 0);
        for (uint32_t i = 0; i < h->fileCount; ++i)
            ASSERT_EQ(SkipCompressedChunk(r, 4 + h->summaryAttr), 0);
        ASSERT_EQ(CloseFileSummary(r), 0);
        ASSERT_EQ(OpenDirectories(r), 0);
        for (uint32_t i = 0; i < h->dirCount; ++i) {
            DirectoryRecord rec;
            const uint8_t* p;
            ASSERT_EQ(ReadDirectory(r, &rec), 0);
            for (uint32_t k = 0; k < rec.subdirs; ++k)
                ASSERT_EQ(ReadDirEntryDir(r, &p), 0);
            for (uint32_t k = 0; k < rec.files; ++k)
                ASSERT_EQ(ReadDirEntryFile(r, &p), 0);
        }
        ASSERT_EQ(CloseDirectories(r), 0);
        ASSERT_EQ(OpenFiles(r), 0);
    }
    for (size_t i = 0; i < m.contents.size(); ++i) {
        uint64_t size, skipped;
        ASSERT_EQ(ReadFileHeader(&a, &size), 0);
        Bytes content;
        while (content.size() < size) {
            const uint8_t* p;
            uint32_t len;
            ASSERT_EQ(ReadFileContent(&a, &p, &len), 0);
            content.insert(content.end(), p, p + len);
        }
        EXPECT_EQ(content, m.contents[i]);
        ASSERT_EQ(ReadSkipFile(&b, &skipped), 0);
        EXPECT_EQ(skipped, size);
        // Both have read the same chunks ahead: once their worker has
        // unpacked them, the predictor states must agree too.
        a.worker->Wait();
        b.worker->Wait();
        EXPECT_EQ(a.fragment, b.fragment);
        EXPECT_EQ(a.consumed, b.consumed);
        EXPECT_EQ(a.pending, b.pending);
        EXPECT_EQ(a.unpacked, b.unpacked);
        EXPECT_EQ(a.context, b.context);
        EXPECT_EQ(std::memcmp(a.table, b.table, kZipTableSize), 0);
    }
    EXPECT_EQ(CloseFiles(&a), 0);
    EXPECT_EQ(CloseFiles(&b), 0);
    EXPECT_EQ(CloseArchive(&a), 0);
    EXPECT_EQ(CloseArchive(&b), 0);
}

TEST_F(RoundTrip, ReopenedIncrementalArchiveGivesTheSameDataTwice) {
    std::mt19937 rng(31);
    IncrModel m = RandomIncr(rng, 15, 2, 800000);
    ASSERT_EQ(WriteIncr(m, Path("i.000"), kFragmentSizeMin), 0);
    IArchive r;
    ASSERT_EQ(OpenIArchive(Path("i.000").c_str(), &r), 0);
    std::string passes[2];
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            ASSERT_EQ(ReopenIArchive(&r), 0);
        }
        const ArchiveHeader* h;
        ASSERT_EQ(ReadIArchiveHeader(&r, &h), 0);
        ASSERT_EQ(OpenIFiles(&r), 0);
        for (uint32_t d = 0; d < h->dirCount; ++d) {
            IDirectoryRecord rec;
            const char* name;
            ASSERT_EQ(ReadIDirectory(&r, &rec, &name), 0);
            passes[pass] += std::string("D") + name;
            const uint8_t* p;
            for (uint32_t k = 0; k < rec.subdirs; ++k) {
                ASSERT_EQ(ReadIDirEntryDir(&r, &p), 0);
                passes[pass] += Hex(p, 16);
            }
            for (uint32_t k = 0; k < rec.files; ++k) {
                // First pass skips the contents, the second reads them.
                if (pass == 0) {
                    ASSERT_EQ(ReadISkipFile(&r, &p), 0);
                    passes[pass] += Hex(p, 4 + 86);
                } else {
                    ASSERT_EQ(ReadIDirEntryFile(&r, &p), 0);
                    passes[pass] += Hex(p, 4 + 86);
                    for (uint32_t left = ld32(p); left > 0;) {
                        const uint8_t* q;
                        uint32_t len;
                        ASSERT_EQ(ReadIFileContent(&r, &q, &len), 0);
                        left -= len;
                    }
                }
            }
        }
        ASSERT_EQ(CloseIFiles(&r), 0);
    }
    EXPECT_EQ(passes[0], passes[1]);
    EXPECT_EQ(CloseIArchive(&r), 0);
}

// ---- Writer refusals ---------------------------------------------------------

TEST_F(RoundTrip, SequenceViolationsFail) {
    ArchiveWriter w;
    ASSERT_EQ(RewriteArchive(Path("v.000").c_str(), kFragmentSizeDefault, &w), 0);
    ArchiveHeader h;
    h.dirAttr = 15;
    ASSERT_EQ(WriteArchiveHeader(&w, h), 0);
    ASSERT_EQ(RewriteBootSectors(&w, 1024), 0);
    Bytes sector(600, 1);
    ASSERT_EQ(WriteBootSectorsChunk(&w, sector.data(), 600), 0);
    EXPECT_NE(WriteBootSectorsChunk(&w, sector.data(), 600), 0); // more than announced
    EXPECT_NE(DoneBootSectors(&w), 0);                           // fewer than announced
    ASSERT_EQ(WriteBootSectorsChunk(&w, sector.data(), 424), 0);
    EXPECT_EQ(DoneBootSectors(&w), 0);

    ASSERT_EQ(RewriteDirectories(&w), 0);
    DirectoryRecord d;
    d.subdirs = 1;
    d.files = 1;
    ASSERT_EQ(WriteDirectory(&w, d), 0);
    Bytes entry = SubdirEntryBytes(1, 0, Bytes(15), "sub");
    ASSERT_EQ(WriteDirEntryDir(&w, entry.data()), 0);
    EXPECT_NE(WriteDirectory(&w, d), 0); // one file entry still missing
    EXPECT_NE(DoneDirectories(&w), 0);
    Bytes unterminated = FileEntryBytes(0, Bytes(15), std::string(140, 'n'));
    unterminated.back() = 'n';
    EXPECT_NE(WriteDirEntryFile(&w, unterminated.data()), 0); // no NUL within 128 bytes
    Bytes file = FileEntryBytes(5, Bytes(15), "five");
    ASSERT_EQ(WriteDirEntryFile(&w, file.data()), 0);
    EXPECT_NE(WriteDirEntryFile(&w, file.data()), 0); // more entries than announced
    EXPECT_EQ(DoneDirectories(&w), 0);

    ASSERT_EQ(RewriteFiles(&w), 0);
    ASSERT_EQ(WriteFileHeader(&w, 5), 0);
    EXPECT_NE(WriteFileHeader(&w, 5), 0);
    EXPECT_NE(DoneFiles(&w), 0);
    EXPECT_NE(WriteFileContent(&w, sector.data(), 6), 0);
    ASSERT_EQ(WriteFileContent(&w, sector.data(), 5), 0);
    EXPECT_EQ(DoneFiles(&w), 0);
    AbortArchive(&w);
}

TEST_F(RoundTrip, UncreatableArchiveIsReported) {
    ArchiveWriter w;
    std::string name = Path("missing/dir/disk.000");
    EXPECT_NE(RewriteArchive(name.c_str(), kFragmentSizeDefault, &w), 0);
    EXPECT_EQ(TakeLog(), "ERROR: Could not rewrite file " + name + "\r\n");
}

// A first name ending in "1" would give the second fragment the same name:
// the writer refuses rather than overwrite the first fragment.
TEST_F(RoundTrip, FragmentNameThatRepeatsAnEarlierOneIsRefused) {
    std::mt19937 rng(3);
    FullModel m = RandomFull(rng, 3, 1, 10);
    Bytes noise(700000);
    for (auto& b : noise)
        b = uint8_t(rng());
    m.contents.back() = noise;
    m.fileSummaries.back() = Bytes(kFileSummarySize + m.header.summaryAttr, 0);
    for (auto& d : m.dirs) {
        if (!d.files.empty()) st32(d.files.back().data(), uint32_t(noise.size()));
    }
    std::string name = Path("disk.001");
    EXPECT_NE(WriteFull(m, name, kFragmentSizeMin), 0);
    FragmentHeader h = FragmentHeader::Load(ReadHost(name).data());
    EXPECT_EQ(h.streamOffset, 0u); // still the first fragment
    EXPECT_GT(h.dataLength, 400000u);
    EXPECT_EQ(ReadHost(name).size(), 20u + h.dataLength);
    EXPECT_NE(TakeLog().find("ERROR: Could not rewrite file "), std::string::npos);
}

// The next fragment cannot be created: the write fails, and so does every
// later one, without touching a closed file.
int createsLeft = 0;
DosFile LimitedCreate(const char* path) {
    return createsLeft-- > 0 ? HostWriteIOOps().create(path) : nullptr;
}

TEST_F(RoundTrip, NextFragmentThatCannotBeCreatedFailsTheWrite) {
    std::mt19937 rng(12);
    FullModel m = RandomFull(rng, 4, 2, 1);
    for (auto& c : m.contents)
        c.assign(c.size(), 1);
    m.contents[0].resize(1500000);
    for (auto& b : m.contents[0])
        b = uint8_t(rng());
    size_t file = 0;
    for (auto& d : m.dirs)
        for (auto& e : d.files)
            st32(e.data(), uint32_t(m.contents[file++].size()));
    WriteIOOps limited = HostWriteIOOps();
    limited.create = LimitedCreate;
    createsLeft = 1;
    SetWriteIOOps(&limited);
    EXPECT_NE(WriteFull(m, Path("n.000"), kFragmentSizeMin), 0);
    SetWriteIOOps(nullptr);
    EXPECT_EQ(TakeLog(), "ERROR: Could not rewrite file " + Path("n.001") + "\r\n");
}

// A target that stores fewer bytes than asked ends the program.
uint32_t writeBudget = 0;
uint16_t FailingWrite(DosFile f, const void* data, uint16_t n) {
    if (n > writeBudget) {
        uint16_t stored = HostWriteIOOps().write(f, data, uint16_t(writeBudget));
        writeBudget = 0;
        return stored;
    }
    writeBudget -= n;
    return HostWriteIOOps().write(f, data, n);
}

TEST_F(RoundTrip, FullDiskEndsTheProgram) {
    std::mt19937 rng(8);
    FullModel m = RandomFull(rng, 5, 1, 300000);
    std::string name = Path("full.000");
    EXPECT_EXIT(
        {
            dup2(2, 1); // the fatal message is ordinary output
            LogFileBuff = nullptr;
            WriteIOOps failing = HostWriteIOOps();
            failing.write = FailingWrite;
            writeBudget = 5000;
            SetWriteIOOps(&failing);
            WriteFull(m, name, kFragmentSizeDefault);
        },
        ::testing::ExitedWithCode(255), "Disk full, giving up !");
}

// Buffered bytes that the host refuses only when the fragment is closed
// (a full disk found by the final flush) end the program the same way.
int FailingClose(DosFile f) {
    HostWriteIOOps().close(f);
    return -1;
}

TEST_F(RoundTrip, AFailedFlushOnCloseEndsTheProgram) {
    std::mt19937 rng(9);
    FullModel m = RandomFull(rng, 2, 1, 1000);
    std::string name = Path("flush.000");
    EXPECT_EXIT(
        {
            dup2(2, 1);
            LogFileBuff = nullptr;
            WriteIOOps failing = HostWriteIOOps();
            failing.close = FailingClose;
            SetWriteIOOps(&failing);
            WriteFull(m, name, kFragmentSizeDefault);
        },
        ::testing::ExitedWithCode(255), "Disk full, giving up !");
}

} // namespace
} // namespace vk::test
