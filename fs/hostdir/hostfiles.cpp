// File handles of the host directory driver: host files, entries without
// content (devices, FIFOs, sockets, short symbolic links) and long symbolic
// links whose target travels as the file's content.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "hostdir/hostdir.h"
#include "hostdir_internal.h"
#include "platform/hostat.h"
#include "platform/hostfile.h"

namespace vk::hostdir {

namespace {

enum class HandleKind { File, NoContent, Link };

struct FileHandle {
    HandleKind kind;
    DosFile file;
    bool delivered; // a link's target was handed out
};

// One symbolic link at a time is open for reading or pending creation: its
// target text (or expected target length) and, for creation, the directory
// it goes into and its name there.
constexpr size_t kLinkMax = 4096;
struct LinkBuffers {
    bool busy = false;
    char target[kLinkMax]; // reading: the target text
    uint32_t length = 0;   // target length
    int dir = -1;
    char name[kPathMax];
};
LinkBuffers link;

FileHandle* AsFile(FsFileHandle* handle) {
    return reinterpret_cast<FileHandle*>(handle);
}

FsFileHandle* Handle(HandleKind kind, DosFile file = nullptr) {
    return reinterpret_cast<FsFileHandle*>(new FileHandle{kind, file, false});
}

bool TakeLink() {
    if (link.busy) return false;
    link.busy = true;
    link.dir = -1;
    return true;
}

void ReleaseLink() {
    if (link.dir >= 0) close(link.dir);
    link.dir = -1;
    link.busy = false;
}

// The regular file name of dir, opened without following a link and
// without blocking, and checked after opening, in case the name no longer
// holds the regular file it held a moment ago.
DosFile OpenRegular(const HostPlace& place, int flags, const char* mode) {
    int fd =
        openat(place.dir(), place.name(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat opened;
    DosFile f = nullptr;
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
        f = fdopen(fd, mode);
    if (!f) close(fd);
    return f;
}

} // namespace

Status OpenFile(FsEntry* entry, uint32_t* size, FsFileHandle** file) {
    if (entry->start != 0) return 1;
    HostPlace place(entry->path);
    struct stat status;
    if (!place.ok() || fstatat(place.dir(), place.name(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return 1;
    if (S_ISREG(status.st_mode)) {
        DosFile f = OpenRegular(place, O_RDONLY, "rb");
        if (!f) return 1;
        *file = Handle(HandleKind::File, f);
    } else if (S_ISLNK(status.st_mode) && status.st_size > kShortLinkMax) {
        if (!TakeLink()) return 1;
        ssize_t n = readlinkat(place.dir(), place.name(), link.target, kLinkMax);
        if (n < 0 || size_t(n) >= kLinkMax) {
            ReleaseLink();
            return 1;
        }
        link.length = uint32_t(n);
        *file = Handle(HandleKind::Link);
    } else {
        *file = Handle(HandleKind::NoContent);
    }
    *size = entry->size;
    return 0;
}

Status RewriteFile(FsEntry* entry, uint32_t, FsFileHandle** file) {
    HostPlace place(entry->path);
    if (!place.ok()) return 1;
    if (entry->start != 0) {
        // A long symbolic link being restored: the target comes next.
        if (entry->start >= kLinkMax || !TakeLink()) return 1;
        link.dir = dup(place.dir());
        std::strcpy(link.name, place.name());
        link.length = entry->start;
        *file = Handle(HandleKind::Link);
        return 0;
    }
    struct stat status;
    if (fstatat(place.dir(), place.name(), &status, AT_SYMLINK_NOFOLLOW) != 0) return 1;
    if (!S_ISREG(status.st_mode)) {
        *file = Handle(HandleKind::NoContent);
        return 0;
    }
    DosFile f = OpenRegular(place, O_RDWR, "rb+");
    if (!f) return 1;
    // Rewriting starts from an empty file, so that the file ends at the last
    // byte written whatever it held before. A file that is empty already is
    // left alone: truncating it makes ext4 write the whole new content back
    // when it is closed, as it guards files replaced by truncation.
    if (status.st_size > 0 && ftruncate(fileno(f), 0) != 0) {
        CloseDosFile(f);
        return 1;
    }
    *file = Handle(HandleKind::File, f);
    return 0;
}

uint16_t ReadFileChunk(FsFileHandle* handle, uint8_t* buffer) {
    FileHandle* file = AsFile(handle);
    switch (file->kind) {
    case HandleKind::File: return ReadDosFile(file->file, buffer, kChunkMax);
    case HandleKind::NoContent: return 0;
    case HandleKind::Link:
        if (file->delivered) return 0;
        file->delivered = true;
        std::memcpy(buffer, link.target, link.length);
        return uint16_t(link.length);
    }
    return 0;
}

uint16_t WriteFileChunk(FsFileHandle* handle, const uint8_t* data, uint16_t length) {
    FileHandle* file = AsFile(handle);
    switch (file->kind) {
    case HandleKind::File: return WriteDosFile(file->file, data, length);
    case HandleKind::NoContent: return 0;
    case HandleKind::Link: {
        if (file->delivered || length < link.length) return 0;
        std::memcpy(link.target, data, link.length);
        link.target[link.length] = '\0';
        file->delivered = true;
        if (strlen(link.target) != link.length) return 0; // a NUL inside a target
        if (symlinkat(link.target, link.dir, link.name) != 0) return 0;
        return uint16_t(link.length);
    }
    }
    return 0;
}

Status CloseFile(FsFileHandle* handle) {
    FileHandle* file = AsFile(handle);
    if (!file) return 0;
    Status result = 0;
    if (file->kind == HandleKind::File) result = CloseDosFile(file->file) == 0 ? 0 : 1;
    if (file->kind == HandleKind::Link) ReleaseLink();
    delete file;
    return result;
}

Status AdjustFileSize(FsFileHandle* handle, FsEntry* entry, uint32_t newSize) {
    FileHandle* file = AsFile(handle);
    // Host files grow as they are written; a smaller size cuts the file so
    // that it ends at the last byte written.
    if (file && file->kind == HandleKind::File) {
        std::fflush(file->file);
        struct stat status;
        if (fstat(fileno(file->file), &status) == 0 && status.st_size > off_t(newSize)) {
            if (ftruncate(fileno(file->file), off_t(newSize)) != 0) return 1;
        }
    }
    if (entry) entry->size = newSize;
    return 0;
}

} // namespace vk::hostdir
