// Partition selection: the whole disk, primary and logical partitions, the
// cache partition, the state cache, type names and damaged tables.
#include <algorithm>
#include <cstring>
#include <memory>

#include "disk_fixture.h"
#include "fs/mbr.h"
#include "fs/swap.h"
#include "platform/checksum.h"
#include "platform/types.h"
#include "platform/util.h"

namespace vk::test {
namespace {

using PartitionTest = DiskTest;

// Disk of 100 cylinders: 1 FAT16 (0-9), 2 extended (10-59) with logical
// 5 LINUX-EXT2 (10-19), 6 link -> 9 LINUX-SWAP (20-29), 3 NTFS (60-69).
MemoryDisk* LaidOutDisk(PartitionTest* t, MemoryDisk* disk) {
    (void)t;
    PutTable(disk, 0, {Part(0x04, 0, 1, 9), Part(0x05, 10, 0, 59), Part(0x07, 60, 0, 69)});
    uint32_t ext = Lba(10, 0, 1);
    PutTable(disk, ext, {Part(0x83, 10, 1, 19, 0, ext), Part(0x05, 20, 0, 29, 0, ext)});
    uint32_t ebr2 = Lba(20, 0, 1);
    PutTable(disk, ebr2, {Part(0x82, 20, 1, 29, 0, ebr2)});
    return disk;
}

TEST_F(PartitionTest, TheWholeDiskIsOneTrackOfTypeExt) {
    AddMemoryDisk(10);
    FsState* part = SelectPart(0x80, 0);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->type, 0x05);
    EXPECT_STREQ(part->typeName, "EXT");
    EXPECT_EQ(part->handler, &MBRHandler);
    EXPECT_EQ(part->valid, 1);
    EXPECT_EQ(part->start, 0u);
    EXPECT_EQ(part->sizeSectors, 63u);
    EXPECT_EQ(part->disk, 0x80);
    EXPECT_EQ(part->partition, 0);
    EXPECT_EQ(part->geometry.lastCylinder, 9);
    EXPECT_EQ(part->geometry.lastHead, 63);
    EXPECT_EQ(part->geometry.sectors, 63);
    EXPECT_EQ(part->fda, 0);
    FDAMode = 1;
    FlushParts();
    part = SelectPart(0x80, 0);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->fda, 1);
}

TEST_F(PartitionTest, PrimaryAndLogicalPartitionsAreLocatedByChs) {
    LaidOutDisk(this, AddMemoryDisk(100));
    FsState* part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part->typeName, "FAT16");
    EXPECT_EQ(part->start, Lba(0, 1, 1));
    EXPECT_EQ(part->sizeSectors, Lba(9, 63, 63) - Lba(0, 1, 1) + 1);
    EXPECT_EQ(part->extendedBase, 0u);
    EXPECT_EQ(part->startCylinder, 0);
    EXPECT_EQ(part->startSectHead, 0x0101);

    part = SelectPart(0x80, 2);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part->typeName, "EXT");
    EXPECT_EQ(part->start, Lba(10, 0, 1));
    EXPECT_EQ(part->extendedBase, Lba(10, 0, 1));

    part = SelectPart(0x80, 5);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part->typeName, "LINUX-EXT2");
    EXPECT_EQ(part->start, Lba(10, 1, 1));
    EXPECT_EQ(part->extendedBase, Lba(10, 0, 1));

    part = SelectPart(0x80, 6);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part->typeName, "EXT");
    EXPECT_EQ(part->start, Lba(20, 0, 1));
    EXPECT_EQ(part->extendedBase, Lba(20, 0, 1));
    EXPECT_EQ(part->outerBase, Lba(10, 0, 1));

    part = SelectPart(0x80, 9);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part->typeName, "LINUX-SWAP");
    EXPECT_EQ(part->start, Lba(20, 1, 1));
    EXPECT_EQ(part->extendedBase, Lba(20, 0, 1));
    EXPECT_EQ(part->valid, 0); // a swap partition is never browsable

    part = SelectPart(0x80, 3);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part->typeName, "NTFS");
    EXPECT_EQ(part->handler, nullptr);
    EXPECT_EQ(part->valid, 0);

    ClearLog();
    EXPECT_EQ(SelectPart(0x80, 4), nullptr);
    EXPECT_EQ(Logged(), "\r\nSelectPart: empty partition !\r\n");
    EXPECT_STREQ(part->typeName, "NTFS"); // a failed selection leaves the others as they were
    EXPECT_EQ(SelectPart(0x80, 7), nullptr);
    EXPECT_EQ(SelectPart(0x80, 13), nullptr); // no third table: fails without a word
    EXPECT_EQ(SelectPart(0x80, 128), nullptr);
    EXPECT_EQ(SelectPart(0x80, -2), nullptr);
}

