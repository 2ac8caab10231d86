// GUID partition tables (see gpt.h): parsing and checking both copies,
// choosing the sound one, and building the sectors of a table to write.
#include "disk/gpt.h"

#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/checksum.h"
#include "platform/types.h"

namespace vk::gpt {

namespace {

// Header fields.
constexpr size_t kSignature = 0;
constexpr size_t kRevision = 8;
constexpr size_t kHeaderSizeAt = 12;
constexpr size_t kHeaderCrc = 16;
constexpr size_t kCurrentLba = 24;
constexpr size_t kBackupLba = 32;
constexpr size_t kFirstUsable = 40;
constexpr size_t kLastUsable = 48;
constexpr size_t kDiskGuid = 56;
constexpr size_t kEntriesLba = 72;
constexpr size_t kEntryCountAt = 80;
constexpr size_t kEntrySizeAt = 84;
constexpr size_t kEntriesCrc = 88;
constexpr char kMagic[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};

// Entry fields.
constexpr size_t kType = 0;
constexpr size_t kUnique = 16;
constexpr size_t kFirst = 32;
constexpr size_t kLast = 40;
constexpr size_t kAttributes = 48;
constexpr size_t kName = 56;

// Master boot record.
constexpr size_t kTableAt = 446;
constexpr size_t kMbrEntry = 16;

Guid GuidAt(const uint8_t* p) {
    Guid g;
    std::memcpy(g.data(), p, g.size());
    return g;
}

std::string Number(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(v));
    return text;
}

// One copy as read: its header and the array's bytes.
struct Copy {
    Header header;
    std::vector<uint8_t> array;
};

std::optional<Copy> LoadCopy(const SectorReader& read, uint64_t lba, uint64_t diskSectors,
                             std::string* why) {
    uint8_t sector[kSector];
    if (!read(lba, 1, sector)) {
        *why = "cannot read sector " + Number(lba);
        return std::nullopt;
    }
    auto h = ParseHeader(sector, lba, diskSectors, why);
    if (!h) return std::nullopt;
    Copy c{*h, std::vector<uint8_t>(h->ArraySectors() * kSector)};
    if (!read(h->entriesLba, uint32_t(h->ArraySectors()), c.array.data())) {
        *why = "cannot read the entry array at sector " + Number(h->entriesLba);
        return std::nullopt;
    }
    if (ReflectedCRC32(c.array.data(), size_t(h->entryCount) * h->entrySize) != h->entriesCrc) {
        *why = "entry array CRC mismatch";
        return std::nullopt;
    }
    return c;
}

// Why two sound copies cannot be the same table; empty when they agree.
std::string Disagreement(const Header& p, const Header& b) {
    if (p.diskGuid != b.diskGuid) return "disk GUIDs differ";
    if (p.firstUsable != b.firstUsable || p.lastUsable != b.lastUsable)
        return "usable ranges differ";
    if (p.entryCount != b.entryCount || p.entrySize != b.entrySize) return "array sizes differ";
    if (p.entriesCrc != b.entriesCrc) return "entry arrays differ";
    if (b.backupLba != p.currentLba) return "the backup does not point back at the primary";
    return "";
}

} // namespace

std::optional<Guid> ParseGuid(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    uint8_t raw[16];
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            continue;
        }
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = nibble(text[i]), lo = i + 1 < text.size() ? nibble(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) return std::nullopt;
        raw[n++] = uint8_t(hi << 4 | lo);
        ++i;
    }
    // The first three fields are stored little-endian.
    Guid g{raw[3], raw[2], raw[1], raw[0], raw[5], raw[4], raw[7], raw[6]};
    std::copy(raw + 8, raw + 16, g.begin() + 8);
    return g;
}

std::string FormatGuid(const Guid& g) {
    char text[40];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                  g[14], g[15]);
    return text;
}

Guid RandomGuid() {
    Guid g;
    if (getrandom(g.data(), g.size(), 0) != ssize_t(g.size())) {
        std::random_device device;
        for (auto& b : g)
            b = uint8_t(device());
    }
    g[7] = uint8_t((g[7] & 0x0F) | 0x40); // version 4 (the high byte of the third field)
    g[8] = uint8_t((g[8] & 0x3F) | 0x80); // the standard variant
    return g;
}

bool IsZero(const Guid& g) {
    return std::all_of(g.begin(), g.end(), [](uint8_t b) { return b == 0; });
}

