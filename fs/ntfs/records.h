// The NTFS driver's archive records, declared once: the fixed attributes
// of every directory and file (the 86-byte layout shared with ext2 and host
// directories, then what only NTFS has), and the volume table that follows
// the boot sectors in the archive's boot area. All fields little-endian;
// read and written with ld/st only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/hostfile.h"

namespace vk::ntfsrec {

// ---- Fixed attributes (128 bytes) -----------------------------------------
// Bytes 0-85 are the shared layout (platform/hostfile.h): a mode made from
// the file attributes, times in Unix seconds, the size's low half.
constexpr int kCreation = 86;     // u64 creation time, 100 ns since 1601
constexpr int kModification = 94; // u64 last data change
constexpr int kMftChange = 102;   // u64 last change of the record
// The high half of the size sits where ext4 keeps it; the access time
// goes around it.
constexpr int kSizeHigh = 110;      // u32 high half of the size
constexpr int kAccess = 114;        // u64 last access
constexpr int kFileAttributes = 66; // u32 within the shared layout's spare bytes
constexpr int kSecurity = 70;       // u32 index in the descriptor table + 1 (0: none)
constexpr int kRecord = 74;         // u64 MFT record number in the source volume
constexpr int kLinks = 82;          // u16 link count (names) in the source volume
constexpr int kFlags = 84;          // u16 what the entry is and which metadata it has
constexpr int kAllocated = 122;     // u32 KiB the source allocated to the stream
constexpr int kReserved = 126;      // 2 bytes, 0
constexpr int kTotal = 128;
// The shared layout's own fields end before its spare bytes.
static_assert(kAttrExtra + 40 == kFileAttributes);
static_assert(kFlags + 2 == kPackedAttrSize);

// Bits of kFlags.
constexpr uint16_t kFlagStream = 1;      // a named data stream of the file entry before it
constexpr uint16_t kFlagDosName = 2;     // the record has a DOS name in the volume table
constexpr uint16_t kFlagReparse = 4;     // ... reparse data
constexpr uint16_t kFlagObjectId = 8;    // ... an object ID
constexpr uint16_t kFlagSparse = 16;     // the stream is sparse in the source
constexpr uint16_t kFlagCompressed = 32; // the stream is compressed in the source

// ---- Boot area ---------------------------------------------------------------
// The partition's first 16 sectors (boot sector and boot code, as $Boot
// holds them), then the volume table, padded with zeros to whole sectors.
constexpr uint32_t kBootBytes = 8192;
constexpr uint32_t kTableAt = kBootBytes;
// Largest boot area (boot sector counts travel in 16 bits).
constexpr uint32_t kBootAreaMax = 65535u * 512u;

// Boot sector fields (offsets inside sector 0).
namespace bs {
constexpr size_t kOemId = 3;           // 8 bytes "NTFS    "
constexpr size_t kBytesPerSector = 11; // u16
constexpr size_t kBpbEnd = 0x54;       // the parameter block ends, the boot code begins
constexpr size_t kHiddenSectors = 28;  // u32
constexpr size_t kTotalSectors = 40;   // u64
constexpr size_t kSerial = 72;         // u64
constexpr size_t kSignature = 510;     // u16 0xAA55
} // namespace bs

// ---- Volume table ------------------------------------------------------------
// Header (40 bytes):
//   0 u32 kTableMagic
//   4 u32 bytes of the table, header included
//   8 u64 volume serial number
//  16 u32 cluster size, 20 u32 MFT record size
//  24 u8 major version, 25 u8 minor version, 26 u16 label bytes L (UTF-8)
//  28 u32 number of security descriptors D
//  32 u32 number of record entries R
//  36 u32 0
// then L label bytes; D descriptors, each u32 length N (kDescriptorMin to
// kValueMax) and N bytes (self-relative, as the volume stores them); R
// record entries in increasing record order, each u64 record number, u16
// item count (at least 1), then per item u8 type, u32 length V (at most
// kValueMax) and V bytes.
constexpr uint32_t kTableMagic = 0x3141544E; // "NTA1"
constexpr uint32_t kTableHeader = 40;
constexpr uint32_t kLabelMax = 512;
constexpr uint32_t kDescriptorMin = 20;
constexpr uint32_t kValueMax = 65536;
constexpr uint32_t kRecordHead = 10;
constexpr uint32_t kItemHead = 5;

// Item types of a record entry.
enum Item : uint8_t {
    // u64 source record of the directory holding the name, then the DOS
    // name in UTF-8.
    kItemDosName = 1,
    kItemReparse = 2,  // reparse data as the volume holds it (tag, length, data)
    kItemObjectId = 3, // the object ID attribute's value (16 or 64 bytes)
    kItemEa = 4,       // the extended attributes as the volume holds them (the $EA list)
};

} // namespace vk::ntfsrec