TEST_F(PartitionTest, ReadsAndWritesStayInsideTheSelectedPartition) {
    MemoryDisk* disk = LaidOutDisk(this, AddMemoryDisk(100));
    FsState* part = SelectPart(0x80, 9);
    ASSERT_NE(part, nullptr);
    uint32_t size = part->sizeSectors;
    std::vector<uint8_t> data(512, 0x42);
    ASSERT_EQ(Seek(*part, size - 1), 0);
    EXPECT_EQ(WriteSects(*part, 1, data.data()), 0);
    EXPECT_EQ(disk->Sector(Lba(29, 63, 63)), data);
    EXPECT_EQ(WriteSects(*part, 1, data.data()), -1);
    EXPECT_EQ(disk->Sector(Lba(30, 0, 1)), std::vector<uint8_t>(512, 0));
}

TEST_F(PartitionTest, SelectingAgainReturnsTheCachedStateRewound) {
    LaidOutDisk(this, AddMemoryDisk(100));
    FsState* part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    FsState* first = part;
    ASSERT_EQ(Seek(*part, 17), 0);
    part = SelectPart(0x80, 5);
    ASSERT_NE(part, nullptr);
    part = SelectPart(0x80, 255);
    ASSERT_NE(part, nullptr);
    FsState* cache = part;
    part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part, first);
    EXPECT_EQ(part->position, 0u);
    part = SelectPart(0x80, -1);
    ASSERT_NE(part, nullptr); // 255 and -1 are one partition
    EXPECT_EQ(part, cache);
}

TEST_F(PartitionTest, TheCacheHoldsThirtyOneStatesBetweenFlushes) {
    for (int d = 0; d < 8; ++d) {
        MemoryDisk* disk = AddMemoryDisk(40);
        PutTable(disk, 0,
                 {Part(0x83, 0, 1, 9), Part(0x83, 10, 0, 19), Part(0x83, 20, 0, 29),
                  Part(0x83, 30, 0, 39)});
    }
    // Failed selections give their slot back.
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(SelectPart(0x80 + 8, 1), nullptr);
    int selected = 0;
    for (int d = 0; d < 8 && selected < 31; ++d)
        for (int p = 0; p <= 4 && selected < 31; ++p, ++selected)
            ASSERT_NE(SelectPart(0x80 + d, p), nullptr) << d << ":" << p;
    ClearLog();
    EXPECT_EQ(SelectPart(0x87, 4), nullptr);
    EXPECT_EQ(Logged(), "\r\nSelectPart: fsstate cache full\r\n");
    FsState* part = SelectPart(0x80, 0);
    EXPECT_NE(part, nullptr); // cached ones are still found
    EXPECT_EQ(FlushParts(), 0);
    part = SelectPart(0x87, 4);
    EXPECT_NE(part, nullptr);
}

TEST_F(PartitionTest, TheCachePartitionFollowsTheLastPrimary) {
    MemoryDisk* disk = LaidOutDisk(this, AddMemoryDisk(100));
    FsState* part = SelectPart(0x80, -1);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part->typeName, "CACHE");
    EXPECT_EQ(part->type, 0xFF);
    EXPECT_EQ(part->start, Lba(70, 0, 1));
    EXPECT_EQ(part->sizeSectors, 30 * kCylinder);
    EXPECT_EQ(part->handler, nullptr); // no cache driver registered here
    FlushParts();
    PutTable(disk, 0, {Part(0x04, 0, 1, 9), Part(0x83, 10, 0, 99)});
    ClearLog();
    EXPECT_EQ(SelectPart(0x80, 255), nullptr);
    EXPECT_EQ(Logged(), "\r\nERROR: No room for a cache partition\r\n");
}

