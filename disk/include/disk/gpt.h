// GUID partition tables: the protective master boot record, the header at
// sector 1 with its backup at the disk's last sector, and the two entry
// arrays, each guarded by a CRC-32. Fields are read and written one by one,
// little-endian; nothing here touches a disk: sectors come from and go to
// the caller.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vk::gpt {

constexpr uint32_t kSector = 512;
constexpr uint32_t kMinHeaderSize = 92;
constexpr uint32_t kEntrySize = 128;     // what this code writes
constexpr uint32_t kMaxEntrySize = 1024; // larger slots (128 * 2^n) are refused
constexpr uint32_t kEntryCount = 128;    // what this code writes
constexpr uint32_t kMaxEntries = 1024;   // larger arrays are refused
constexpr uint8_t kProtectiveType = 0xEE;
constexpr size_t kNameUnits = 36; // UTF-16 code units of an entry's name

// A GUID as stored: the first three fields little-endian, the rest as is.
using Guid = std::array<uint8_t, 16>;

// "C12A7328-F81F-11D2-BA4B-00A0C93EC93B" (either case) as stored; nullopt
// when the text is not a GUID.
std::optional<Guid> ParseGuid(std::string_view text);
std::string FormatGuid(const Guid& g); // upper case, as above
Guid RandomGuid();                     // version 4, from the system's random source
bool IsZero(const Guid& g);

// Partition types by the names scripts write them with (case-insensitive):
// EMPTY (an unused slot, the zero GUID), ESP (EFI system), MSR (Microsoft
// reserved), BASIC-DATA with its synonyms NTFS, FAT16 and FAT32 (Microsoft
// basic data), LINUX and LINUX-EXT2 (Linux file system), LINUX-SWAP and
// BIOS-BOOT; a GUID written out stands for itself. Nullopt for anything
// else.
std::optional<Guid> TypeForName(std::string_view name);
// The first name above that stands for a type (BASIC-DATA, LINUX), or
// null for a type without one.
const char* TypeName(const Guid& type);
// TypeName, or the GUID written out: a word TypeForName reads back.
std::string NameOfType(const Guid& type);

struct Header {
    uint32_t revision = 0x00010000;
    uint32_t headerSize = kMinHeaderSize;
    uint64_t currentLba = 1;
    uint64_t backupLba = 0;
    uint64_t firstUsable = 0;
    uint64_t lastUsable = 0;
    Guid diskGuid{};
    uint64_t entriesLba = 2;
    uint32_t entryCount = kEntryCount;
    uint32_t entrySize = kEntrySize;
    uint32_t entriesCrc = 0;

    uint64_t ArraySectors() const {
        return (uint64_t(entryCount) * entrySize + kSector - 1) / kSector;
    }
};

struct Entry {
    Guid type{};
    Guid unique{};
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t attributes = 0;
    std::u16string name; // up to kNameUnits, without the terminating zero

    bool Used() const { return !IsZero(type); }
    uint64_t Sectors() const { return last - first + 1; }
};

// The header in `sector` (at least 512 bytes) read as the one at `lba` of a
// disk of `diskSectors` sectors: nullopt, with the reason in *why, unless
// its signature, revision, size, CRC, own position and the places of its
// usable range and entry array are sound.
std::optional<Header> ParseHeader(std::span<const uint8_t> sector, uint64_t lba,
                                  uint64_t diskSectors, std::string* why);
// Writes the header into the first 512 bytes of `sector` with its CRC.
void WriteHeader(const Header& h, std::span<uint8_t> sector);

Entry ParseEntry(std::span<const uint8_t> slot);
void WriteEntry(const Entry& e, std::span<uint8_t> slot); // fills kEntrySize bytes

// True when the first sector is a master boot record with a protective
// (0xEE) entry: the disk holds a GUID partition table.
bool HasProtectiveEntry(std::span<const uint8_t> sector0);
// Turns a first sector into a protective master boot record for a disk of
// `diskSectors`: one 0xEE entry over the whole disk (as far as 32 bits
// reach), the boot code and disk signature kept.
void MakeProtective(std::span<uint8_t> sector0, uint64_t diskSectors);

// A disk's table as read.
struct Table {
    Header header;              // the primary's view (currentLba 1)
    std::vector<Entry> entries; // every slot of the array, used or not
    bool primarySound = true;
    bool backupSound = true;
    std::string note; // what was repaired in memory, for the log; empty when both were sound
};

// Reads `count` sectors from `lba` into `buffer`; false on failure.
using SectorReader = std::function<bool(uint64_t lba, uint32_t count, uint8_t* buffer)>;

// Reads the table of a disk of `diskSectors` sectors: from the primary
// header and array, or, when either is damaged, from the backup (the note
// says so). Nullopt with the reason in *why when neither copy is sound,
// when both are sound but disagree, or when the entries overlap or leave
// the usable range.
std::optional<Table> ReadTable(const SectorReader& read, uint64_t diskSectors, std::string* why);

// A fresh header for a disk of `diskSectors` sectors: 128 entries of 128
// bytes, usable range between the two arrays, a new disk GUID.
Header FreshHeader(uint64_t diskSectors);

// The sectors that make the table on disk, in the order to write them: the
// backup array and header first, then the primary array and header (so that
// an interrupted write leaves one sound copy). The protective record is the
// caller's (MakeProtective). Empty when the table does not fit the disk.
struct SectorRun {
    uint64_t lba;
    std::vector<uint8_t> bytes; // a multiple of 512
};
std::vector<SectorRun> BuildTable(const Header& h, const std::vector<Entry>& entries,
                                  uint64_t diskSectors);

} // namespace vk::gpt
