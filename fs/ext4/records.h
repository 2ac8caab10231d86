// The ext4 driver's archive records, declared once: the fixed attributes
// that follow the 86-byte layout shared with ext2 and host directories,
// the superblock fields a full restore takes from the archived boot area,
// and the extended-attribute table that follows the superblock there.
// All fields little-endian; read and written with ld/st only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/hostfile.h"

namespace vk::ext4rec {

// ---- Fixed attributes (128 bytes) -----------------------------------------
// Bytes 0-85 are the shared layout (platform/hostfile.h); these follow.
constexpr int kUidHigh = 86;      // u16 high half of the owner
constexpr int kGidHigh = 88;      // u16 high half of the group
constexpr int kAtimeExtra = 90;   // u32 epoch bits (2) and nanoseconds << 2
constexpr int kMtimeExtra = 94;   // u32 likewise
constexpr int kCtimeExtra = 98;   // u32 likewise
constexpr int kCrtime = 102;      // u32 creation time, seconds
constexpr int kCrtimeExtra = 106; // u32 likewise
constexpr int kSizeHigh = 110;    // u32 high half of a regular file's size
constexpr int kInode = 114;       // u32 inode number in the source volume (link identity)
constexpr int kLinks = 118;       // u16 link count in the source volume
constexpr int kAllocated = 120;   // u32 KiB the source allocated to the inode (its holes not)
constexpr int kReserved = 124;    // 4 bytes, 0
constexpr int kTotal = 128;
static_assert(kUidHigh == kPackedAttrSize);

// ---- Boot area ---------------------------------------------------------------
// The archive's boot area of an ext4 volume: the first 1024 bytes of the
// partition (boot code), the 1024-byte superblock, then the attribute
// table, padded with zeros to whole sectors.
constexpr uint32_t kBootBlockBytes = 1024;
constexpr uint32_t kSuperAt = 1024;
constexpr uint32_t kSuperBytes = 1024;
constexpr uint32_t kTableAt = kSuperAt + kSuperBytes;

// Superblock fields (offsets inside its 1024 bytes).
namespace sb {
constexpr size_t kInodesCount = 0;        // u32
constexpr size_t kBlocksCountLo = 4;      // u32
constexpr size_t kRBlocksCountLo = 8;     // u32
constexpr size_t kLogBlockSize = 24;      // u32
constexpr size_t kMagic = 56;             // u16 0xEF53
constexpr size_t kErrors = 60;            // u16
constexpr size_t kRevision = 76;          // u32
constexpr size_t kDefResuid = 80;         // u16
constexpr size_t kDefResgid = 82;         // u16
constexpr size_t kInodeSize = 88;         // u16
constexpr size_t kFeatureCompat = 92;     // u32
constexpr size_t kFeatureIncompat = 96;   // u32
constexpr size_t kFeatureRoCompat = 100;  // u32
constexpr size_t kUuid = 104;             // 16 bytes
constexpr size_t kVolumeName = 120;       // 16 bytes
constexpr size_t kLastMounted = 136;      // 64 bytes
constexpr size_t kHashSeed = 236;         // 4 x u32
constexpr size_t kDefHashVersion = 252;   // u8
constexpr size_t kDescSize = 254;         // u16
constexpr size_t kDefaultMountOpts = 256; // u32
constexpr size_t kMkfsTime = 264;         // u32
constexpr size_t kBlocksCountHi = 336;    // u32
constexpr size_t kRBlocksCountHi = 340;   // u32
constexpr size_t kMinExtraIsize = 348;    // u16
constexpr size_t kWantExtraIsize = 350;   // u16
constexpr size_t kFlags = 352;            // u32
constexpr size_t kLogGroupsPerFlex = 372; // u8
constexpr size_t kChecksumType = 373;     // u8
constexpr size_t kMountOpts = 512;        // 64 bytes
constexpr size_t kEncoding = 636;         // u16
constexpr size_t kEncodingFlags = 638;    // u16
constexpr size_t kChecksumSeed = 624;     // u32
constexpr uint16_t kMagicValue = 0xEF53;
} // namespace sb

// ---- Extended-attribute table ------------------------------------------------
// Header (12 bytes): u32 kTableMagic, u32 number of inode records, u32
// bytes of records that follow. An inode record: u32 inode number (in the
// source volume), u16 number of attributes, then per attribute: u8 name
// length N (1..255), u32 value length V, N name bytes (the full name, with
// its namespace: "user.", "trusted.", "security.", "system."), V value
// bytes. Access control lists are in the form the kernel hands to user
// space (the library's form), not the on-disk one.
constexpr uint32_t kTableMagic = 0x31415845; // "EXA1"
constexpr uint32_t kTableHeader = 12;
constexpr uint32_t kRecordHead = 6;
constexpr uint32_t kAttrHead = 5;
// Largest boot area (sector numbers and counts of the boot area travel in
// 16 bits): the table beyond it is refused.
constexpr uint32_t kBootAreaMax = 65535u * 512u;
// Largest value of one attribute (a block of the largest size).
constexpr uint32_t kValueMax = 65536;

} // namespace vk::ext4rec