TEST_F(PartitionTest, TheCachePartitionFollowsPartitionsBeyondThePackedCylinders) {
    // Another tool's partition to cylinder 1499, its packed end saturated
    // at 1023: the 32-bit size tells where it ends.
    MemoryDisk* disk = AddMemoryDisk(2000);
    RawEntry big = Part(0x83, 0, 1, 1023);
    PutTable(disk, 0, {big});
    std::vector<uint8_t> mbr = disk->Sector(0);
    st32(mbr.data() + pte::kTableOffset + pte::kSizeLBA, Lba(1499, 63, 63) - Lba(0, 1, 1) + 1);
    disk->PutSector(0, mbr.data());
    FsState* part = SelectPart(0x80, -1);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->start, Lba(1500, 0, 1));
    EXPECT_EQ(part->sizeSectors, 500 * kCylinder);
}

TEST_F(PartitionTest, TypeNamesAndNumbers) {
    EXPECT_STREQ(PartTypeName(0x0C), "FAT32-LBA");
    EXPECT_STREQ(PartTypeName(0x82), "LINUX-SWAP");
    const char* names[5];
    const uint8_t unknown[5] = {0x1C, 0xA5, 0xEE, 0x01, 0xFE};
    for (int i = 0; i < 5; ++i)
        names[i] = PartTypeName(unknown[i]);
    EXPECT_STREQ(names[1], "165"); // the last four stay valid
    EXPECT_STREQ(names[2], "238");
    EXPECT_STREQ(names[3], "1");
    EXPECT_STREQ(names[4], "254");
    EXPECT_STREQ(PartTypeName(0x1C), "28");

    EXPECT_EQ(ReadFsType("FAT32-LBA"), 0x0C);
    EXPECT_EQ(ReadFsType("linux-ext2"), 0x83);
    EXPECT_EQ(ReadFsType("Ext-Lba"), 0x0F);
    EXPECT_EQ(ReadFsType("131"), 0x83);
    EXPECT_EQ(ReadFsType("0"), 0);
    EXPECT_EQ(ReadFsType("255"), 255);
    EXPECT_EQ(ReadFsType("256"), -1); // would not fit the type byte
    EXPECT_EQ(ReadFsType("12abc"), -1);
    EXPECT_EQ(ReadFsType("CACHE"), -1);
    EXPECT_EQ(ReadFsType(""), -1);
}

TEST_F(PartitionTest, DriversAreFoundByIdentityAndStartedOnce) {
    static int starts = 0, flushes = 0;
    static Status flushResult = 0;
    static FsHandler fake{};
    memcpy(fake.id, "FATx", 4);
    fake.InitDriver = []() { ++starts; };
    fake.InitFsSpecific = [](FsState&) -> Status { return 0; };
    fake.FlushFsSpecific = [](FsState& s) -> Status {
        ++flushes;
        s.state = kStateClean;
        return flushResult;
    };
    static const uint8_t kFat16Types[] = {0x04, 0x06, 0x0E};
    RegisterFsDriver({&fake, kFat16Types});
    InitFsHandlers();
    EXPECT_EQ(starts, 1); // three types name it, started once
    EXPECT_EQ(FindFsID("FATx"), &fake);
    EXPECT_EQ(FindFsID("BREC"), &MBRHandler);
    EXPECT_EQ(FindFsID("EXT2"), nullptr);

    MemoryDisk* disk = AddMemoryDisk(20);
    PutTable(disk, 0, {Part(0x06, 0, 1, 9), Part(0x0E, 10, 0, 19)});
    FsState* part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->valid, 1);
    part->state = kStateModified;
    part = SelectPart(0x80, 2);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(FlushParts(), 0);
    EXPECT_EQ(flushes, 1); // only the modified state
    part = SelectPart(0x80, 2);
    ASSERT_NE(part, nullptr);
    part->state = kStateModified;
    flushResult = 1;
    EXPECT_NE(FlushParts(), 0);
    flushResult = 0;
}

