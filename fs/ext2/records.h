// On-disk records of ext2 volumes: the superblock, the 32-byte group
// descriptor, the inode, the directory record and the driver's 86-byte
// packed attributes. Every field is read and written through
// ld16/ld32/st16/st32 at these offsets, never by casting a buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

// The superblock: 1024 bytes at byte 1024 of the partition (sectors 2, 3).
namespace ext2sb {
constexpr uint32_t kSector = 2; // first sector of the superblock
constexpr size_t kSize = 1024;
constexpr size_t kInodesCount = 0;       // u32
constexpr size_t kBlocksCount = 4;       // u32
constexpr size_t kReservedBlocks = 8;    // u32
constexpr size_t kFreeBlocks = 12;       // u32
constexpr size_t kFreeInodes = 16;       // u32
constexpr size_t kFirstDataBlock = 20;   // u32
constexpr size_t kLogBlockSize = 24;     // u32: block size = 1024 << value
constexpr size_t kLogFragSize = 28;      // u32
constexpr size_t kBlocksPerGroup = 32;   // u32
constexpr size_t kFragsPerGroup = 36;    // u32
constexpr size_t kInodesPerGroup = 40;   // u32
constexpr size_t kMountTime = 44;        // u32
constexpr size_t kWriteTime = 48;        // u32
constexpr size_t kMountCount = 52;       // u16
constexpr size_t kMaxMountCount = 54;    // u16
constexpr size_t kMagic = 56;            // u16
constexpr size_t kState = 58;            // u16: 1 clean, 2 errors
constexpr size_t kErrors = 60;           // u16: behaviour on errors
constexpr size_t kMinorRevision = 62;    // u16
constexpr size_t kLastCheck = 64;        // u32
constexpr size_t kCheckInterval = 68;    // u32
constexpr size_t kCreatorOs = 72;        // u32
constexpr size_t kRevision = 76;         // u32: 0 original layout, 1 dynamic
constexpr size_t kDefResUid = 80;        // u16
constexpr size_t kDefResGid = 82;        // u16
constexpr size_t kFirstInode = 84;       // u32, revision 1: first usable inode
constexpr size_t kInodeSize = 88;        // u16, revision 1
constexpr size_t kBlockGroupNr = 90;     // u16, revision 1
constexpr size_t kFeatureCompat = 92;    // u32, revision 1
constexpr size_t kFeatureIncompat = 96;  // u32, revision 1
constexpr size_t kFeatureRoCompat = 100; // u32, revision 1
constexpr size_t kUuid = 104;            // 16 bytes
constexpr size_t kVolumeName = 120;      // 16 bytes
constexpr size_t kVolumeNameSize = 16;
constexpr uint16_t kMagicValue = 0xEF53;
constexpr uint16_t kStateCleanValue = 1;
// Incompatible features the driver can read around: directory records
// with a type byte, and bitmaps and tables placed anywhere (their blocks
// are named by the descriptors either way).
constexpr uint32_t kIncompatFileType = 0x0002;
constexpr uint32_t kIncompatFlexBg = 0x0200;
constexpr uint32_t kIncompatReadable = kIncompatFileType | kIncompatFlexBg;
// Read-only compatible feature: superblock and descriptor copies only in
// groups 0, 1 and the powers of 3, 5 and 7.
constexpr uint32_t kRoCompatSparseSuper = 0x0001;
} // namespace ext2sb

// One 32-byte block-group descriptor; the table starts in the block after
// the first data block.
namespace ext2gd {
constexpr size_t kSize = 32;
constexpr size_t kBlockBitmap = 0; // u32
constexpr size_t kInodeBitmap = 4; // u32
constexpr size_t kInodeTable = 8;  // u32: first block of the inode table
constexpr size_t kFreeBlocks = 12; // u16
constexpr size_t kFreeInodes = 14; // u16
constexpr size_t kUsedDirs = 16;   // u16
} // namespace ext2gd

