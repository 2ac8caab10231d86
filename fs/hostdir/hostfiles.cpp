// File handles of the host directory driver: host files, entries without
// content (devices, FIFOs, sockets, short symbolic links) and long symbolic
// links whose target travels as the file's content.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hostdir/hostdir.h"
#include "hostdir_internal.h"
#include "platform/hostat.h"
#include "platform/hostfile.h"
#include "platform/types.h"
#include "platform/util.h"

namespace vk::hostdir {

namespace {

enum class HandleKind { File, NoContent, Link };

// A regular file is read and written straight through its descriptor. A
// file made here gets its attributes on that descriptor just before it is
// closed, once its content is written.
struct FileHandle {
    HandleKind kind;
    int fd = -1;
    bool delivered = false; // a link's target was handed out
    off_t size = 0;         // reading: the size the file had when opened
    off_t done = 0;         // reading: bytes read
    uint32_t unflushed = 0; // writing: bytes since the last write-back request
    bool attributesAtClose = false;
    uint8_t attributes[kPackedAttrSize];
    char path[kPathMax];
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

// The regular file CreateFile made last, still open for writing, kept for
// the RewriteFile that follows it, with the attributes it is to get.
struct Created {
    int fd = -1;
    bool withAttributes = false;
    uint8_t attributes[kPackedAttrSize];
    char path[kPathMax];
};
Created created;

// The path of the file that got its attributes when it was closed, so that
// the attribute pass that follows the close knows it is done.
char attributedPath[kPathMax];

// The directory of the file read last, kept open because the files of one
// directory are read one after another. It was reached without following a
// link, and nothing read through it follows one.
struct ReadDir {
    char path[kPathMax] = {};
    int fd = -1;
};
ReadDir readDir;

FileHandle* AsFile(FsFileHandle* handle) {
    return reinterpret_cast<FileHandle*>(handle);
}

FileHandle* NewHandle(HandleKind kind, int fd = -1) {
    auto* file = new FileHandle{};
    file->kind = kind;
    file->fd = fd;
    return file;
}

FsFileHandle* Handle(FileHandle* file) {
    return reinterpret_cast<FsFileHandle*>(file);
}

FsFileHandle* Handle(HandleKind kind) {
    return Handle(NewHandle(kind));
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
int OpenRegular(int dir, const char* name, int flags, struct stat* opened) {
    int fd = openat(dir, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, opened) == 0 && S_ISREG(opened->st_mode)) return fd;
    close(fd);
    return -1;
}

// The kept reading directory for a path's directory, and the path's last
// component; -1 when the directory cannot be reached.
int ReadPlace(const char* path, const char** name) {
    size_t length = strnlen(path, kPathMax - 1);
    size_t start = length;
    while (start > 0 && path[start - 1] != '/' && path[start - 1] != '\\')
        --start;
    *name = path + start;
    if (start == length || std::strcmp(*name, ".") == 0 || std::strcmp(*name, "..") == 0) return -1;
    if (readDir.fd >= 0 && std::strncmp(readDir.path, path, start) == 0 &&
        readDir.path[start] == '\0')
        return readDir.fd;
    ForgetReadDir();
    char directory[kPathMax];
    std::memcpy(directory, path, start);
    directory[start] = '\0';
    int fd = OpenHostDir(directory);
    if (fd < 0) return -1;
    std::memcpy(readDir.path, directory, start + 1);
    readDir.fd = fd;
    return fd;
}

} // namespace

// Owner, mode, times and ext2 flags on an open regular file or directory.
void AttributesOn(int fd, const uint8_t* attributes) {
    // Owner first: changing the owner clears set-id bits that the mode then
    // restores. Failures are ignored (no privilege to give files away).
    if (fchown(fd, ld16(attributes + kAttrUid), ld16(attributes + kAttrGid)) != 0) {
    }
    if (fchmod(fd, ld16(attributes + kAttrMode) & 07777) != 0) {
    }
    struct timespec times[2] = {};
    times[0].tv_sec = time_t(ld32(attributes + kAttrAtime));
    times[1].tv_sec = time_t(ld32(attributes + kAttrMtime));
    futimens(fd, times);
    uint32_t flags = ld32(attributes + kAttrFlags);
    if (flags != 0) {
        int value = int(flags);
        ioctl(fd, FS_IOC_SETFLAGS, &value);
    }
}

void ForgetReadDir() {
    if (readDir.fd >= 0) close(readDir.fd);
    readDir.fd = -1;
    readDir.path[0] = '\0';
}

void KeepCreated(int fd, const char* path, const uint8_t* attributes) {
    DropCreated();
    created.fd = fd;
    std::strncpy(created.path, path, kPathMax - 1);
    created.path[kPathMax - 1] = '\0';
    created.withAttributes = attributes != nullptr;
    if (attributes) std::memcpy(created.attributes, attributes, kPackedAttrSize);
}

void DropCreated() {
    if (created.fd < 0) return;
    if (created.withAttributes) AttributesOn(created.fd, created.attributes);
    close(created.fd);
    created.fd = -1;
}

bool AttributedAtClose(const char* path) {
    if (attributedPath[0] == '\0' || std::strcmp(attributedPath, path) != 0) return false;
    attributedPath[0] = '\0';
    return true;
}

Status OpenFile(FsState&, FsEntry* entry, uint64_t* size, FsFileHandle** file) {
    DropCreated();
    if (entry->start != 0) return 1;
    const char* name = nullptr;
    int dir = ReadPlace(entry->path, &name);
    if (dir < 0) return 1;
    uint16_t type = ld16(entry->attributes + kAttrMode) & 0xF000;
    struct stat status;
    // A listed regular file is opened at once; the descriptor's own status
    // tells whether it still is one.
    int fd = type == 0x8000 ? OpenRegular(dir, name, O_RDONLY, &status) : -1;
    if (fd < 0 && fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return 1;
    if (fd >= 0 || S_ISREG(status.st_mode)) {
        if (fd < 0 && (fd = OpenRegular(dir, name, O_RDONLY, &status)) < 0) return 1;
        FileHandle* handle = NewHandle(HandleKind::File, fd);
        handle->size = status.st_size;
        *file = Handle(handle);
    } else if (S_ISLNK(status.st_mode) && status.st_size > kShortLinkMax) {
        if (!TakeLink()) return 1;
        ssize_t n = readlinkat(dir, name, link.target, kLinkMax);
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

Status RewriteFile(FsState&, FsEntry* entry, uint32_t, FsFileHandle** file) {
    if (created.fd >= 0 && entry->start == 0 && std::strcmp(created.path, entry->path) == 0) {
        // Just made, empty and open: written straight away.
        FileHandle* handle = NewHandle(HandleKind::File, created.fd);
        handle->attributesAtClose = created.withAttributes;
        std::memcpy(handle->attributes, created.attributes, kPackedAttrSize);
        std::memcpy(handle->path, created.path, kPathMax);
        created.fd = -1;
        *file = Handle(handle);
        return 0;
    }
    DropCreated();
    HostPlace place(entry->path);
    if (!place.ok()) return 1;
    if (entry->start != 0) {
        // A long symbolic link being restored: the target comes next.
        if (entry->start >= kLinkMax || !TakeLink()) return 1;
        link.dir = dup(place.dir());
        NoteWrittenFileSystem(place.dir());
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
    int fd = OpenRegular(place.dir(), place.name(), O_RDWR, &status);
    if (fd < 0) return 1;
    NoteWrittenFileSystem(fd);
    // Rewriting starts from an empty file, so that the file ends at the last
    // byte written whatever it held before. A file that is empty already is
    // left alone: truncating it makes ext4 write the whole new content back
    // when it is closed, as it guards files replaced by truncation.
    if (status.st_size > 0 && ftruncate(fd, 0) != 0) {
        close(fd);
        return 1;
    }
    *file = Handle(NewHandle(HandleKind::File, fd));
    return 0;
}

int FileDescriptor(FsFileHandle* handle) {
    FileHandle* file = AsFile(handle);
    return file && file->kind == HandleKind::File ? file->fd : -1;
}

uint16_t ReadFileChunk(FsState&, FsFileHandle* handle, uint8_t* buffer) {
    FileHandle* file = AsFile(handle);
    switch (file->kind) {
    case HandleKind::File: {
        // Up to a chunk, stopping at the size the file had when opened
        // rather than asking the kernel for an end it already told.
        uint32_t got = 0;
        while (got < kChunkMax && file->done < file->size) {
            ssize_t n = read(file->fd, buffer + got, kChunkMax - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += uint32_t(n);
            file->done += n;
        }
        return uint16_t(got);
    }
    case HandleKind::NoContent: return 0;
    case HandleKind::Link:
        if (file->delivered) return 0;
        file->delivered = true;
        std::memcpy(buffer, link.target, link.length);
        return uint16_t(link.length);
    }
    return 0;
}

uint16_t WriteFileChunk(FsState&, FsFileHandle* handle, const uint8_t* data, uint16_t length) {
    FileHandle* file = AsFile(handle);
    switch (file->kind) {
    case HandleKind::File: {
        uint32_t put = 0;
        while (put < length) {
            ssize_t n = write(file->fd, data + put, length - put);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == ENOSPC || errno == EDQUOT)) NoteDiskFull();
            if (n <= 0) break;
            put += uint32_t(n);
        }
        WriteBehind(file->fd, &file->unflushed, put);
        return uint16_t(put);
    }
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

Status CloseFile(FsState&, FsFileHandle* handle) {
    FileHandle* file = AsFile(handle);
    if (!file) return 0;
    Status result = 0;
    if (file->kind == HandleKind::File) {
        if (file->attributesAtClose) {
            AttributesOn(file->fd, file->attributes);
            std::memcpy(attributedPath, file->path, kPathMax);
        }
        result = close(file->fd) == 0 ? 0 : 1;
    }
    if (file->kind == HandleKind::Link) ReleaseLink();
    delete file;
    return result;
}

Status AdjustFileSize(FsState&, FsFileHandle* handle, FsEntry* entry, uint32_t newSize) {
    FileHandle* file = AsFile(handle);
    // Host files grow as they are written; a smaller size cuts the file so
    // that it ends at the last byte written.
    if (file && file->kind == HandleKind::File) {
        struct stat status;
        if (fstat(file->fd, &status) == 0 && status.st_size > off_t(newSize)) {
            if (ftruncate(file->fd, off_t(newSize)) != 0) return 1;
        }
    }
    if (entry) entry->size = newSize;
    return 0;
}

} // namespace vk::hostdir