// One raw entry in a table sector: its 32-bit fields and packed C/H/S bytes
// as given, whatever geometry they were packed for.
struct FieldEntry {
    uint8_t type;
    uint32_t start, size;
    uint8_t startHead = 0;
    uint16_t startWord = 0;
    uint8_t endHead = 0;
    uint16_t endWord = 0;
};

void PutFieldTable(MemoryDisk* disk, uint64_t sector, std::vector<FieldEntry> entries) {
    std::vector<uint8_t> s = disk->Sector(sector);
    memset(s.data() + pte::kTableOffset, 0, pte::kEntries * pte::kEntrySize);
    for (size_t i = 0; i < entries.size() && i < pte::kEntries; ++i) {
        const FieldEntry& e = entries[i];
        uint8_t* p = s.data() + pte::kTableOffset + i * pte::kEntrySize;
        p[pte::kStartHead] = e.startHead;
        st16(p + pte::kStartSectCyl, e.startWord);
        p[pte::kType] = e.type;
        p[pte::kEndHead] = e.endHead;
        st16(p + pte::kEndSectCyl, e.endWord);
        st32(p + pte::kStartLBA, e.start);
        st32(p + pte::kSizeLBA, e.size);
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    disk->PutSector(sector, s.data());
}

// Damaged entries are refused with a message before anything is read or
// written through them: a range beyond the disk, reaching into the table
// that holds it, or of no sectors; entries without 32-bit fields by their
// C/H/S fields as before.
TEST_F(PartitionTest, DamagedEntriesGiveErrorsNotForeignData) {
    struct Case {
        const char* what;
        FieldEntry entry;
        const char* message;
    };
    const Case cases[] = {
        {"beyond the end",
         {0x83, 2048, 80000},
         "\r\nERROR: Partition lies beyond the end of the disk\r\n"},
        {"starting beyond the end",
         {0x83, 0xFFFFFF00, 16},
         "\r\nERROR: Partition lies beyond the end of the disk\r\n"},
        {"wrapping around",
         {0x83, 2048, 0xFFFFFFFF},
         "\r\nERROR: Partition lies beyond the end of the disk\r\n"},
        {"on the table's sector",
         {0x83, 0, 100},
         "\r\nERROR: Partition entry overlaps its partition table\r\n"},
        {"of no sectors", {0x83, 2048, 0}, "\r\nERROR: Partition entry has a size of 0\r\n"},
        {"an extended one on the table's sector",
         {0x0F, 0, 100},
         "\r\nSelectPart: damaged extended partition chain\r\n"},
        {"C/H/S only, past the last cylinder",
         {0x83, 0, 0, 0, 0x0101, 63, uint16_t(63 | (25 << 8))},
         "does not fit the disk geometry"},
        {"C/H/S only, head beyond 64",
         {0x83, 0, 0, 0, 0x0101, 200, uint16_t(63 | (2 << 8))},
         "does not fit the disk geometry"},
        {"C/H/S only, sector 0",
         {0x83, 0, 0, 0, 0x0100, 63, uint16_t(63 | (2 << 8))},
         "does not fit the disk geometry"},
        {"C/H/S only, backwards",
         {0x83, 0, 0, 0, uint16_t(1 | (10 << 8)), 63, uint16_t(63 | (5 << 8))},
         "\r\nERROR: Partition entry ends before it starts\r\n"},
        {"C/H/S only, on the table's sector",
         {0x83, 0, 0, 0, 0x0001, 63, uint16_t(63 | (5 << 8))},
         "\r\nERROR: Partition entry overlaps its partition table\r\n"},
    };
    for (const Case& c : cases) {
        FlushParts();
        ResetDisks();
        MemoryDisk* disk = AddMemoryDisk(20); // 80640 sectors
        PutFieldTable(disk, 0, {c.entry});
        ClearLog();
        EXPECT_EQ(SelectPart(0x80, 1), nullptr) << c.what;
        EXPECT_NE(Logged().find(c.message), std::string::npos) << c.what << ": " << Logged();
    }
    // A logical partition in the table of an extended one is placed from
    // that table, and refused the same way.
    FlushParts();
    ResetDisks();
    MemoryDisk* disk = AddMemoryDisk(20);
    PutFieldTable(disk, 0, {{0x05, 4032, 40000}});
    PutFieldTable(disk, 4032, {{0x83, 0, 100}, {0x83, 2048, 80000}, {0x83, 63, 1000}});
    ClearLog();
    EXPECT_EQ(SelectPart(0x80, 5), nullptr);
    EXPECT_NE(Logged().find("overlaps its partition table"), std::string::npos);
    EXPECT_EQ(SelectPart(0x80, 6), nullptr);
    EXPECT_NE(Logged().find("beyond the end of the disk"), std::string::npos);
    FsState* part = SelectPart(0x80, 7);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->start, 4032u + 63);
}

