// On-disk records of FAT16 and FAT32 volumes that the driver reads and
// writes besides the boot sector (whose offsets live in disk/partitions.h,
// namespace fatboot): the 32-byte directory slot, the long-name slot, the
// FSInfo sector and the driver's 15-byte packed attributes. Every field is
// read and written through ld16/ld32/st16/st32 at these offsets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

// One 32-byte directory slot holding a short (8.3) entry.
namespace fatdir {
constexpr size_t kSlotSize = 32;
constexpr size_t kName = 0; // 11 bytes: 8 base + 3 extension, blank padded
constexpr size_t kNameSize = 11;
constexpr size_t kAttr = 11;           // u8
constexpr size_t kCase = 12;           // u8: lower-case flags below, written as 0
constexpr size_t kCrtTenths = 13;      // u8
constexpr size_t kCrtTime = 14;        // u16
constexpr size_t kCrtDate = 16;        // u16
constexpr size_t kAccDate = 18;        // u16
constexpr size_t kClusterHi = 20;      // u16: high word of the first cluster
constexpr size_t kWrtTime = 22;        // u16
constexpr size_t kWrtDate = 24;        // u16
constexpr size_t kClusterLo = 26;      // u16: low word of the first cluster
constexpr size_t kSize = 28;           // u32
constexpr uint8_t kEndMark = 0x00;     // first byte: no slot in use from here on
constexpr uint8_t kDeletedMark = 0xE5; // first byte: deleted slot
constexpr uint8_t kE5Escape = 0x05;    // first byte standing for a name byte 0xE5
// Flags of kCase that other systems set on a short name without long-name
// slots whose base or extension is all lower case: the name is shown so.
constexpr uint8_t kLowerBase = 0x08;
constexpr uint8_t kLowerExtension = 0x10;
} // namespace fatdir

// Attribute bits of a slot.
constexpr uint8_t kFatAttrReadOnly = 0x01;
constexpr uint8_t kFatAttrHidden = 0x02;
constexpr uint8_t kFatAttrSystem = 0x04;
constexpr uint8_t kFatAttrVolume = 0x08;
constexpr uint8_t kFatAttrDir = 0x10;
constexpr uint8_t kFatAttrArchive = 0x20;
constexpr uint8_t kFatAttrLongName = 0x0F; // all of the low four: a long-name slot

// Whether an attribute byte marks a volume label (not a long-name slot, not
// a directory).
constexpr bool IsLabelAttr(uint8_t attr) {
    return (attr & kFatAttrVolume) != 0 && (attr & kFatAttrLongName) != kFatAttrLongName &&
           (attr & kFatAttrDir) == 0;
}

// An attribute byte from an archive as a slot of this kind may hold it: a
// directory is marked as one (and is no label), a file is not; only the six
// attribute bits are kept. Whether a file keeps a label bit is the caller's.
constexpr uint8_t SlotAttrFor(uint8_t attr, bool directory) {
    attr &= 0x3F;
    return directory ? uint8_t((attr & ~kFatAttrVolume) | kFatAttrDir)
                     : uint8_t(attr & ~kFatAttrDir);
}

// One 32-byte long-name slot: 13 UCS-2 characters of the name.
namespace fatlfn {
constexpr size_t kOrdinal = 0; // u8: 1..n, 0x40 added on the last (n-th) slot
constexpr uint8_t kLastFlag = 0x40;
constexpr uint8_t kOrdinalMask = 0x3F;
constexpr size_t kChars1 = 1;    // 5 characters
constexpr size_t kAttr = 11;     // u8: kFatAttrLongName
constexpr size_t kType = 12;     // u8: 0
constexpr size_t kChecksum = 13; // u8: checksum of the 11-byte short name
constexpr size_t kChars2 = 14;   // 6 characters
constexpr size_t kCluster = 26;  // u16: 0
constexpr size_t kChars3 = 28;   // 2 characters
constexpr int kCharsPerSlot = 13;
// Byte offsets of the 13 characters in slot order.
constexpr size_t kCharOffsets[kCharsPerSlot] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
// Long names are read up to this many slots (9 x 13 = 117 characters).
constexpr int kMaxReadSlots = 9;
} // namespace fatlfn

// The FAT32 FSInfo sector.
namespace fsinfo {
constexpr size_t kLeadSig = 0;     // u32 0x41615252
constexpr size_t kStructSig = 484; // u32 0x61417272
constexpr size_t kFreeCount = 488; // u32: free clusters, 0xFFFFFFFF unknown
constexpr size_t kNextFree = 492;  // u32: where to look for a free cluster
constexpr size_t kTrailSig = 508;  // u32 0xAA550000
constexpr uint32_t kLeadValue = 0x41615252;
constexpr uint32_t kStructValue = 0x61417272;
constexpr uint32_t kTrailValue = 0xAA550000;
} // namespace fsinfo

// The driver's packed attributes (FsHandler::attrSize bytes), copied
// verbatim from and to the short slot.
namespace fatattr {
constexpr size_t kAttr = 0;     // u8
constexpr size_t kTenths = 1;   // u8: creation time tenths
constexpr size_t kCrtTime = 2;  // u16
constexpr size_t kCrtDate = 4;  // u16
constexpr size_t kAccDate = 6;  // u16
constexpr size_t kWrtTime = 8;  // u16
constexpr size_t kWrtDate = 10; // u16
constexpr size_t kTail = 12;    // u24: short-name tail number, 0 without a long name
constexpr size_t kSize = 15;
} // namespace fatattr

// FAT entry values.
constexpr uint32_t kFat16EndAbove = 65520;        // FAT16 values above this end a chain
constexpr uint32_t kFat32EndAbove = 0x0FFFFFF0;   // FAT32 values above this end a chain
constexpr uint32_t kFat32Mask = 0x0FFFFFFF;       // the 28 bits of a FAT32 entry
constexpr uint32_t kFatEndOfChain = 0x0FFFFFFF;   // cut to the entry width when written
constexpr uint32_t kFat16MaxClusters = 65524;     // more clusters than this are no FAT16
constexpr uint32_t kFat32MaxCluster = 0x0FFFFFF6; // highest FAT32 cluster number + 1
constexpr uint8_t kFatMedia = 0xF8;               // first byte of a hard-disk FAT

} // namespace vk
