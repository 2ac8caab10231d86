// The MBR driver: listing, reading and writing BootCode and BootData, and
// the fresh boot program of Clean.
#include <cstring>

#include "disk_fixture.h"
#include "fs/mbr.h"

namespace vk::test {
namespace {

class MbrTest : public DiskTest {
  protected:
    void SetUp() override {
        DiskTest::SetUp();
        disk = AddMemoryDisk(100);
        for (uint32_t s = 0; s < 64; ++s) {
            std::vector<uint8_t> sector(512, uint8_t(s + 1));
            disk->PutSector(s, sector.data());
        }
        PutTable(disk, 0,
                 {Part(0x06, 0, 1, 9), Part(0x83, 10, 0, 19), Part(0x82, 20, 0, 29),
                  Part(0x05, 30, 0, 99)});
        table = disk->Sector(0);
        part = SelectPart(0x80, 0);
        ASSERT_NE(part, nullptr);
        h = part->handler;
        ASSERT_EQ(h, &MBRHandler);
    }
    // Looks a file up by name through the directory, as the file layer does.
    FsEntry Find(const char* name) {
        FsDirHandle* dir = nullptr;
        EXPECT_EQ(h->OpenDir(*part, nullptr, &dir), 0);
        FsEntry e{};
        FsEntry found{};
        while (h->NextDirEntry(*part, dir, &e) == 0)
            if (strcasecmp(e.name, name) == 0) CopyEntry(found, e);
        h->CloseDir(*part, dir);
        return found;
    }
    std::vector<uint8_t> ReadAll(const char* name) {
        FsEntry e = Find(name);
        uint64_t size = 0;
        FsFileHandle* file = nullptr;
        EXPECT_EQ(h->OpenFile(*part, &e, &size, &file), 0);
        std::vector<uint8_t> out, chunk(kChunkMax);
        while (uint16_t n = h->ReadFileChunk(*part, file, chunk.data())) {
            EXPECT_LE(n, kChunkMax);
            out.insert(out.end(), chunk.begin(), chunk.begin() + n);
        }
        h->CloseFile(*part, file);
        EXPECT_EQ(out.size(), size);
        return out;
    }
    MemoryDisk* disk = nullptr;
    const FsHandler* h = nullptr;
    FsState* part = nullptr;
    std::vector<uint8_t> table;
};

TEST_F(MbrTest, TheRootListsBootCodeAndBootData) {
    FsDirHandle* dir = nullptr;
    ASSERT_EQ(h->OpenDir(*part, nullptr, &dir), 0);
    FsEntry e{};
    ASSERT_EQ(h->NextDirEntry(*part, dir, &e), 0);
    EXPECT_STREQ(e.path, "{0:0}BootCode");
    EXPECT_STREQ(e.name, "BootCode");
    EXPECT_EQ(e.kind, kKindFile);
    EXPECT_EQ(e.size, 446u);
    EXPECT_EQ(e.start, 0u);
    ASSERT_EQ(h->NextDirEntry(*part, dir, &e), 0);
    EXPECT_STREQ(e.path, "{0:0}BootData");
    EXPECT_EQ(e.size, 31744u); // 62 sectors
    EXPECT_NE(h->NextDirEntry(*part, dir, &e), 0);
    EXPECT_NE(h->NextDirEntry(*part, dir, &e), 0);
    EXPECT_EQ(h->CloseDir(*part, dir), 0);
    EXPECT_NE(h->OpenDir(*part, &e, &dir), 0); // no subdirectories
    EXPECT_EQ(h->GetFileInfo(*part, &e), 0);
    EXPECT_EQ(e.size, 31744u);
    EXPECT_NE(h->CreateFile(*part, nullptr, "x", nullptr, &e), 0);
    EXPECT_NE(h->CreateDir(*part, nullptr, "x", nullptr, &e), 0);
    EXPECT_NE(h->RemoveFile(*part, &e), 0);
    EXPECT_NE(h->RemoveDir(*part, &e), 0);
    EXPECT_EQ(h->GetNumBootSectors(*part, &e), 0);
    EXPECT_EQ(h->ReadBootSectors, nullptr);
    EXPECT_EQ(h->FullUnzip, nullptr);
    EXPECT_EQ(h->flags, kFsCaseInsensitive);
    EXPECT_EQ(0, memcmp(h->id, "BREC", 4));
}

TEST_F(MbrTest, ReadingGivesTheBytesOfTheFirstTrack) {
    std::vector<uint8_t> code = ReadAll("bootcode");
    ASSERT_EQ(code.size(), 446u);
    EXPECT_EQ(0, memcmp(code.data(), table.data(), 446));
    std::vector<uint8_t> data = ReadAll("BootData");
    ASSERT_EQ(data.size(), 62u * 512);
    for (uint32_t s = 1; s < 63; ++s)
        ASSERT_EQ(data[(s - 1) * 512 + 100], s + 1) << s;
}

TEST_F(MbrTest, WritingBootCodeKeepsTheTableAndSignature) {
    FsEntry e = Find("BootCode");
    FsFileHandle* file = nullptr;
    EXPECT_NE(h->RewriteFile(*part, &e, 447, &file), 0);
    ASSERT_EQ(h->RewriteFile(*part, &e, 300, &file), 0);
    std::vector<uint8_t> code(kChunkMax, 0xCC);
    EXPECT_EQ(h->WriteFileChunk(*part, file, code.data(), 300), 300);
    EXPECT_EQ(h->AdjustFileSize(*part, file, &e, 300), 0);
    h->CloseFile(*part, file);
    std::vector<uint8_t> s = disk->Sector(0);
    EXPECT_EQ(s[0], 0xCC);
    EXPECT_EQ(s[299], 0xCC);
    EXPECT_EQ(s[300], 0); // the rest of the code area is cleared
    EXPECT_EQ(s[445], 0);
    EXPECT_EQ(0, memcmp(s.data() + 446, table.data() + 446, 66));
}

TEST_F(MbrTest, BootDataWritesWholeTrackWithZeroTail) {
    FsEntry e = Find("BootData");
    FsFileHandle* file = nullptr;
    EXPECT_NE(h->RewriteFile(*part, &e, 31745, &file), 0);
    ASSERT_EQ(h->RewriteFile(*part, &e, 1000, &file), 0);
    // Two chunks: both land, in order.
    std::vector<uint8_t> a(kChunkMax, 0xA1), b(kChunkMax, 0xB2);
    EXPECT_EQ(h->WriteFileChunk(*part, file, a.data(), 600), 600);
    EXPECT_EQ(h->WriteFileChunk(*part, file, b.data(), 400), 400);
    h->CloseFile(*part, file);
    std::vector<uint8_t> s1 = disk->Sector(1), s2 = disk->Sector(2);
    EXPECT_EQ(s1[0], 0xA1);
    EXPECT_EQ(s1[511], 0xA1);
    EXPECT_EQ(s2[87], 0xA1);
    EXPECT_EQ(s2[88], 0xB2);
    EXPECT_EQ(s2[487], 0xB2);
    EXPECT_EQ(s2[488], 0); // the last partial sector padded with zeros
    EXPECT_EQ(disk->Sector(3), std::vector<uint8_t>(512, 0));  // zeros to the end
    EXPECT_EQ(disk->Sector(62), std::vector<uint8_t>(512, 0)); // of the track
    EXPECT_EQ(disk->Sector(63)[0], 64);                        // and no further
    EXPECT_EQ(disk->Sector(0), table);
}

// On a GUID-partitioned disk a restored BootData leaves the primary header
// and array (sectors 1 to 33) as they are and writes the rest of the track.
TEST_F(MbrTest, BootDataKeepsTheGuidPartitionTable) {
    const uint64_t sectors = disk->SizeSectors();
    std::vector<gpt::Entry> entries(gpt::kEntryCount);
    entries[0].type = *gpt::TypeForName("LINUX");
    entries[0].first = 2048;
    entries[0].last = 4095;
    for (const gpt::SectorRun& run : gpt::BuildTable(gpt::FreshHeader(sectors), entries, sectors))
        for (size_t i = 0; i < run.bytes.size() / kSectorSize; ++i)
            disk->PutSector(run.lba + i, run.bytes.data() + i * kSectorSize);
    std::vector<uint8_t> mbr = disk->Sector(0);
    gpt::MakeProtective(mbr, sectors);
    disk->PutSector(0, mbr.data());
    std::vector<std::vector<uint8_t>> before;
    for (uint64_t s = 0; s <= 33; ++s)
        before.push_back(disk->Sector(s));
    FsEntry e = Find("BootData");
    FsFileHandle* file = nullptr;
    ASSERT_EQ(h->RewriteFile(*part, &e, 62 * 512, &file), 0);
    std::vector<uint8_t> data(62 * 512, 0xC3);
    EXPECT_EQ(h->WriteFileChunk(*part, file, data.data(), uint16_t(data.size())), data.size());
    h->CloseFile(*part, file);
    for (uint64_t s = 0; s <= 33; ++s)
        EXPECT_EQ(disk->Sector(s), before[s]) << "sector " << s;
    EXPECT_EQ(disk->Sector(34), std::vector<uint8_t>(512, 0xC3));
    EXPECT_EQ(disk->Sector(62), std::vector<uint8_t>(512, 0xC3));
    EXPECT_EQ(disk->Sector(63)[0], 64);
    std::string why;
    EXPECT_TRUE(gpt::ReadTable(
        [&](uint64_t lba, uint32_t count, uint8_t* out) {
            for (uint32_t i = 0; i < count; ++i)
                memcpy(out + i * 512, disk->Sector(lba + i).data(), 512);
            return true;
        },
        sectors, &why))
        << why;
}

TEST_F(MbrTest, AFullFileTakesNoMoreBytes) {
    FsEntry e = Find("BootCode");
    FsFileHandle* file = nullptr;
    ASSERT_EQ(h->RewriteFile(*part, &e, 446, &file), 0);
    std::vector<uint8_t> code(kChunkMax, 0x11);
    EXPECT_EQ(h->WriteFileChunk(*part, file, code.data(), 1000), 446);
    EXPECT_EQ(h->WriteFileChunk(*part, file, code.data(), 10), 0);
    h->CloseFile(*part, file);
    uint64_t size;
    ASSERT_EQ(h->OpenFile(*part, &e, &size, &file), 0);
    EXPECT_EQ(h->WriteFileChunk(*part, file, code.data(), 10), 0); // opened for reading
    h->CloseFile(*part, file);
}

TEST_F(MbrTest, ReadFailuresGiveNoBytes) {
    FlushParts();
    ResetDisks();
    auto faulty = std::make_unique<FaultyDisk>(
        std::make_unique<MemoryDisk>(uint64_t(kCylinder) * 512 * 10), 2, 0);
    AddDiskDevice(std::move(faulty));
    FsState* part = SelectPart(0x80, 0);
    ASSERT_NE(part, nullptr); // no read needed for the whole disk
    std::vector<uint8_t> buffer(kChunkMax);
    FsEntry e = Find("BootCode");
    uint64_t size;
    FsFileHandle* file = nullptr;
    ASSERT_EQ(h->OpenFile(*part, &e, &size, &file), 0);
    EXPECT_EQ(h->ReadFileChunk(*part, file, buffer.data()), 446);
    h->CloseFile(*part, file);
    ASSERT_EQ(h->OpenFile(*part, &e, &size, &file), 0);
    EXPECT_EQ(h->ReadFileChunk(*part, file, buffer.data()), 0); // the second read fails
    h->CloseFile(*part, file);
}

TEST_F(MbrTest, RestoringSavedFilesGivesTheSameTrack) {
    std::vector<uint8_t> code = ReadAll("BootCode"), data = ReadAll("BootData");
    std::vector<uint8_t> before[63];
    for (int s = 0; s < 63; ++s)
        before[s] = disk->Sector(s);
    for (const char* name : {"BootCode", "BootData"}) {
        const std::vector<uint8_t>& bytes = name[4] == 'C' ? code : data;
        FsEntry e = Find(name);
        FsFileHandle* file = nullptr;
        ASSERT_EQ(h->RewriteFile(*part, &e, uint32_t(bytes.size()), &file), 0);
        std::vector<uint8_t> chunk(kChunkMax);
        memcpy(chunk.data(), bytes.data(), bytes.size());
        EXPECT_EQ(h->WriteFileChunk(*part, file, chunk.data(), uint16_t(bytes.size())),
                  bytes.size());
        h->CloseFile(*part, file);
    }
    for (int s = 0; s < 63; ++s)
        EXPECT_EQ(disk->Sector(s), before[s]) << s;
}

TEST_F(MbrTest, CleanPutsAFreshProgramBeforeTheTable) {
    ASSERT_EQ(h->Clean(*part, ""), 0);
    std::vector<uint8_t> s = disk->Sector(0);
    EXPECT_EQ(0, memcmp(s.data() + 446, table.data() + 446, 66));
    EXPECT_EQ(s[0], 0xFA); // the program starts with cli
    for (int i = 312; i < 446; ++i)
        ASSERT_EQ(s[i], 0);
    EXPECT_EQ(disk->Sector(1), std::vector<uint8_t>(512, 2)); // the rest of the track stays
}

TEST_F(MbrTest, AnExtendedPartitionShowsItsOwnFirstTrack) {
    FlushParts();
    FsState* part = SelectPart(0x80, 4);
    ASSERT_NE(part, nullptr);
    ASSERT_EQ(part->handler, &MBRHandler);
    FsEntry e = Find("BootCode");
    EXPECT_STREQ(e.path, "{0:4}BootCode");
    std::vector<uint8_t> sector(512, 0x3C);
    disk->PutSector(Lba(30, 0, 1), sector.data());
    std::vector<uint8_t> code = ReadAll("BootCode");
    EXPECT_EQ(code[0], 0x3C);
}

} // namespace
} // namespace vk::test