// MBR tables place partitions within the first 2^32 sectors: a logical
// partition that an extended table puts beyond them is refused rather than
// read at a truncated start.
TEST_F(PartitionTest, APartitionBeyondTheFirst2TiBIsRefused) {
    const uint64_t sectors = (uint64_t(1) << 32) + (uint64_t(1) << 24);
    MemoryDisk* disk =
        static_cast<MemoryDisk*>(AddDiskDevice(std::make_unique<MemoryDisk>(sectors * 512)));
    ASSERT_NE(disk, nullptr);
    PutFieldTable(disk, 0, {{0x0F, 2048, 0xFFFFE000u}});
    PutFieldTable(disk, 2048, {{0x83, 0xFFFFD000u, 0x10000}, {0x83, 2048, 0x10000}});
    ClearLog();
    EXPECT_EQ(SelectPart(0x80, 5), nullptr);
    EXPECT_NE(Logged().find("\r\nERROR: Partition lies beyond the first 2 TiB of the disk\r\n"),
              std::string::npos)
        << Logged();
    FsState* part = SelectPart(0x80, 6);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->start, 4096u);
}

TEST_F(PartitionTest, AnImageShorterThanItsTableSaysIsCaught) {
    // Geometry of 20 cylinders but only 12 of them stored.
    DiskGeometry g{19, 63, 63};
    auto short_ = std::make_unique<MemoryDisk>(g, uint64_t(12) * kCylinder);
    MemoryDisk* disk = static_cast<MemoryDisk*>(AddDiskDevice(std::move(short_)));
    PutTable(disk, 0, {Part(0x83, 1, 0, 15)});
    EXPECT_EQ(SelectPart(0x80, 1), nullptr);
    EXPECT_NE(Logged().find("beyond the end of the disk"), std::string::npos);
}

TEST_F(PartitionTest, LoopingExtendedChainsEndWithAnError) {
    MemoryDisk* disk = AddMemoryDisk(100);
    PutTable(disk, 0, {Part(0x04, 0, 1, 9), Part(0x0F, 10, 0, 59)});
    uint32_t ext = Lba(10, 0, 1);
    // The link points back at its own table.
    PutTable(disk, ext, {Part(0x83, 10, 1, 19, 0, ext), Part(0x05, 10, 0, 59, 0, ext)});
    FsState* part = SelectPart(0x80, 5);
    EXPECT_NE(part, nullptr);
    ClearLog();
    EXPECT_EQ(SelectPart(0x80, 6), nullptr); // the link itself
    EXPECT_EQ(SelectPart(0x80, 9), nullptr);
    EXPECT_EQ(SelectPart(0x80, 125), nullptr);
    EXPECT_NE(Logged().find("\r\nSelectPart: damaged extended partition chain\r\n"),
              std::string::npos);
    // A chain pointing backwards is as damaged as one pointing at itself.
    PutTable(disk, ext, {Part(0x83, 10, 1, 19, 0, ext), Part(0x05, 0, 1, 9, 0, ext)});
    FlushParts();
    EXPECT_EQ(SelectPart(0x80, 9), nullptr);
}

