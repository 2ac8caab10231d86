// Packed attributes applied to host paths, and the ext2 directory-size rule
// that host directories present.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "hostdir/hostdir.h"
#include "hostdir_internal.h"
#include "platform/hostat.h"
#include "platform/hostfile.h"
#include "platform/types.h"

namespace vk {

namespace {

bool Same(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct timespec Stored(const uint8_t* attributes, int offset) {
    struct timespec time;
    time.tv_sec = time_t(ld32(attributes + offset));
    time.tv_nsec = 0;
    return time;
}

void SetTimes(int dir, const char* name, const uint8_t* attributes) {
    struct timespec times[2] = {Stored(attributes, kAttrAtime), Stored(attributes, kAttrMtime)};
    utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW);
}

} // namespace

namespace hostdir {

void UnPackAttrAt(int dir, const char* name, const uint8_t* attributes) {
    if (!attributes || dir < 0) return;
    uint16_t mode = ld16(attributes + kAttrMode);
    uid_t uid = ld16(attributes + kAttrUid);
    gid_t gid = ld16(attributes + kAttrGid);
    // The entry itself, a symbolic link included: every change below is
    // made on this inode or, by name, without following a link.
    int self = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (self < 0) return;
    struct stat status;
    if (fstat(self, &status) != 0) {
        close(self);
        return;
    }
    bool link = S_ISLNK(status.st_mode);
    // Regular files and directories are opened for the mode and the ext2
    // inode flags; opening a device node or a FIFO may have side effects.
    int data = -1;
    if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) {
        data = openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
        struct stat opened;
        if (data >= 0 && (fstat(data, &opened) != 0 || !Same(opened, status))) {
            close(data);
            data = -1;
        }
    }

    // Owner first: changing the owner clears set-id bits that the mode then
    // restores.
    if (fchownat(self, "", uid, gid, AT_EMPTY_PATH) != 0) {
        // Not privileged: the file keeps the restorer's ownership.
    }
    if (!link) {
        // Ignored like every attribute failure.
        if (data >= 0 ? fchmod(data, mode & 07777) != 0
                      : fchmodat(dir, name, mode & 07777, AT_SYMLINK_NOFOLLOW) != 0) {
        }
    }
    SetTimes(dir, name, attributes);

    uint32_t flags = ld32(attributes + kAttrFlags);
    if (flags != 0 && data >= 0) {
        int value = int(flags);
        ioctl(data, FS_IOC_SETFLAGS, &value);
    }
    if (data >= 0) close(data);
    close(self);
}

} // namespace hostdir

void UnPackAttr(const char* path, const uint8_t* attributes) {
    // A file this driver made got them on its descriptor when it was closed.
    if (!attributes || hostdir::AttributedAtClose(path)) return;
    HostPlace place(path);
    if (place.ok()) hostdir::UnPackAttrAt(place.dir(), place.name(), attributes);
}

void UnPackTimes(const char* path, const uint8_t* attributes) {
    if (!attributes) return;
    HostPlace place(path);
    if (place.ok()) SetTimes(place.dir(), place.name(), attributes);
}

uint32_t HostAddEntrySize(uint32_t size, const FsEntry* entry, uint16_t blockSize) {
    if (size == 0) size = 24;
    if (!entry || blockSize == 0) return size;
    size_t nameLength = entry->name ? strnlen(entry->name, kPathMax) : 0;
    uint32_t record = uint32_t((nameLength + 8 + 3) & ~size_t(3));
    uint32_t used = size % blockSize;
    if (used != 0 && used + record > blockSize) size += blockSize - used;
    return size + record;
}

} // namespace vk
