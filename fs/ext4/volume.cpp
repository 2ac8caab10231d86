// Acceptance of a volume, the volume object kept with the partition, and
// the flush that writes what libext2fs keeps in memory.
// The error table has no C++ linkage of its own.
extern "C" {
#include <et/com_err.h>
}

#include <memory>

#include "disk/disk.h"
#include "ext4_internal.h"
#include "platform/util.h"

namespace vk {

namespace {

// The superblock as the driver looks at it before the library opens the
// volume (offsets in its 1024 bytes, little-endian).
namespace super {
constexpr uint32_t kSector = 2; // the superblock starts 1024 bytes in
constexpr size_t kSize = 1024;
constexpr size_t kBlocksCountLo = 4;
constexpr size_t kLogBlockSize = 24;
constexpr size_t kMagic = 56;
constexpr size_t kState = 58;
constexpr size_t kRevision = 76;
constexpr size_t kFeatureCompat = 92;
constexpr size_t kFeatureIncompat = 96;
constexpr size_t kFeatureRoCompat = 100;
constexpr size_t kBlocksCountHi = 336;
constexpr uint16_t kMagicValue = 0xEF53;
} // namespace super

// Incompatible features the ext2 driver reads itself: a volume with none
// beyond these is the ext2 driver's to accept or refuse.
constexpr uint32_t kExt2Readable = EXT2_FEATURE_INCOMPAT_FILETYPE | EXT4_FEATURE_INCOMPAT_FLEX_BG;

// Features of volumes the library opens but that this driver does not
// change safely: data kept in the inode, clusters of blocks, quota usage
// and extended attributes in inodes of their own (which every write would
// have to keep current), blocks shared between files, volumes marked
// read-only, and multi-mount protection (whose start waits for other
// hosts).
constexpr uint32_t kIncompatRefused = EXT4_FEATURE_INCOMPAT_INLINE_DATA |
                                      EXT4_FEATURE_INCOMPAT_EA_INODE |
                                      EXT3_FEATURE_INCOMPAT_JOURNAL_DEV | EXT4_FEATURE_INCOMPAT_MMP;
constexpr uint32_t kRoCompatRefused =
    EXT4_FEATURE_RO_COMPAT_BIGALLOC | EXT4_FEATURE_RO_COMPAT_QUOTA |
    EXT4_FEATURE_RO_COMPAT_SHARED_BLOCKS | EXT4_FEATURE_RO_COMPAT_READONLY;

Status Refuse(const char* why) {
    Log("EXT4 ERROR: Volume refused: ");
    Log(why);
    Log("\r\n");
    return kFsOwnRefused;
}

// The reason a volume of this driver's kind is not used, or null.
const char* Refusal(const uint8_t* s, uint64_t partitionBytes) {
    using namespace super;
    const uint32_t incompat = ld32(s + kFeatureIncompat);
    const uint32_t roCompat = ld32(s + kFeatureRoCompat);
    if (incompat & EXT3_FEATURE_INCOMPAT_RECOVER)
        return "its journal needs recovery (it was not cleanly unmounted); mount it once in "
               "Linux or run e2fsck on it, then try again";
    if (roCompat & EXT4_FEATURE_RO_COMPAT_ORPHAN_PRESENT)
        return "it holds orphan inodes to be cleaned up (it was not cleanly unmounted); run "
               "e2fsck on it, then try again";
    if (incompat & EXT4_FEATURE_INCOMPAT_ENCRYPT) return "it may hold encrypted directories";
    if (roCompat & EXT4_FEATURE_RO_COMPAT_VERITY) return "it may hold verity files";
    if ((incompat & ~uint32_t(EXT2_LIB_FEATURE_INCOMPAT_SUPP)) ||
        (roCompat & ~uint32_t(EXT2_LIB_FEATURE_RO_COMPAT_SUPP)))
        return "it uses features unknown to this driver";
    if ((incompat & kIncompatRefused) || (roCompat & kRoCompatRefused))
        return "it uses features this driver does not maintain (inline data, bigalloc, quota, "
               "extended-attribute inodes, shared blocks, an external journal, multi-mount "
               "protection or read-only)";
    const uint16_t state = ld16(s + kState);
    if (!(state & EXT2_VALID_FS) || (state & EXT2_ERROR_FS))
        return "it was not cleanly unmounted or has errors recorded; run e2fsck on it";
    const uint32_t logBlock = ld32(s + kLogBlockSize);
    if (logBlock > 6) return "its block size";
    uint64_t blocks = ld32(s + kBlocksCountLo);
    if (incompat & EXT4_FEATURE_INCOMPAT_64BIT) blocks |= uint64_t(ld32(s + kBlocksCountHi)) << 32;
    if (blocks > (partitionBytes >> (10 + logBlock)))
        return "the file system is larger than its partition";
    return nullptr;
}

} // namespace

Ext4Volume::~Ext4Volume() {
    // Nothing is written here: a modified volume was flushed before.
    if (fs != nullptr) ext2fs_free(fs);
}

void InitExt4Driver() {
    // The library's messages, for LogExt4Error.
    initialize_ext2_error_table();
}

void LogExt4Error(const char* what, errcode_t error) {
    LogFormat("EXT4 ERROR: %s: %s\r\n", what, error_message(error));
}

ext2_filsys VolumeOf(FsState& part) {
    auto* volume = dynamic_cast<Ext4Volume*>(part.driverData.get());
    return volume != nullptr ? volume->fs : nullptr;
}

ext2_filsys WritableVolume(FsState& part) {
    auto* volume = dynamic_cast<Ext4Volume*>(part.driverData.get());
    if (volume == nullptr || volume->fs == nullptr || !part.valid) {
        Log("EXT4 ERROR: Volume not written: the volume is not valid\r\n");
        return nullptr;
    }
    if (!volume->bitmapsLoaded) {
        if (errcode_t error = ext2fs_read_bitmaps(volume->fs)) {
            LogExt4Error("Cannot read the allocation bitmaps", error);
            return nullptr;
        }
        volume->bitmapsLoaded = true;
    }
    part.state = kStateModified;
    return volume->fs;
}

Status Ext4InitFsSpecific(FsState& part) {
    part.driverData.reset();
    uint8_t s[super::kSize];
    if (Seek(part, super::kSector) != 0 || ReadSects(part, 2, s) != 0) return 1;
    if (ld16(s + super::kMagic) != super::kMagicValue || ld32(s + super::kRevision) < 1) return 1;
    // Volumes without the newer features are the ext2 driver's.
    const uint32_t incompat = ld32(s + super::kFeatureIncompat);
    const bool journal = (ld32(s + super::kFeatureCompat) & EXT3_FEATURE_COMPAT_HAS_JOURNAL) != 0;
    if (!journal && (incompat & ~kExt2Readable) == 0) return 1;
    if (const char* why = Refusal(s, uint64_t(part.sizeSectors) * kSectorSize)) return Refuse(why);

    ext2_filsys fs = nullptr;
    BindNextChannel(part);
    errcode_t error = ext2fs_open2(kChannelName, nullptr, EXT2_FLAG_RW | EXT2_FLAG_64BITS, 0, 0,
                                   PartitionIoManager(), &fs);
    if (error != 0) {
        LogExt4Error("Volume refused", error);
        return kFsOwnRefused;
    }
    auto volume = std::make_unique<Ext4Volume>();
    volume->fs = fs;
    part.driverData = std::move(volume);
    return 0;
}

Status Ext4FlushFsSpecific(FsState& part) {
    if (part.state != kStateModified) return 0;
    part.state = kStateClean;
    ext2_filsys fs = VolumeOf(part);
    if (fs == nullptr) return 0;
    if (errcode_t error = ext2fs_flush(fs)) {
        LogExt4Error("Cannot write the file system accounting", error);
        return -1;
    }
    return 0;
}

} // namespace vk