TEST_F(PartitionTest, AnExtendedPartitionOnTheMasterBootRecordIsDamaged) {
    // The only entry is an extended partition starting at sector 0: its
    // table would be the master boot record again, a loop at the first level.
    MemoryDisk* disk = AddMemoryDisk(20);
    RawEntry self = Part(0x05, 0, 0, 10);
    self.s0 = 1;
    PutTable(disk, 0, {self});
    EXPECT_EQ(SelectPart(0x80, 1), nullptr);
    EXPECT_EQ(SelectPart(0x80, 5), nullptr);
    EXPECT_EQ(SelectPart(0x80, 9), nullptr);
    EXPECT_NE(Logged().find("\r\nSelectPart: damaged extended partition chain\r\n"),
              std::string::npos);
    EXPECT_EQ(Logged().find("cache full"), std::string::npos);
}

// A driver that keeps an object of its own per partition (a library's
// volume handle) gets it back on every call through the partition's state,
// and a partition selected afresh starts without it. A later registration
// of a type replaces the earlier driver.
TEST_F(PartitionTest, ADriverKeepsItsOwnObjectInThePartitionsState) {
    struct Volume : FsDriverData {
        explicit Volume(int* alive) : alive(alive) { ++*alive; }
        ~Volume() override { --*alive; }
        int* alive;
        int opens = 0;
    };
    static int alive = 0;
    static FsHandler library{};
    memcpy(library.id, "LIBX", 4);
    library.InitFsSpecific = [](FsState& s) -> Status {
        s.driverData = std::make_unique<Volume>(&alive);
        return 0;
    };
    library.OpenDir = [](FsState& s, FsEntry*, FsDirHandle**) -> Status {
        ++static_cast<Volume&>(*s.driverData).opens;
        return 0;
    };
    static const uint8_t kTypes[] = {0x83};
    RegisterFsDriver({&library, kTypes});
    EXPECT_EQ(FsHandlerForType(0x83), &library);

    MemoryDisk* disk = AddMemoryDisk(20);
    PutTable(disk, 0, {Part(0x83, 0, 1, 9), Part(0x83, 10, 0, 19)});
    FsState* one = SelectPart(0x80, 1);
    FsState* two = SelectPart(0x80, 2);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(alive, 2);
    FsDirHandle* dir = nullptr;
    EXPECT_EQ(one->handler->OpenDir(*one, nullptr, &dir), 0);
    EXPECT_EQ(one->handler->OpenDir(*one, nullptr, &dir), 0);
    EXPECT_EQ(two->handler->OpenDir(*two, nullptr, &dir), 0);
    EXPECT_EQ(static_cast<Volume&>(*one->driverData).opens, 2);
    EXPECT_EQ(static_cast<Volume&>(*two->driverData).opens, 1);
    EXPECT_EQ(SelectPart(0x80, 1), one); // from the cache, object and all
    EXPECT_EQ(alive, 2);

    FlushParts();
    one = SelectPart(0x80, 1); // afresh: the slot's old object is gone
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(static_cast<Volume&>(*one->driverData).opens, 0);
    EXPECT_EQ(alive, 2); // the other slot is free but not reused yet

    static const uint8_t kSwap[] = {0x83};
    RegisterFsDriver({&SWAPHandler, kSwap});
    EXPECT_EQ(FsHandlerForType(0x83), &SWAPHandler);
}

TEST_F(PartitionTest, TheBootSectorIsReadWithASignatureWarning) {
    MemoryDisk* disk = AddMemoryDisk(20);
    std::vector<uint8_t> sector(512, 0x11);
    disk->PutSector(0, sector.data());
    FsState* part = SelectPart(0x80, 0);
    ASSERT_NE(part, nullptr);
    uint8_t boot[kSectorSize];
    ClearLog();
    ASSERT_EQ(ReadBootSect(*part, boot), 0);
    EXPECT_EQ(boot[0], 0x11);
    EXPECT_EQ(Logged(), "Warning: no boot record signature\r\n");
    boot[510] = 0x55;
    boot[511] = 0xAA;
    ASSERT_EQ(WriteBootSect(*part, boot), 0);
    ClearLog();
    ASSERT_EQ(ReadBootSect(*part, boot), 0);
    EXPECT_EQ(Logged(), "");
    EXPECT_EQ(disk->Sector(0)[511], 0xAA);
}

} // namespace
} // namespace vk::test
