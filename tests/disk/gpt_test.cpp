// GUID partition tables: a table built here reads back; damaged and odd
// copies are read from the other copy or refused with their reason; tables
// that sgdisk writes are read, and sgdisk finds no fault in ours.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/gpt.h"
#include "disk/partitions.h"
#include "platform/checksum.h"
#include "platform/types.h"

namespace vk::test {
namespace {

using namespace vk::gpt;

const char* kEsp = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
const char* kLinux = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";

struct Disk {
    std::vector<uint8_t> bytes;
    explicit Disk(uint64_t sectors) : bytes(sectors * kSector) {}
    uint64_t Sectors() const { return bytes.size() / kSector; }
    uint8_t* At(uint64_t lba) { return bytes.data() + lba * kSector; }
    SectorReader Reader() {
        return [this](uint64_t lba, uint32_t count, uint8_t* out) {
            if (lba + count > Sectors()) return false;
            std::memcpy(out, At(lba), size_t(count) * kSector);
            return true;
        };
    }
    void Write(const std::vector<SectorRun>& runs) {
        for (const SectorRun& r : runs)
            std::memcpy(At(r.lba), r.bytes.data(), r.bytes.size());
    }
};

Entry Part(const char* type, uint64_t first, uint64_t last, const char16_t* name) {
    Entry e;
    e.type = *ParseGuid(type);
    e.unique = RandomGuid();
    e.first = first;
    e.last = last;
    e.name = name;
    return e;
}

// Sets a 32-bit field of the header at `lba` (a 64-bit one's low half) and
// makes its CRC right again, as a tool that wrote odd values would.
void Patch(Disk& d, uint64_t lba, size_t offset, uint32_t value) {
    uint8_t* h = d.At(lba);
    st32(h + offset, value);
    st32(h + 16, 0);
    st32(h + 16, ReflectedCRC32(h, ld32(h + 12)));
}

// A 4096-sector disk with an ESP and a Linux partition.
Disk Partitioned(std::vector<Entry>* entries = nullptr, Header* header = nullptr) {
    Disk d(4096);
    MakeProtective({d.At(0), kSector}, d.Sectors());
    Header h = FreshHeader(d.Sectors());
    std::vector<Entry> e = {Part(kEsp, 2048, 2559, u"EFI system"),
                            Part(kLinux, 2560, 4000, u"root")};
    d.Write(BuildTable(h, e, d.Sectors()));
    if (entries) *entries = e;
    if (header) *header = h;
    return d;
}

TEST(Gpt, GuidsAndTheChecksumAreTheStandardOnes) {
    auto esp = ParseGuid(kEsp);
    ASSERT_TRUE(esp);
    const uint8_t stored[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
    EXPECT_EQ(0, std::memcmp(esp->data(), stored, 16));
    EXPECT_EQ(FormatGuid(*esp), kEsp);
    EXPECT_EQ(FormatGuid(*ParseGuid("c12a7328-f81f-11d2-ba4b-00a0c93ec93b")), kEsp);
    for (const char* bad :
         {"", "C12A7328F81F11D2BA4B00A0C93EC93B", "C12A7328-F81F-11D2-BA4B-00A0C93EC93",
          "C12A7328-F81F-11D2-BA4B+00A0C93EC93B", "G12A7328-F81F-11D2-BA4B-00A0C93EC93B"})
        EXPECT_FALSE(ParseGuid(bad)) << bad;
    Guid a = RandomGuid(), b = RandomGuid();
    EXPECT_NE(a, b);
    EXPECT_EQ(FormatGuid(a)[14], '4'); // version 4
    EXPECT_EQ(ReflectedCRC32("123456789", 9), 0xCBF43926u);
}

// Type names as scripts write them, the name each type is shown by, and
// the type byte whose driver serves it.
TEST(Gpt, TypeNamesAndTheirDrivers) {
    const char* kData = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
    const char* kSwap = "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F";
    const char* kRaid = "A19D880F-05FC-4D3B-A006-743F0F84911E";
    struct Row {
        const char* name;
        const char* guid; // null: refused
        const char* shown;
    };
    const Row rows[] = {
        {"ESP", kEsp, "ESP"},
        {"esp", kEsp, "ESP"},
        {"MSR", "E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "MSR"},
        {"BASIC-DATA", kData, "BASIC-DATA"},
        {"Ntfs", kData, "BASIC-DATA"},
        {"FAT16", kData, "BASIC-DATA"},
        {"fat32", kData, "BASIC-DATA"},
        {"LINUX", kLinux, "LINUX"},
        {"linux-ext2", kLinux, "LINUX"},
        {"LINUX-SWAP", kSwap, "LINUX-SWAP"},
        {"BIOS-BOOT", "21686148-6449-6E6F-744E-656564454649", "BIOS-BOOT"},
        {"EMPTY", "00000000-0000-0000-0000-000000000000", "EMPTY"},
        {"a19d880f-05fc-4d3b-a006-743f0f84911e", kRaid, kRaid},
        {"0fc63daf-8483-4772-8e79-3d69d8477de4", kLinux, "LINUX"},
        // Refused: MBR-only names, parts of names, GUIDs cut or unbroken.
        {"FAT", nullptr, nullptr},
        {"EXT", nullptr, nullptr},
        {"LINUX-", nullptr, nullptr},
        {"ESP:100", nullptr, nullptr},
        {"", nullptr, nullptr},
        {"C12A7328F81F11D2BA4B00A0C93EC93B", nullptr, nullptr},
        {"C12A7328-F81F-11D2-BA4B-00A0C93EC93", nullptr, nullptr},
    };
    for (const Row& r : rows) {
        std::optional<Guid> type = TypeForName(r.name);
        if (r.guid == nullptr) {
            EXPECT_FALSE(type) << r.name;
            continue;
        }
        ASSERT_TRUE(type) << r.name;
        EXPECT_EQ(FormatGuid(*type), r.guid) << r.name;
        EXPECT_EQ(NameOfType(*type), r.shown) << r.name;
        EXPECT_EQ(TypeForName(NameOfType(*type)), type) << r.name;
    }
    EXPECT_EQ(TypeName(*ParseGuid(kRaid)), nullptr);

    struct Driven {
        const char* guid;
        uint64_t sectors;
        uint8_t type;
    };
    const Driven driven[] = {
        {kEsp, kGptEspFat32From - 1, 0x0E},
        {kEsp, kGptEspFat32From, 0x0C},
        {kData, kGptDataFat32From - 1, 0x0E},
        {kData, kGptDataFat32From, 0x0C},
        {kData, uint64_t(1) << 40, 0x0C},
        {kLinux, 2048, 0x83},
        {kSwap, 2048, kTypeSwap},
        {kRaid, 2048, kTypeGptOther},
        {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", 32768, kTypeGptOther},
    };
    for (const Driven& d : driven)
        EXPECT_EQ(GptDriverType(*ParseGuid(d.guid), d.sectors), d.type)
            << d.guid << " " << d.sectors;
}

// Layouts of setpartitions: 1 MiB boundaries from sector 2048, EMPTY slots
// skipping their size, fresh GUIDs, and layouts that do not fit.
TEST(Gpt, LayoutsOnMebibyteBoundaries) {
    const uint64_t sectors = uint64_t(2) << 21; // 2 GiB
    const Header h = FreshHeader(sectors);      // usable 34 to sectors - 34
    const Guid esp = *ParseGuid(kEsp), linuxFs = *ParseGuid(kLinux), none{};
    std::vector<Entry> e;
    ASSERT_TRUE(LayOutGpt(h, {{esp, 100}, {none, 3}, {linuxFs, 200}, {linuxFs, 1}}, &e));
    ASSERT_EQ(e.size(), kEntryCount);
    EXPECT_EQ(e[0].first, 2048u);
    EXPECT_EQ(e[0].last, 2048u + 100 * 2048 - 1);
    EXPECT_FALSE(e[1].Used());
    EXPECT_EQ(e[2].first, 2048u + 103 * 2048);
    EXPECT_EQ(e[2].Sectors(), 200u * 2048);
    EXPECT_EQ(e[3].first, e[2].last + 1);
    EXPECT_FALSE(e[4].Used());
    EXPECT_NE(e[0].unique, e[2].unique);
    EXPECT_NE(e[2].unique, e[3].unique);
    EXPECT_EQ(e[0].type, esp);
    // The whole usable room holds 2046 whole MiB behind sector 2048.
    EXPECT_TRUE(LayOutGpt(h, {{linuxFs, 2046}}, &e));
    EXPECT_FALSE(LayOutGpt(h, {{linuxFs, 2047}}, &e));
    EXPECT_FALSE(LayOutGpt(h, {{linuxFs, 2000}, {esp, 47}}, &e));
    EXPECT_FALSE(LayOutGpt(h, {{none, 2047}, {esp, 1}}, &e));
    EXPECT_FALSE(LayOutGpt(h, {{esp, 0}}, &e));
    EXPECT_TRUE(LayOutGpt(h, {}, &e));
    std::vector<GptPart> many(kEntryCount + 1, GptPart{esp, 1});
    EXPECT_FALSE(LayOutGpt(h, many, &e));
    many.pop_back();
    EXPECT_TRUE(LayOutGpt(h, many, &e));
    EXPECT_TRUE(e[kEntryCount - 1].Used());
}

// A table built here reads back; damage to one copy is read from the other;
// to both, or a sound pair that disagrees, is refused. Each row changes a fresh disk and names what
// the note (read) or the reason (refused) must say.
TEST(Gpt, DamagedAndOddTables) {
    struct Row {
        const char* what;
        std::function<void(Disk&, Header&, std::vector<Entry>&)> change;
        bool reads;
        const char* says;
    };
    auto rebuild = [](Disk& d, Header& h, std::vector<Entry>& e) {
        d.Write(BuildTable(h, e, d.Sectors()));
    };
    const std::vector<Row> rows = {
        {"primary header", [](Disk& d, Header&, auto&) { d.At(1)[60] ^= 1; }, true,
         "primary GUID partition table damaged (header CRC mismatch), read from the backup"},
        {"primary array", [](Disk& d, Header&, auto&) { d.At(2)[0] ^= 1; }, true,
         "primary GUID partition table damaged (entry array CRC mismatch)"},
        {"backup header", [](Disk& d, Header&, auto&) { d.At(4095)[0] = 0; }, true,
         "backup GUID partition table damaged (no signature)"},
        {"backup array", [](Disk& d, Header&, auto&) { d.At(4095 - 32)[5] ^= 1; }, true,
         "backup GUID partition table damaged (entry array CRC mismatch)"},
        {"both headers",
         [](Disk& d, Header&, auto&) {
             d.At(1)[60] ^= 1;
             d.At(4095)[60] ^= 1;
         },
         false, "primary: header CRC mismatch; backup: header CRC mismatch"},
        {"no protective entry", [](Disk& d, Header&, auto&) { d.At(0)[446 + 4] = 0x83; }, false,
         "no protective entry"},
        {"copies disagree",
         [&](Disk& d, Header& h, auto& e) {
             std::vector<uint8_t> keep(d.At(4095 - 32), d.At(4096));
             h.diskGuid = RandomGuid();
             rebuild(d, h, e);
             std::memcpy(d.At(4095 - 32), keep.data(), keep.size());
         },
         false, "disagree (disk GUIDs differ)"},
        {"entries overlap",
         [&](Disk& d, Header& h, auto& e) {
             e[1].first = 2500;
             rebuild(d, h, e);
         },
         false, "entries 1 and 2 overlap"},
        {"entry past the usable sectors",
         [&](Disk& d, Header& h, auto& e) {
             e[1].last = 4070;
             rebuild(d, h, e);
         },
         false, "entry 2 (sectors 2560-4070) lies outside the usable sectors"},
        {"huge entry count",
         [](Disk& d, Header&, auto&) {
             Patch(d, 1, 80, 100000);
             Patch(d, 4095, 80, 100000);
         },
         false, "primary: entry count 100000"},
        {"array over the usable sectors",
         [](Disk& d, Header&, auto&) {
             Patch(d, 1, 40, 20);
             Patch(d, 4095, 40, 20);
         },
         false, "the entry array lies among the usable sectors"},
        {"disk grown after partitioning",
         [](Disk& d, Header&, auto&) { d.bytes.resize(d.bytes.size() * 2); }, true, ""},
    };
    for (const Row& r : rows) {
        std::vector<Entry> entries;
        Header header;
        Disk d = Partitioned(&entries, &header);
        r.change(d, header, entries);
        std::string why;
        auto t = ReadTable(d.Reader(), d.Sectors(), &why);
        EXPECT_EQ(t.has_value(), r.reads) << r.what << ": " << why;
        const std::string& said = t ? t->note : why;
        EXPECT_NE(said.find(r.says), std::string::npos) << r.what << ": " << said;
        if (t) { // whichever copy it came from, the entries are the ones written
            EXPECT_EQ(t->entries.size(), kEntryCount);
            EXPECT_EQ(t->entries[0].unique, entries[0].unique) << r.what;
            EXPECT_EQ(t->entries[0].name, u"EFI system") << r.what;
            EXPECT_FALSE(t->entries[2].Used()) << r.what;
        }
        if (!t || t->primarySound) continue;
        // The repaired table puts the primary back where it belongs.
        d.Write(BuildTable(t->header, t->entries, d.Sectors()));
        auto again = ReadTable(d.Reader(), d.Sectors(), &why);
        ASSERT_TRUE(again) << r.what << ": " << why;
        EXPECT_TRUE(again->note.empty()) << r.what << ": " << again->note;
        EXPECT_EQ(again->entries[1].last, 4000u);
    }
}

// The independent check: sgdisk's tables are read, ours pass its check.
class GptImage : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system("command -v sgdisk > /dev/null") != 0)
            GTEST_SKIP() << "sgdisk is not installed (Debian package gdisk)";
        char name[] = "/tmp/gpt_test.XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        path_ = name;
        ASSERT_EQ(0, ftruncate(fd, 64 << 20));
        close(fd);
    }
    void TearDown() override {
        if (!path_.empty()) unlink(path_.c_str());
    }
    std::string Run(const std::string& args) {
        std::string out;
        FILE* p = popen(("sgdisk " + args + " " + path_ + " 2>&1").c_str(), "r");
        char line[512];
        while (p && fgets(line, sizeof line, p))
            out += line;
        if (p) pclose(p);
        return out;
    }
    Disk Load() {
        Disk d(0);
        FILE* f = fopen(path_.c_str(), "rb");
        d.bytes.resize(64 << 20);
        EXPECT_EQ(fread(d.bytes.data(), 1, d.bytes.size(), f), d.bytes.size());
        fclose(f);
        return d;
    }
    void Store(Disk& d) {
        FILE* f = fopen(path_.c_str(), "wb");
        fwrite(d.bytes.data(), 1, d.bytes.size(), f);
        fclose(f);
    }
    std::string path_;
};

TEST_F(GptImage, SgdiskAndThisCodeReadEachOthersTables) {
    Run("-n 1:2048:+10M -t 1:EF00 -c 1:ESP -n 2:0:+20M -t 2:8300");
    Disk d = Load();
    std::string why;
    auto t = ReadTable(d.Reader(), d.Sectors(), &why);
    ASSERT_TRUE(t) << why;
    EXPECT_EQ(FormatGuid(t->entries[0].type), kEsp);
    EXPECT_EQ(t->entries[0].first, 2048u);
    EXPECT_EQ(t->entries[0].Sectors(), 10u * 2048);
    EXPECT_EQ(t->entries[0].name, u"ESP");
    EXPECT_EQ(FormatGuid(t->entries[1].type), kLinux);

    Disk ours(d.Sectors());
    MakeProtective({ours.At(0), kSector}, ours.Sectors());
    ours.Write(BuildTable(FreshHeader(ours.Sectors()),
                          {Part(kEsp, 2048, 22527, u"EFI"), Part(kLinux, 22528, 100000, u"root")},
                          ours.Sectors()));
    Store(ours);
    std::string verdict = Run("-v");
    EXPECT_NE(verdict.find("No problems found"), std::string::npos) << verdict;
    std::string listing = Run("-p");
    EXPECT_NE(listing.find("22528          100000"), std::string::npos) << listing;
}

} // namespace
} // namespace vk::test