std::optional<Header> ParseHeader(std::span<const uint8_t> sector, uint64_t lba,
                                  uint64_t diskSectors, std::string* why) {
    auto refuse = [&](std::string reason) -> std::optional<Header> {
        *why = std::move(reason);
        return std::nullopt;
    };
    if (sector.size() < kSector) return refuse("short sector");
    const uint8_t* p = sector.data();
    if (std::memcmp(p + kSignature, kMagic, sizeof kMagic) != 0) return refuse("no signature");
    Header h;
    h.revision = ld32(p + kRevision);
    h.headerSize = ld32(p + kHeaderSizeAt);
    if (h.revision >> 16 != 1) return refuse("unknown revision");
    if (h.headerSize < kMinHeaderSize || h.headerSize > kSector)
        return refuse("header size " + Number(h.headerSize));
    uint8_t copy[kSector];
    std::memcpy(copy, p, h.headerSize);
    st32(copy + kHeaderCrc, 0);
    if (ReflectedCRC32(copy, h.headerSize) != ld32(p + kHeaderCrc))
        return refuse("header CRC mismatch");
    h.currentLba = ld64(p + kCurrentLba);
    h.backupLba = ld64(p + kBackupLba);
    h.firstUsable = ld64(p + kFirstUsable);
    h.lastUsable = ld64(p + kLastUsable);
    h.diskGuid = GuidAt(p + kDiskGuid);
    h.entriesLba = ld64(p + kEntriesLba);
    h.entryCount = ld32(p + kEntryCountAt);
    h.entrySize = ld32(p + kEntrySizeAt);
    h.entriesCrc = ld32(p + kEntriesCrc);
    if (h.currentLba != lba) return refuse("header at sector " + Number(lba) + " names another");
    if (h.backupLba >= diskSectors || h.backupLba == lba || h.backupLba == 0)
        return refuse("the other header's place lies outside the disk");
    if (h.entrySize < kEntrySize || h.entrySize > kMaxEntrySize ||
        (h.entrySize & (h.entrySize - 1)) != 0)
        return refuse("entry size " + Number(h.entrySize));
    if (h.entryCount == 0 || h.entryCount > kMaxEntries)
        return refuse("entry count " + Number(h.entryCount));
    const uint64_t arrayEnd = h.entriesLba + h.ArraySectors(); // below 2^64: both bounded
    if (h.entriesLba < 2 || h.entriesLba >= diskSectors || arrayEnd > diskSectors)
        return refuse("the entry array lies outside the disk");
    if (lba >= h.entriesLba && lba < arrayEnd) return refuse("the entry array covers its header");
    if (h.firstUsable > h.lastUsable || h.lastUsable >= diskSectors || h.firstUsable < 2)
        return refuse("usable sectors " + Number(h.firstUsable) + "-" + Number(h.lastUsable));
    if (arrayEnd > h.firstUsable && h.entriesLba <= h.lastUsable)
        return refuse("the entry array lies among the usable sectors");
    if (lba >= h.firstUsable && lba <= h.lastUsable)
        return refuse("the header lies among the usable sectors");
    return h;
}

void WriteHeader(const Header& h, std::span<uint8_t> sector) {
    uint8_t* p = sector.data();
    std::memset(p, 0, kSector);
    std::memcpy(p + kSignature, kMagic, sizeof kMagic);
    st32(p + kRevision, h.revision);
    const uint32_t size = kMinHeaderSize; // what this code writes, whatever it read
    st32(p + kHeaderSizeAt, size);
    st64(p + kCurrentLba, h.currentLba);
    st64(p + kBackupLba, h.backupLba);
    st64(p + kFirstUsable, h.firstUsable);
    st64(p + kLastUsable, h.lastUsable);
    std::memcpy(p + kDiskGuid, h.diskGuid.data(), h.diskGuid.size());
    st64(p + kEntriesLba, h.entriesLba);
    st32(p + kEntryCountAt, h.entryCount);
    st32(p + kEntrySizeAt, h.entrySize);
    st32(p + kEntriesCrc, h.entriesCrc);
    st32(p + kHeaderCrc, ReflectedCRC32(p, size));
}

Entry ParseEntry(std::span<const uint8_t> slot) {
    const uint8_t* p = slot.data();
    Entry e;
    e.type = GuidAt(p + kType);
    e.unique = GuidAt(p + kUnique);
    e.first = ld64(p + kFirst);
    e.last = ld64(p + kLast);
    e.attributes = ld64(p + kAttributes);
    for (size_t i = 0; i < kNameUnits; ++i) {
        char16_t unit = char16_t(ld16(p + kName + 2 * i));
        if (unit == 0) break;
        e.name.push_back(unit);
    }
    return e;
}