// One inode: 128 bytes (revision 1 volumes may space them wider; the
// driver reads only these first 128 bytes).
namespace ext2ino {
constexpr size_t kSize = 128;
constexpr size_t kMode = 0;         // u16: type and permission bits
constexpr size_t kUid = 2;          // u16
constexpr size_t kFileSize = 4;     // u32
constexpr size_t kAtime = 8;        // u32
constexpr size_t kCtime = 12;       // u32
constexpr size_t kMtime = 16;       // u32
constexpr size_t kDtime = 20;       // u32
constexpr size_t kGid = 24;         // u16
constexpr size_t kLinks = 26;       // u16
constexpr size_t kSectors = 28;     // u32: 512-byte sectors in use, indirect blocks included
constexpr size_t kFlags = 32;       // u32
constexpr size_t kBlock = 40;       // 15 u32: 12 direct, single, double, triple indirect
constexpr size_t kBlockArea = 60;   // bytes of the block pointers (fast symlink target)
constexpr size_t kGeneration = 100; // u32
constexpr size_t kFileAcl = 104;    // u32
constexpr size_t kSizeHigh = 108;   // u32: high size word (revision 1 large files)
constexpr int kDirect = 12;
constexpr int kSingle = 12; // index of the single indirect pointer
constexpr int kDouble = 13;
constexpr int kTriple = 14;
constexpr uint32_t kExtentsFlag = 0x00080000; // block pointers replaced by an extent tree
constexpr uint32_t kIndexFlag = 0x00001000;   // hashed directory index
} // namespace ext2ino

// Mode type bits.
constexpr uint16_t kExt2TypeMask = 0xF000;
constexpr uint16_t kExt2Fifo = 0x1000;
constexpr uint16_t kExt2CharDev = 0x2000;
constexpr uint16_t kExt2Dir = 0x4000;
constexpr uint16_t kExt2BlockDev = 0x6000;
constexpr uint16_t kExt2Regular = 0x8000;
constexpr uint16_t kExt2Symlink = 0xA000;
constexpr uint16_t kExt2Socket = 0xC000;
constexpr uint16_t kExt2NewFileMode = 0x81ED; // regular file, 0755
constexpr uint16_t kExt2NewDirMode = 0x41ED;  // directory, 0755

// Reserved inode numbers.
constexpr uint32_t kExt2RootInode = 2;
constexpr uint32_t kExt2FirstInode = 11;  // first inode of a revision-0 volume
constexpr uint32_t kExt2FastLinkMax = 59; // longest target kept in the block pointers

// One directory record: inode, record length, name length, name. Revision
// 0 keeps a 16-bit name length; with the file-type feature its high byte
// is the entry's type.
namespace ext2de {
constexpr size_t kInode = 0;   // u32, 0 = unused record
constexpr size_t kRecLen = 4;  // u16: bytes to the next record
constexpr size_t kNameLen = 6; // u16 (u8 + type byte with the file-type feature)
constexpr size_t kName = 8;
constexpr size_t kHeader = 8;
constexpr size_t kNameMax = 255;
} // namespace ext2de

// The 86-byte packed attributes (FsHandler::attrSize), shared with the
// host directory driver.
namespace ext2attr {
constexpr size_t kMode = 0;   // u16
constexpr size_t kUid = 2;    // u16
constexpr size_t kAtime = 4;  // u32
constexpr size_t kMtime = 8;  // u32
constexpr size_t kCtime = 12; // u32
constexpr size_t kGid = 16;   // u16
constexpr size_t kSize = 18;  // u32: size in bytes
constexpr size_t kFlags = 22; // u32: inode flags
constexpr size_t kExtra = 26; // 60 bytes: fast symlink target, or device number (u32)
constexpr size_t kExtraSize = 60;
constexpr size_t kTotal = 86;
static_assert(kExtra + kExtraSize == kTotal);
} // namespace ext2attr

} // namespace vk
