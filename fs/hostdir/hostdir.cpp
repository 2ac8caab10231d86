// The host directory driver's table, its state record and its directory
// operations.
#include "hostdir/hostdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "disk/disk.h"
#include "hostdir_internal.h"
#include "platform/hostat.h"
#include "platform/hostfile.h"
#include "platform/types.h"
#include "platform/util.h"

namespace vk {

namespace hostdir {

namespace {

// A directory handle: its path (always ending in "/"), the host stream (none
// for a mount point, which lists as empty) and the directory's descriptor,
// relative to which its entries are made without following links.
struct DirHandle {
    char path[kPathMax];
    DosDir* dir;
    bool empty;
    int fd = -1;
    uint32_t written = 0; // the round its file system was remembered in for the flush
    uint64_t device = 0;  // of that file system
};

DirHandle* AsDir(FsDirHandle* handle) {
    return reinterpret_cast<DirHandle*>(handle);
}

// The root device's two boot sectors cannot be read everywhere (containers,
// overlay or network roots, no root rights, devices not probed): the tree
// is then archived with an empty boot area and a warning instead of failing.
uint16_t GetNumBootSectors(FsState&, FsEntry*) {
    uint8_t probe[1024];
    if (ReadRootDeviceBootSect(probe) == 0) return 2;
    Log("WARNING: Cannot read the boot sectors of the root device, the boot area stays empty\r\n");
    return 0;
}

Status ReadBootSectors(FsState&, FsEntry*, uint16_t first, uint16_t count, uint8_t* buffer) {
    if (first != 0 || count != 2) return 1;
    return ReadRootDeviceBootSect(buffer) == 0 ? 0 : 1;
}

Status InitFsSpecific(FsState&) {
    return 0;
}
Status FlushFsSpecific(FsState&) {
    return 0;
}

Status OpenDir(FsState&, FsEntry* entry, FsDirHandle** dir) {
    auto* handle = new DirHandle{};
    if (!entry) {
        std::strcpy(handle->path, "/");
    } else if (entry->path[0] == '\0') {
        std::strcpy(handle->path, "./");
        entry->start = 0;
        entry->location1 = 0;
    } else {
        size_t length = strnlen(entry->path, kPathMax);
        bool slash = length > 0 && entry->path[length - 1] == '/';
        if (length + (slash ? 0 : 1) >= size_t(kPathMax)) {
            delete handle;
            return 1;
        }
        std::memcpy(handle->path, entry->path, length);
        if (!slash) handle->path[length++] = '/';
        handle->path[length] = '\0';
        if (entry->location1 == 1) {
            // A mount point: shown as an empty directory, never entered.
            handle->empty = true;
            *dir = reinterpret_cast<FsDirHandle*>(handle);
            return 0;
        }
    }
    handle->fd = OpenHostDir(handle->path);
    handle->dir = handle->fd >= 0 ? OpenDosDir(handle->path) : nullptr;
    if (!handle->dir) {
        if (handle->fd >= 0) close(handle->fd);
        delete handle;
        return 1;
    }
    *dir = reinterpret_cast<FsDirHandle*>(handle);
    return 0;
}

Status NextDirEntry(FsState&, FsDirHandle* dir, FsEntry* entry) {
    DirHandle* handle = AsDir(dir);
    if (!handle || handle->empty || !handle->dir) return 1;
    std::strcpy(entry->path, handle->path);
    entry->name = entry->path + std::strlen(entry->path);
    entry->start = 0;
    entry->location2 = 0;
    entry->location3 = 0;
    return ReadDosDir(handle->dir, entry) == 0 ? 0 : 1;
}

Status GetFileInfo(FsState&, FsEntry* entry) {
    if (entry->name && entry->name[0] != '\0') {
        // A listing gives a file of 4 GB or more the largest size entries
        // carry; its real size says whether it is one.
        struct stat status;
        if (entry->kind == kKindFile && entry->size == UINT32_MAX &&
            lstat(entry->path, &status) == 0 && S_ISREG(status.st_mode) &&
            uint64_t(status.st_size) > UINT32_MAX)
            return kFsTooLarge;
        return 0;
    }
    // The root of the host: "/" itself.
    struct stat status;
    if (lstat("/", &status) != 0) return 1;
    entry->kind = kKindDir;
    entry->size = uint32_t(status.st_size);
    LXDOSPackAttr(entry->attributes, &status, "/");
    return 0;
}

uint32_t AddEntrySize(uint32_t size, FsEntry* entry, uint16_t blockSize) {
    return HostAddEntrySize(size, entry, blockSize);
}

// Fills a new entry's path from the directory handle and the name, which
// must be one component of that directory ("\" separates host paths too).
bool StartEntry(DirHandle* handle, const char* name, FsEntry* entry, uint8_t kind) {
    if (handle->written != WrittenFileSystemsRound()) {
        handle->written = WrittenFileSystemsRound();
        handle->device = NoteWrittenFileSystem(handle->fd);
    }
    if (name[0] == '\0' || std::strpbrk(name, "/\\") || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0)
        return false;
    if (!JoinPath(entry->path, handle->path, name)) return false;
    entry->name = entry->path + std::strlen(handle->path);
    entry->kind = kind;
    entry->size = 0;
    entry->start = 0;
    entry->location1 = entry->location2 = entry->location3 = 0;
    return true;
}

// Entries are made only under names that are free: a name that stands
// already gives kFsExists, and the caller decides what becomes of it.
Status Made(int result) {
    if (result == 0) return 0;
    return errno == EEXIST ? kFsExists : 1;
}

Status CreateFile(FsState&, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                  FsEntry* entry) {
    DropCreated();
    DirHandle* handle = AsDir(dir);
    if (!handle || handle->empty || !StartEntry(handle, name, entry, kKindFile)) return 1;
    uint16_t mode = attributes ? ld16(attributes + kAttrMode) : 0;
    uint16_t type = mode & 0xF000;
    if (!attributes || type == 0x8000) {
        int fd =
            openat(handle->fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return Made(-1);
        NoteNewFile(fd, handle->device);
        // Kept open for its content; it gets its attributes on this
        // descriptor once the content is written.
        if (attributes) {
            std::memcpy(entry->attributes, attributes, kPackedAttrSize);
        } else {
            std::memset(entry->attributes, 0, sizeof entry->attributes);
        }
        KeepCreated(fd, entry->path, attributes);
        return 0;
    } else if (type == 0xA000) {
        uint32_t targetLength = ld32(attributes + kAttrSize);
        if (targetLength > uint32_t(kShortLinkMax)) {
            // The target arrives later as the file's content; the name must
            // be free for it as for any other entry.
            struct stat status;
            if (fstatat(handle->fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0) return kFsExists;
            entry->start = targetLength;
        } else {
            char target[kShortLinkMax + 1];
            const char* packed = reinterpret_cast<const char*>(attributes + kAttrExtra);
            size_t n = strnlen(packed, kShortLinkMax);
            std::memcpy(target, packed, n);
            target[n] = '\0';
            if (symlinkat(target, handle->fd, name) != 0) return Made(-1);
        }
    } else {
        dev_t device = dev_t(DecodeDevice(ld32(attributes + kAttrExtra)));
        if (mknodat(handle->fd, name, mode, device) != 0) {
            if (errno == EEXIST) return kFsExists;
            // Typically a device node without the privilege to make it: the
            // user is told and the rest of the work goes on.
            Log("WARNING: Cannot create special file ");
            Log(entry->path);
            Log("\r\n");
            return 0;
        }
    }
    if (attributes) {
        std::memcpy(entry->attributes, attributes, kPackedAttrSize);
        if (entry->start == 0) UnPackAttrAt(handle->fd, name, attributes);
    } else {
        std::memset(entry->attributes, 0, sizeof entry->attributes);
    }
    return 0;
}

Status CreateDir(FsState&, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                 FsEntry* entry) {
    DropCreated();
    DirHandle* handle = AsDir(dir);
    if (!handle || handle->empty || !StartEntry(handle, name, entry, kKindDir)) return 1;
    if (mkdirat(handle->fd, name, 0755) != 0) return Made(-1);
    if (attributes) {
        std::memcpy(entry->attributes, attributes, kPackedAttrSize);
        // The directory just made, opened as a directory without following
        // a link, takes them on its descriptor; whatever stands under the
        // name by now is otherwise left to the general path.
        int fd = openat(handle->fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            AttributesOn(fd, attributes);
            close(fd);
        } else {
            UnPackAttrAt(handle->fd, name, attributes);
        }
    } else {
        std::memset(entry->attributes, 0, sizeof entry->attributes);
    }
    return 0;
}

Status CloseDir(FsState&, FsDirHandle* dir) {
    DirHandle* handle = AsDir(dir);
    if (!handle) return 0;
    if (handle->dir) CloseDosDir(handle->dir);
    if (handle->fd >= 0) close(handle->fd);
    delete handle;
    return 0;
}

Status RemoveFile(FsState&, FsEntry* entry) {
    if (entry->kind != kKindFile) return -1;
    DropCreated();
    HostPlace place(entry->path);
    if (place.ok()) NoteWrittenFileSystem(place.dir());
    return place.ok() && unlinkat(place.dir(), place.name(), 0) == 0 ? 0 : 1;
}

Status RemoveDir(FsState&, FsEntry* entry) {
    if (entry->kind != kKindDir) return -1;
    DropCreated();
    ForgetReadDir();
    HostPlace place(entry->path);
    if (place.ok()) NoteWrittenFileSystem(place.dir());
    return place.ok() && unlinkat(place.dir(), place.name(), AT_REMOVEDIR) == 0 ? 0 : 1;
}

} // namespace

bool JoinPath(char* out, const char* directory, const char* name) {
    size_t dirLength = strnlen(directory, kPathMax);
    size_t nameLength = std::strlen(name);
    if (dirLength + nameLength >= size_t(kPathMax)) return false;
    std::memmove(out, directory, dirLength);
    std::memcpy(out + dirLength, name, nameLength + 1);
    return true;
}

} // namespace hostdir

const FsHandler LXDOSHandler = {
    {'E', 'X', 'T', '2'},
    kPackedAttrSize,
    kFsAttrWithSummaries | kFsExclusiveCreate,
    0,
    hostdir::GetNumBootSectors,
    hostdir::ReadBootSectors,
    hostdir::InitFsSpecific,
    hostdir::FlushFsSpecific,
    hostdir::OpenDir,
    hostdir::NextDirEntry,
    hostdir::GetFileInfo,
    hostdir::AddEntrySize,
    hostdir::CreateFile,
    hostdir::CreateDir,
    hostdir::CloseDir,
    hostdir::RemoveFile,
    hostdir::RemoveDir,
    hostdir::OpenFile,
    hostdir::RewriteFile,
    hostdir::ReadFileChunk,
    hostdir::WriteFileChunk,
    hostdir::CloseFile,
    hostdir::AdjustFileSize,
    nullptr,
    nullptr,
    hostdir::FileDescriptor,
    nullptr,
    nullptr,
    nullptr,
};

FsState DosFsState = {
    .state = kStateClean,
    .fda = 0,
    .disk = 0,
    .partition = 0,
    .type = 0,
    .typeName = "HOST",
    .handler = &LXDOSHandler,
    .valid = 1,
};

} // namespace vk
