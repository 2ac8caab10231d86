// Acceptance of a volume, the volume object kept with the partition, and
// the switch between read-only and read-write mounts.
#include <cerrno>
#include <cstring>
#include <memory>

#include "disk/disk.h"
#include "ntfs_internal.h"
#include "platform/util.h"

namespace vk {

namespace {

// The boot sector as the driver looks at it before the library mounts the
// volume.
namespace boot {
constexpr size_t kOemId = 3; // 8 bytes
constexpr size_t kSignature = 510;
constexpr uint16_t kSignatureValue = 0xAA55;
constexpr char kNtfs[] = "NTFS    ";
constexpr char kBitLocker[] = "-FVE-FS-";
} // namespace boot

Status Refuse(const char* why) {
    LogFormat("NTFS ERROR: Volume refused: %s\r\n", why);
    return kFsOwnRefused;
}

} // namespace

NtfsVolume::~NtfsVolume() {
    // A modified volume was flushed before; a read-only mount writes
    // nothing when it goes. Files still open lose their records.
    for (NtfsFile* f : open)
        NtfsDetachFile(f);
    if (vol != nullptr) ntfs_umount(vol, TRUE);
}

void InitNtfsDriver() {
    ntfs_log_set_handler(ntfs_log_handler_null);
    // The library's own conversions (the names it looks up itself, such as
    // $Extend/$Reparse, and the DOS names it is given) in UTF-8, whatever
    // the process's locale.
    ntfs_set_char_encoding("utf8");
}

void LogNtfsError(const char* what) {
    LogFormat("NTFS ERROR: %s: %s\r\n", what, std::strerror(errno));
}

ntfs_volume* NtfsMounted(FsState& part) {
    auto* volume = dynamic_cast<NtfsVolume*>(part.driverData.get());
    return volume != nullptr ? volume->vol : nullptr;
}

NtfsVolume* NtfsVolumeOf(FsState& part) {
    return dynamic_cast<NtfsVolume*>(part.driverData.get());
}

namespace {

// Mounts the volume anew, read-only or read-write, with its open files;
// false after logging why (the volume is then mounted read-only if it can
// be, else not at all).
bool Remount(NtfsVolume& volume, bool writable, const char* what) {
    bool ok = true;
    for (NtfsFile* f : volume.open)
        ok = NtfsDetachFile(f) && ok;
    if (volume.vol != nullptr && ntfs_umount(volume.vol, FALSE) != 0) {
        LogNtfsError("Cannot write the volume's state");
        ok = false;
    }
    volume.vol = MountPartition(volume.io, writable);
    volume.writable = writable;
    if (volume.vol == nullptr) {
        LogNtfsError(what);
        ok = false;
        if (writable) {
            volume.vol = MountPartition(volume.io, false);
            volume.writable = false;
        }
    }
    for (NtfsFile* f : volume.open)
        if (volume.vol != nullptr) ok = NtfsAttachFile(volume.vol, f) && ok;
    return ok;
}

} // namespace

ntfs_volume* NtfsWritable(FsState& part) {
    NtfsVolume* volume = NtfsVolumeOf(part);
    if (volume == nullptr || volume->vol == nullptr || !part.valid) {
        Log("NTFS ERROR: Volume not written: the volume is not valid\r\n");
        return nullptr;
    }
    if (!volume->writable &&
        !Remount(*volume, true, "Volume not written: it cannot be opened for writing"))
        return nullptr;
    part.state = kStateModified;
    // What an archive gathered no longer describes the volume.
    volume->archive.reset();
    return volume->vol;
}

Status NtfsInitFsSpecific(FsState& part) {
    part.driverData.reset();
    uint8_t sector[kSectorSize];
    if (Seek(part, 0) != 0 || ReadSects(part, 1, sector) != 0) return 1;
    if (std::memcmp(sector + boot::kOemId, boot::kBitLocker, 8) == 0)
        return Refuse("it is encrypted with BitLocker; decrypt it in Windows first");
    if (ld16(sector + boot::kSignature) != boot::kSignatureValue ||
        std::memcmp(sector + boot::kOemId, boot::kNtfs, 8) != 0)
        return 1;
    auto volume = std::make_unique<NtfsVolume>();
    volume->io.part = &part;
    volume->vol = MountPartition(volume->io, false);
    if (volume->vol == nullptr) {
        LogNtfsError("Volume refused");
        return kFsOwnRefused;
    }
    ntfs_volume* vol = volume->vol;
    if (vol->flags & VOLUME_IS_DIRTY)
        return Refuse("it is marked dirty (Windows did not finish with it or found errors); let "
                      "Windows check it (chkdsk /f) or run ntfsfix on it, then try again");
    if (ntfs_volume_check_hiberfile(vol, 0) != 0)
        return Refuse("Windows left it hibernated or with Fast Startup; start Windows and shut "
                      "it down fully (Shift with Shut down, or Fast Startup off), then try again");
    if (ntfs_version_is_supported(vol) != 0) return Refuse("its NTFS version is not supported");
    part.driverData = std::move(volume);
    return 0;
}

Status NtfsFlushFsSpecific(FsState& part) {
    if (part.state != kStateModified) return 0;
    part.state = kStateClean;
    NtfsVolume* volume = NtfsVolumeOf(part);
    if (volume == nullptr || volume->vol == nullptr || !volume->writable) return 0;
    // Unmounting writes what the library keeps in memory and marks the
    // volume clean; reading goes on through a read-only mount.
    if (Remount(*volume, false, "Cannot open the volume again")) return 0;
    if (volume->vol == nullptr) part.valid = 0;
    return -1;
}

} // namespace vk
