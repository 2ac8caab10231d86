// Partition tables, the partition type table and the selection of
// partitions through the state cache.
//
// Partitions are named by a disk number (0x80...) and a partition number:
// 0 the whole disk (its first track), 1-4 the master boot record's entries,
// 5 and up the entries of extended tables in groups of four, 255 or -1 the
// cache partition behind the last primary partition. On a disk with a GUID
// partition table, 1 and up are the slots of its entry array (sgdisk's
// partition numbers) and the cache partition is the space behind the last
// entry.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "disk/fsdriver.h"
#include "disk/gpt.h"
#include "platform/types.h"

namespace vk {

// One 16-byte entry of a partition table.
namespace pte {
constexpr size_t kTableOffset = 446; // first entry in the sector
constexpr size_t kEntrySize = 16;
constexpr size_t kEntries = 4;
constexpr size_t kSignature = 510;  // 0x55 0xAA
constexpr size_t kBoot = 0;         // u8: 0x80 active, 0 inactive
constexpr size_t kStartHead = 1;    // u8: packed head byte
constexpr size_t kStartSectCyl = 2; // u16: packed sector/cylinder word
constexpr size_t kType = 4;         // u8
constexpr size_t kEndHead = 5;      // u8
constexpr size_t kEndSectCyl = 6;   // u16
constexpr size_t kStartLBA = 8;     // u32: start, relative to the table's base
constexpr size_t kSizeLBA = 12;     // u32: size in sectors
static_assert(kTableOffset + kEntries * kEntrySize == kSignature);
} // namespace pte

constexpr uint8_t kTypeEmpty = 0x00;
constexpr uint8_t kTypeExtended = 0x05;
constexpr uint8_t kTypeExtendedLBA = 0x0F;
constexpr uint8_t kTypeSwap = 0x82;
constexpr uint8_t kTypeCache = 0xFF;
constexpr int kCachePartition = -1; // also reachable as 255
constexpr int kStateCacheSlots = 32;
constexpr int kMaxPartition = 127; // partition numbers are 8-bit signed

inline bool IsExtendedType(uint8_t type) {
    return type == kTypeExtended || type == kTypeExtendedLBA;
}

// The drivers live above this layer: each one describes itself by an
// FsDriver record (its table and the partition types it serves) and the
// programs register those records at start-up. A later registration of a
// type replaces the earlier one; alternatives add to the type's list.
void RegisterFsDriver(const FsDriver& driver);
// Forgets every registration (tests).
void ResetFsDrivers();
// The table registered for a partition type byte, or null.
const FsHandler* FsHandlerForType(uint8_t type);
// Examines the partition afresh (after selection, a clean or a restore):
// the driver of its type first, then the type's alternatives. The driver
// that accepts, or the alternative that calls the volume its own, becomes
// the state's handler, otherwise the type's own driver stays (so that a
// clean of a blank partition formats in its kind). Sets and returns valid
// (1 accepted). The previous driver's private object is dropped first.
uint8_t RecogniseFs(FsState& s);

// GUID partition tables on the disks. The type byte a GUID partition's
// state gets, so that the drivers registered for type bytes serve it: EFI
// system and basic data partitions the FAT drivers (the FAT32 one, whose
// clean and restore make FAT32 volumes, for an ESP of 100 MiB or more, the
// size other systems make theirs in FAT32, and for a basic data partition
// of 512 MiB or more, where mkfs.fat turns to FAT32; the FAT16 one below;
// both read either kind), Linux file systems the ext2 driver and its
// alternatives, Linux swap the swap driver; any other type kTypeGptOther,
// which no driver serves.
constexpr uint8_t kTypeGptOther = 0xEE;
constexpr uint64_t kGptEspFat32From = 100 * 2048;  // sectors
constexpr uint64_t kGptDataFat32From = 512 * 2048; // sectors
uint8_t GptDriverType(const gpt::Guid& type, uint64_t sectors);
// True when the disk's first sector has a protective entry.
bool DiskHasGpt(int disk);
// The disk's table, read from the primary or the backup copy; a damaged
// copy is noted in the log (once per disk and damage) and put back before
// the next write to the disk. Nullopt, after logging why, when the table
// cannot be used.
std::optional<gpt::Table> ReadDiskGpt(int disk);
// One partition of a layout to write: its type and size in MB (an EMPTY
// type leaves its slot unused and skips as many MB).
struct GptPart {
    gpt::Guid type{};
    uint32_t megabytes = 0;
};
// Places the partitions one after another on 1 MiB boundaries from the
// first usable sector of `h`, each with a fresh unique GUID; false when
// they do not fit between the two arrays.
bool LayOutGpt(const gpt::Header& h, const std::vector<GptPart>& parts,
               std::vector<gpt::Entry>* entries);
// Writes a fresh table of these partitions (the disk's GUID kept when its
// table was readable): both arrays and headers, backup first, then the
// protective master boot record. 0, or -1 after logging why ("Partitions
// are too big !" is the caller's when it gets 1).
Status SetGptPartitions(int disk, const std::vector<GptPart>& parts);
// Zeroes both headers of a GUID partition table whose protective record
// was just replaced by a master boot record's table, so that no tool
// finds a stale table; 0 or -1.
Status EraseGptHeaders(int disk);

// Caller's view of one table entry (getpartitions / setpartitions).
constexpr int kTypeNameSize = 16;
struct PartInfo {
    char typeName[kTypeNameSize] = "EMPTY";
    uint8_t empty = 1;
    uint8_t extended = 0;
    uint16_t startCylinder = 0;
    uint8_t startSector = 0;
    uint8_t startHead = 0;
    uint16_t endCylinder = 0;
    uint8_t endSector = 0;
    uint8_t endHead = 0;
};

void InitFsHandlers();
// The state of a partition, from the state cache or found afresh (its
// driver's InitFsSpecific run); null, after logging why, when it cannot be
// selected. The record stays valid until the next FlushParts.
FsState* SelectPart(int disk, int partition);
Status FlushParts();

// Absolute sector of a location with the geometry of the state's disk.
uint32_t AbsPos(const FsState& s, uint16_t cylinder, uint8_t head, uint8_t sector);
// Packs a location into a table entry's head byte and sector/cylinder word
// (LBAMode: 10-bit cylinders, 8-bit heads; otherwise 12-bit cylinders, heads
// 0-63). -1, and nothing stored, when the location does not fit.
Status PackLoc(uint16_t cylinder, uint8_t head, uint8_t sector, uint8_t* headByte, uint16_t* word);
void UnPackLoc(uint8_t headByte, uint16_t word, uint16_t* cylinder, uint8_t* head, uint8_t* sector);
// The absolute first and last sector of a table entry's partition, from
// its 32-bit start and size; `table` is the state whose first sector holds
// the entry (the whole disk, or an extended partition). An entry whose
// 32-bit fields are both zero is placed by its C/H/S locations on the
// table's geometry instead, and false is returned. A size of 0 gives a
// last sector one before the first.
bool EntryExtent(const FsState& table, const uint8_t* entry, uint64_t* first, uint64_t* last);
// Locates a partition from a 16-byte entry of the table held in the
// state's partition (EntryExtent), making the state that partition: start,
// size and start location. -1 (and a logged message) for an empty range, a
// range that does not lie behind the table holding the entry (for an
// extended entry: a damaged chain), one beyond the end of the disk or its
// first 2^32 sectors, or C/H/S locations outside the disk's geometry where
// they place the entry.
Status SeekPart(FsState& s, const uint8_t* entry);
// The first sector of the partition (512 bytes).
Status ReadBootSect(FsState& s, uint8_t* sector);
Status WriteBootSect(FsState& s, const uint8_t* sector);
// Sets the state's type name and driver from its type byte.
void FindFsType(FsState& s);
// Printable name of a type byte ("FAT16", or the decimal number).
const char* PartTypeName(uint8_t type);
// Type byte for a name (case-insensitive) or a decimal number 0-255; -1.
int ReadFsType(const char* name);
// The driver whose identity is id: a type's own driver first, then the
// alternatives.
const FsHandler* FindFsID(const char* id);
// Whether the driver serves partitions of the type, as its own or as an
// alternative.
bool FsDriverServes(uint8_t type, const FsHandler* h);
// Whether a driver of partitions of this type other than h has a full
// restore (so that an archive's identity may choose between them).
bool OtherRestoreServes(uint8_t type, const FsHandler* h);
Status GetPartInfos(int disk, int partition, PartInfo* records);
Status SetPartInfos(int disk, int partition, PartInfo* records);
int GetBootPart(int disk);
Status SetBootPart(int disk, int partition);

// Boot sector builders. Both build in a 512-byte sector and write nothing.
// The FAT boot sector fields (offsets in the sector; E = kExtendedFat16 or
// kExtendedFat32 for the fields after it).
namespace fatboot {
constexpr size_t kJump = 0;               // 3: 0xEB 0x58 0x90
constexpr size_t kOemName = 3;            // 8: "VESKLOR!"
constexpr size_t kBytesPerSector = 11;    // u16
constexpr size_t kSectorsPerCluster = 13; // u8
constexpr size_t kReservedSectors = 14;   // u16
constexpr size_t kNumFats = 16;           // u8
constexpr size_t kRootEntries = 17;       // u16
constexpr size_t kSmallSectors = 19;      // u16
constexpr size_t kMedia = 21;             // u8
constexpr size_t kSectorsPerFat16 = 22;   // u16
constexpr size_t kSectorsPerTrack = 24;   // u16
constexpr size_t kHeads = 26;             // u16
constexpr size_t kHiddenSectors = 28;     // u32
constexpr size_t kTotalSectors = 32;      // u32
constexpr size_t kSectorsPerFat32 = 36;   // u32 (FAT32)
constexpr size_t kFat32Flags = 40;        // u32 (FAT32)
constexpr size_t kRootCluster = 44;       // u32 (FAT32)
constexpr size_t kInfoSector = 48;        // u16 (FAT32)
constexpr size_t kBackupBoot = 50;        // u16 (FAT32)
constexpr size_t kExtendedFat16 = 36;
constexpr size_t kExtendedFat32 = 64;
constexpr size_t kDriveNumber = 0;   // E+0: u8
constexpr size_t kBootSignature = 2; // E+2: 0x29
constexpr size_t kSerial = 3;        // E+3: 4 bytes
constexpr size_t kLabel = 7;         // E+7: 11 bytes
constexpr size_t kLabelSize = 11;
constexpr size_t kFsType = 18;      // E+18: 8 bytes
constexpr size_t kBootProgram = 90; // 147 bytes
} // namespace fatboot

// The hidden-sectors field of a boot sector: the partition's start from
// its table's base, or 0 where that does not fit 32 bits (a partition
// beyond the first 2 TiB of a GUID-partitioned disk).
uint32_t HiddenSectors(const FsState& s);

// Reads sector 0 of the partition (the whole disk) and puts a fresh master
// boot record program in front of its partition table; 0 or -1.
Status BuildMBRBoot(FsState& s, uint8_t* sector);
// A fresh FAT boot sector for the partition; the label is cut to 11
// characters and padded with blanks.
Status BuildFATBoot(const FsState& s, uint8_t* sector, bool fat32, uint8_t sectorsPerCluster,
                    uint32_t sectorsPerFat, const char* label);

} // namespace vk