void WriteEntry(const Entry& e, std::span<uint8_t> slot) {
    uint8_t* p = slot.data();
    std::memset(p, 0, kEntrySize);
    std::memcpy(p + kType, e.type.data(), e.type.size());
    std::memcpy(p + kUnique, e.unique.data(), e.unique.size());
    st64(p + kFirst, e.first);
    st64(p + kLast, e.last);
    st64(p + kAttributes, e.attributes);
    for (size_t i = 0; i < e.name.size() && i < kNameUnits; ++i)
        st16(p + kName + 2 * i, uint16_t(e.name[i]));
}

bool HasProtectiveEntry(std::span<const uint8_t> sector0) {
    if (sector0.size() < kSector || sector0[510] != 0x55 || sector0[511] != 0xAA) return false;
    for (size_t i = 0; i < 4; ++i)
        if (sector0[kTableAt + i * kMbrEntry + 4] == kProtectiveType) return true;
    return false;
}

void MakeProtective(std::span<uint8_t> sector0, uint64_t diskSectors) {
    uint8_t* p = sector0.data();
    std::memset(p + kTableAt, 0, 4 * kMbrEntry);
    uint8_t* e = p + kTableAt;
    e[1] = 0x00; // first sector: cylinder 0, head 0, sector 2
    e[2] = 0x02;
    e[3] = 0x00;
    e[4] = kProtectiveType;
    e[5] = e[6] = e[7] = 0xFF; // the last sector is beyond what C/H/S can say
    st32(e + 8, 1);
    st32(e + 12, uint32_t(std::min<uint64_t>(diskSectors - 1, 0xFFFFFFFFu)));
    p[510] = 0x55;
    p[511] = 0xAA;
}

std::optional<Table> ReadTable(const SectorReader& read, uint64_t diskSectors, std::string* why) {
    uint8_t sector0[kSector];
    if (diskSectors < 6) {
        *why = "disk too small for a GUID partition table";
        return std::nullopt;
    }
    if (!read(0, 1, sector0)) {
        *why = "cannot read sector 0";
        return std::nullopt;
    }
    if (!HasProtectiveEntry(sector0)) {
        *why = "no protective entry in the master boot record";
        return std::nullopt;
    }
    std::string primaryWhy, backupWhy;
    auto primary = LoadCopy(read, 1, diskSectors, &primaryWhy);
    // A sound primary says where its backup is (not at the last sector
    // when the disk grew after it was partitioned).
    const uint64_t backupLba = primary ? primary->header.backupLba : diskSectors - 1;
    auto backup = LoadCopy(read, backupLba, diskSectors, &backupWhy);
    if (!primary && !backup) {
        *why = "GUID partition table damaged: primary: " + primaryWhy + "; backup: " + backupWhy;
        return std::nullopt;
    }
    if (primary && backup) {
        std::string differ = Disagreement(primary->header, backup->header);
        if (!differ.empty()) {
            *why = "GUID partition table: the primary and the backup disagree (" + differ + ")";
            return std::nullopt;
        }
    }
    Table t;
    t.primarySound = primary.has_value();
    t.backupSound = backup.has_value();
    const Copy& chosen = primary ? *primary : *backup;
    t.header = chosen.header;
    if (!primary) {
        // The primary goes back to its usual place: its array right after it.
        t.header.currentLba = 1;
        t.header.backupLba = backupLba;
        t.header.entriesLba = 2;
        if (2 + t.header.ArraySectors() > t.header.firstUsable) {
            *why = "GUID partition table: primary damaged (" + primaryWhy +
                   ") and no room to put it back";
            return std::nullopt;
        }
        t.note = "primary GUID partition table damaged (" + primaryWhy +
                 "), read from the backup; a write repairs it";
    } else if (!backup) {
        t.note = "backup GUID partition table damaged (" + backupWhy + "); a write repairs it";
    }
    for (uint32_t i = 0; i < t.header.entryCount; ++i)
        t.entries.push_back(ParseEntry(
            std::span<const uint8_t>(chosen.array).subspan(size_t(i) * t.header.entrySize)));

    // Every used entry inside the usable sectors and none over another.
    std::vector<uint32_t> used;
    for (uint32_t i = 0; i < t.entries.size(); ++i) {
        const Entry& e = t.entries[i];
        if (!e.Used()) continue;
        if (e.first > e.last || e.first < t.header.firstUsable || e.last > t.header.lastUsable) {
            *why = "GUID partition table: entry " + std::to_string(i + 1) + " (sectors " +
                   Number(e.first) + "-" + Number(e.last) + ") lies outside the usable sectors";
            return std::nullopt;
        }
        used.push_back(i);
    }
    std::sort(used.begin(), used.end(),
              [&](uint32_t a, uint32_t b) { return t.entries[a].first < t.entries[b].first; });
    for (size_t k = 1; k < used.size(); ++k)
        if (t.entries[used[k]].first <= t.entries[used[k - 1]].last) {
            *why = "GUID partition table: entries " + std::to_string(used[k - 1] + 1) + " and " +
                   std::to_string(used[k] + 1) + " overlap";
            return std::nullopt;
        }
    return t;
}

