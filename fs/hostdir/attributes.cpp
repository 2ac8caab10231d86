// Packed attributes applied to host paths, and the ext2 directory-size rule
// that host directories present.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "hostdir/hostdir.h"
#include "platform/hostfile.h"
#include "platform/types.h"

namespace vk {

void UnPackAttr(const char* path, const uint8_t* attributes) {
    if (!attributes) return;
    uint16_t mode = ld16(attributes + kAttrMode);
    uid_t uid = ld16(attributes + kAttrUid);
    gid_t gid = ld16(attributes + kAttrGid);
    struct stat status;
    if (lstat(path, &status) != 0) return;
    bool link = S_ISLNK(status.st_mode);

    // Owner first: changing the owner clears set-id bits that the mode then
    // restores. Nothing here follows a symbolic link, so a restored link can
    // never change the file it points to.
    if (lchown(path, uid, gid) != 0) {
        // Not privileged: the file keeps the restorer's ownership.
    }
    if (!link && chmod(path, mode & 07777) != 0) {
        // Ignored like every attribute failure.
    }
    struct timespec times[2];
    times[0].tv_sec = ld32(attributes + kAttrAtime);
    times[0].tv_nsec = 0;
    times[1].tv_sec = ld32(attributes + kAttrMtime);
    times[1].tv_nsec = 0;
    utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);

    // ext2 inode flags. Only regular files and directories are opened for
    // this: opening a device node or a FIFO may have side effects.
    uint32_t flags = ld32(attributes + kAttrFlags);
    if (flags != 0 && (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))) {
        int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
        if (fd >= 0) {
            int value = int(flags);
            ioctl(fd, FS_IOC_SETFLAGS, &value);
            close(fd);
        }
    }
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