namespace {

struct NamedType {
    const char* name;
    const char* guid;
};

// The first name of each type is the one it is shown by.
constexpr NamedType kNamedTypes[] = {
    {"EMPTY", "00000000-0000-0000-0000-000000000000"},
    {"ESP", "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"},
    {"MSR", "E3C9E316-0B5C-4DB8-817D-F92DF00215AE"},
    {"BASIC-DATA", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"},
    {"NTFS", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"},
    {"FAT16", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"},
    {"FAT32", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"},
    {"LINUX", "0FC63DAF-8483-4772-8E79-3D69D8477DE4"},
    {"LINUX-EXT2", "0FC63DAF-8483-4772-8E79-3D69D8477DE4"},
    {"LINUX-SWAP", "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"},
    {"BIOS-BOOT", "21686148-6449-6E6F-744E-656564454649"},
};

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
               return upper(x) == upper(y);
           });
}

} // namespace

std::optional<Guid> TypeForName(std::string_view name) {
    for (const NamedType& t : kNamedTypes)
        if (SameName(name, t.name)) return ParseGuid(t.guid);
    return ParseGuid(name);
}

const char* TypeName(const Guid& type) {
    for (const NamedType& t : kNamedTypes)
        if (ParseGuid(t.guid) == type) return t.name;
    return nullptr;
}

std::string NameOfType(const Guid& type) {
    const char* name = TypeName(type);
    return name != nullptr ? std::string(name) : FormatGuid(type);
}

Header FreshHeader(uint64_t diskSectors) {
    Header h;
    h.diskGuid = RandomGuid();
    h.backupLba = diskSectors - 1;
    h.entriesLba = 2;
    h.firstUsable = 2 + h.ArraySectors();
    h.lastUsable = diskSectors - 2 - h.ArraySectors();
    return h;
}

std::vector<SectorRun> BuildTable(const Header& h, const std::vector<Entry>& entries,
                                  uint64_t diskSectors) {
    Header primary = h;
    // Two arrays, two headers and the protective record must fit.
    if (h.entryCount == 0 || h.entryCount > kMaxEntries || h.entrySize < kEntrySize ||
        h.entrySize > kMaxEntrySize || 2 * h.ArraySectors() + 3 > diskSectors)
        return {};
    primary.currentLba = 1;
    primary.backupLba = diskSectors - 1;
    std::vector<uint8_t> array(primary.ArraySectors() * kSector, 0);
    for (size_t i = 0; i < entries.size() && i < primary.entryCount; ++i)
        WriteEntry(entries[i], std::span<uint8_t>(array).subspan(i * primary.entrySize));
    primary.entriesCrc =
        ReflectedCRC32(array.data(), size_t(primary.entryCount) * primary.entrySize);
    Header backup = primary;
    backup.currentLba = primary.backupLba;
    backup.backupLba = 1;
    backup.entriesLba = backup.currentLba - primary.ArraySectors();
    // Neither array may lie among the usable sectors (a table read from a
    // disk that shrank, or made for another size).
    if (primary.lastUsable >= backup.entriesLba ||
        primary.entriesLba + primary.ArraySectors() > primary.firstUsable)
        return {};

    std::vector<uint8_t> backupSector(kSector), primarySector(kSector);
    WriteHeader(backup, backupSector);
    WriteHeader(primary, primarySector);
    return {{backup.entriesLba, array},
            {backup.currentLba, std::move(backupSector)},
            {primary.entriesLba, std::move(array)},
            {1, std::move(primarySector)}};
}

} // namespace vk::gpt
