// Host files and directories, the program's argument line, and this
// edition's answers to boot and power requests.
#include "platform/hostfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/types.h"
#include "platform/util.h"

namespace vk {

namespace {

std::string arguments;
bool haveArguments = false;

} // namespace

void SetArguments(int argc, char** argv) {
    arguments.clear();
    haveArguments = false;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) arguments += ' ';
        arguments += argv[i];
        haveArguments = true;
    }
}

const char* GetArguments() {
    return haveArguments ? arguments.c_str() : nullptr;
}

void NormalizeName(char* path) {
    for (; *path; ++path)
        if (*path == '\\') *path = '/';
}

namespace {

// The normalised copy of a name; the caller's text is left as it was.
std::string Normalized(const char* path) {
    std::string copy(path);
    for (char& c : copy)
        if (c == '\\') c = '/';
    return copy;
}

} // namespace

namespace {
void NoteWrittenDirectoryOf(const char* path);
} // namespace

DosFile CreateDosFile(const char* path) {
    DosFile f = std::fopen(Normalized(path).c_str(), "wb+");
    // The new name lives in its directory, which the flush must cover too.
    if (f) NoteWrittenDirectoryOf(path);
    if (!f && (errno == ENOSPC || errno == EDQUOT)) NoteDiskFull();
    return f;
}

DosFile OpenDosFile(const char* path, bool write) {
    return std::fopen(Normalized(path).c_str(), write ? "rb+" : "rb");
}

uint32_t TellDosFile(DosFile f) {
    long position = std::ftell(f);
    return position < 0 ? 0 : uint32_t(position);
}

int SeekDosFile(DosFile f, uint32_t offset) {
    return std::fseek(f, long(offset), SEEK_SET) == 0 ? 0 : -1;
}

uint32_t SizeofDosFile(DosFile f) {
    long position = std::ftell(f);
    if (position < 0 || std::fseek(f, 0, SEEK_END) != 0) return 0;
    long size = std::ftell(f);
    std::fseek(f, position, SEEK_SET);
    if (size < 0) return 0;
    return size > long(UINT32_MAX) ? UINT32_MAX : uint32_t(size);
}

uint16_t ReadDosFile(DosFile f, void* buffer, uint16_t length) {
    return uint16_t(std::fread(buffer, 1, length, f));
}

namespace {

constexpr uint32_t kWriteBehindStep = 8u << 20;

// Bytes written to each open host file since its last write-back request,
// by descriptor; files with higher descriptors simply get no early requests.
constexpr int kWriteBehindFiles = 256;
uint32_t unflushed[kWriteBehindFiles];

} // namespace

void WriteBehind(int fd, uint32_t* pending, size_t written) {
    *pending += uint32_t(std::min<size_t>(written, kWriteBehindStep));
    if (*pending < kWriteBehindStep) return;
    *pending = 0;
    // The whole file: pages already on their way are skipped, so each
    // request covers what was written since the one before, wherever the
    // writes went. Only a hint; a failure changes nothing.
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

namespace {

// The files and directories this run wrote to, each with a descriptor of
// its own (never O_PATH), so that the flush at the end waits for this run's
// writes only, not for whatever else the host has pending. A host file
// system on which more were written than are kept (a restore of many small
// files) is flushed whole instead, which is then cheaper than one call per
// file.
constexpr int kWrittenFileSystems = 16;
constexpr int kWrittenFiles = 64;
struct WrittenFileSystem {
    dev_t device;
    int fd;     // any descriptor on it, for syncfs
    bool whole; // more written on it than kept: syncfs
};
struct WrittenFile {
    dev_t device;
    ino_t inode;
    int fd;
};
WrittenFileSystem written[kWrittenFileSystems];
int writtenCount = 0;
WrittenFile files[kWrittenFiles];
int fileCount = 0;

// A descriptor of the same file or directory that can be flushed.
int OwnDescriptor(int fd, const struct stat& status) {
    // A directory may be an O_PATH descriptor, which cannot be flushed: its
    // own "." is opened instead.
    return S_ISDIR(status.st_mode) ? openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                   : fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

WrittenFileSystem* FileSystemOf(int fd, const struct stat& status) {
    for (int i = 0; i < writtenCount; ++i)
        if (written[i].device == status.st_dev) return &written[i];
    int own = OwnDescriptor(fd, status);
    if (own < 0) return nullptr;
    if (writtenCount == kWrittenFileSystems) {
        // More file systems than kept: the oldest is flushed now, whole.
        syncfs(written[0].fd);
        close(written[0].fd);
        std::memmove(written, written + 1, sizeof written[0] * (kWrittenFileSystems - 1));
        --writtenCount;
        // Its files are on stable storage now: their descriptors go too.
        int kept = 0;
        for (int i = 0; i < fileCount; ++i) {
            bool elsewhere = false;
            for (int j = 0; j < writtenCount; ++j)
                elsewhere |= files[i].device == written[j].device;
            if (elsewhere)
                files[kept++] = files[i];
            else
                close(files[i].fd);
        }
        fileCount = kept;
    }
    written[writtenCount] = WrittenFileSystem{status.st_dev, own, false};
    return &written[writtenCount++];
}
// The round in which each open host file's descriptor was remembered.
uint32_t round = 1;
uint32_t noted[kWriteBehindFiles];

} // namespace

uint64_t NoteWrittenFileSystem(int fd) {
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) return 0;
    WrittenFileSystem* fs = FileSystemOf(fd, status);
    if (fs == nullptr || fs->whole) return status.st_dev;
    for (int i = 0; i < fileCount; ++i)
        if (files[i].device == status.st_dev && files[i].inode == status.st_ino)
            return status.st_dev;
    int own = fileCount < kWrittenFiles ? OwnDescriptor(fd, status) : -1;
    if (own < 0)
        fs->whole = true;
    else
        files[fileCount++] = WrittenFile{status.st_dev, status.st_ino, own};
    return status.st_dev;
}

void NoteNewFile(int fd, uint64_t device) {
    WrittenFileSystem* fs = nullptr;
    for (int i = 0; i < writtenCount; ++i)
        if (written[i].device == device) fs = &written[i];
    if (fs == nullptr) {
        NoteWrittenFileSystem(fd);
        return;
    }
    if (fs->whole) return;
    int own = fileCount < kWrittenFiles ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (own < 0)
        fs->whole = true;
    else
        files[fileCount++] = WrittenFile{dev_t(device), 0, own};
}

namespace {

void NoteWrittenDirectoryOf(const char* path) {
    std::string dir = Normalized(path);
    size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    NoteWrittenFileSystem(fd);
    close(fd);
}

} // namespace

int SyncWrittenFileSystems() {
    int result = 0;
    for (int i = 0; i < fileCount; ++i) {
        bool whole = false;
        for (int j = 0; j < writtenCount; ++j)
            whole |= written[j].whole && written[j].device == files[i].device;
        // fsync, not fdatasync: restored files' modes and times are part of
        // what was written, and a directory's entries need it.
        if (!whole && fsync(files[i].fd) != 0) result = 1;
        close(files[i].fd);
    }
    fileCount = 0;
    for (int i = 0; i < writtenCount; ++i) {
        if (written[i].whole && syncfs(written[i].fd) != 0) result = 1;
        close(written[i].fd);
    }
    writtenCount = 0;
    if (++round == 0) round = 1;
    return result;
}

uint32_t WrittenFileSystemsRound() {
    return round;
}

uint16_t WriteDosFile(DosFile f, const void* data, uint16_t length) {
    size_t done = std::fwrite(data, 1, length, f);
    if (done < length && (errno == ENOSPC || errno == EDQUOT)) NoteDiskFull();
    int fd = fileno(f);
    if (fd >= 0 && fd < kWriteBehindFiles && noted[fd] != round) {
        noted[fd] = round;
        NoteWrittenFileSystem(fd);
    }
    if (fd >= 0 && fd < kWriteBehindFiles) {
        // A request is due: what stdio still holds must reach the kernel
        // first, or it would not be written back.
        bool due = unflushed[fd] + done >= kWriteBehindStep;
        if (!due || std::fflush(f) == 0) WriteBehind(fd, &unflushed[fd], done);
    }
    return uint16_t(done);
}

uint32_t ReadDosFileAt(DosFile f, void* buffer, uint32_t length, uint32_t offset) {
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = pread(fileno(f), out + done, length - done, off_t(offset) + done);
        if (n <= 0) break;
        done += uint32_t(n);
    }
    return done;
}

uint32_t WriteDosFileAt(DosFile f, const void* data, uint32_t length, uint32_t offset) {
    const auto* in = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = pwrite(fileno(f), in + done, length - done, off_t(offset) + done);
        if (n <= 0) break;
        done += uint32_t(n);
    }
    return done;
}

int CloseDosFile(DosFile f) {
    if (!f) return -1;
    int fd = fileno(f);
    if (fd >= 0 && fd < kWriteBehindFiles) {
        unflushed[fd] = 0;
        noted[fd] = 0;
    }
    return std::fclose(f) == 0 ? 0 : -1;
}

int DeleteDosFile(const char* path) {
    return unlink(Normalized(path).c_str()) == 0 ? 0 : -1;
}

int CreateDosDir(const char* path) {
    return mkdir(Normalized(path).c_str(), 0755) == 0 ? 0 : -1;
}

int RemoveDosDir(const char* path) {
    return rmdir(Normalized(path).c_str()) == 0 ? 0 : -1;
}

bool SameHostFile(const char* a, const char* b) {
    struct stat first, second;
    if (stat(Normalized(a).c_str(), &first) != 0 || stat(Normalized(b).c_str(), &second) != 0)
        return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool IsHostRoot(const char* path) {
    return SameHostFile(path, "/");
}

struct DosDir {
    dev_t device;
    ino_t inode;
    DIR* stream;
    std::string path;
};

DosDir* OpenDosDir(const char* path) {
    std::string name = Normalized(path);
    struct stat status;
    if (lstat(name.c_str(), &status) != 0) return nullptr;
    DIR* stream = opendir(name.c_str());
    if (!stream) return nullptr;
    return new DosDir{status.st_dev, status.st_ino, stream, name};
}

namespace {

// Fills entry for name (whose status is known), listed in a directory of
// the given device; the directory path is already in entry->path, prefix
// bytes long, and the name fits after it.
void FillDosEntry(FsEntry* entry, size_t prefix, const char* name, const std::string& full,
                  const struct stat& status, dev_t device) {
    std::memcpy(entry->path + prefix, name, std::strlen(name) + 1);
    entry->name = entry->path + prefix;
    entry->size = status.st_size > off_t(UINT32_MAX) ? UINT32_MAX : uint32_t(status.st_size);
    entry->location1 = 0;
    if (S_ISDIR(status.st_mode)) {
        entry->kind = kKindDir;
        entry->location1 = status.st_dev != device ? 1 : 0;
    } else if (S_ISREG(status.st_mode)) {
        entry->kind = kKindFile;
    } else if (S_ISLNK(status.st_mode)) {
        entry->kind = kKindFile;
        if (status.st_size <= kShortLinkMax) entry->size = 0;
    } else {
        entry->kind = kKindFile;
        entry->size = 0;
    }
    LXDOSPackAttr(entry->attributes, &status, full.c_str());
}

} // namespace

int ReadDosDir(DosDir* handle, FsEntry* entry) {
    // The caller has placed the directory path in entry->path; the name goes
    // right after it.
    size_t prefix = strnlen(entry->path, kPathMax - 1);
    entry->path[prefix] = '\0';
    for (;;) {
        struct dirent* d = readdir(handle->stream);
        if (!d) return 1;
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
        size_t length = std::strlen(d->d_name);
        if (prefix + length >= size_t(kPathMax)) {
            // The full name would not fit in the entry: report and skip it
            // rather than hand out a cut name that names another file.
            Log("WARNING: Path too long, skipped: ");
            Log(d->d_name);
            Log("\r\n");
            continue;
        }
        struct stat status;
        // One status query, relative to the directory being listed. An
        // entry that vanished since the directory was read is skipped; the
        // rest of the directory is still listed.
        if (fstatat(dirfd(handle->stream), d->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        std::string full = handle->path;
        if (full.empty() || full.back() != '/') full += '/';
        full += d->d_name;
        FillDosEntry(entry, prefix, d->d_name, full, status, handle->device);
        return 0;
    }
}

int StatDosEntry(FsEntry* entry, const char* name) {
    size_t prefix = strnlen(entry->path, kPathMax - 1);
    entry->path[prefix] = '\0';
    size_t length = std::strlen(name);
    if (length == 0 || prefix + length >= size_t(kPathMax) || std::strchr(name, '/') ||
        std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return 1;
    std::string dir = Normalized(entry->path);
    struct stat dirStatus, status;
    if (lstat(dir.c_str(), &dirStatus) != 0 || !S_ISDIR(dirStatus.st_mode)) return 1;
    std::string full = dir;
    if (full.empty() || full.back() != '/') full += '/';
    full += name;
    if (lstat(full.c_str(), &status) != 0) return 1;
    FillDosEntry(entry, prefix, name, full, status, dirStatus.st_dev);
    return 0;
}

void CloseDosDir(DosDir* handle) {
    if (!handle) return;
    if (handle->stream) closedir(handle->stream);
    delete handle;
}

uint32_t EncodeDevice(uint64_t device) {
    uint32_t major = ::major(device), minor = ::minor(device);
    return (minor & 0xFF) | ((major & 0xFFF) << 8) | ((minor & ~0xFFu) << 12);
}

uint64_t DecodeDevice(uint32_t packed) {
    uint32_t major = (packed & 0xFFF00) >> 8;
    uint32_t minor = (packed & 0xFF) | ((packed >> 12) & 0xFFF00);
    return makedev(major, minor);
}

void LXDOSPackAttr(uint8_t* attributes, const struct ::stat* status, const char* path) {
    std::memset(attributes, 0, kPackedAttrSize);
    st16(attributes + kAttrMode, uint16_t(status->st_mode));
    st16(attributes + kAttrUid, uint16_t(status->st_uid));
    st32(attributes + kAttrAtime, uint32_t(status->st_atime));
    st32(attributes + kAttrMtime, uint32_t(status->st_mtime));
    st32(attributes + kAttrCtime, uint32_t(status->st_ctime));
    st16(attributes + kAttrGid, uint16_t(status->st_gid));
    st32(attributes + kAttrSize, uint32_t(status->st_size));
    if (S_ISLNK(status->st_mode)) {
        if (status->st_size <= kShortLinkMax) {
            char* target = reinterpret_cast<char*>(attributes + kAttrExtra);
            ssize_t n = readlink(path, target, kShortLinkMax);
            target[n > 0 ? n : 0] = '\0';
        }
    } else if (S_ISCHR(status->st_mode) || S_ISBLK(status->st_mode) || S_ISFIFO(status->st_mode) ||
               S_ISSOCK(status->st_mode)) {
        st32(attributes + kAttrExtra, EncodeDevice(status->st_rdev));
    }
}

namespace {

// Where the machine should go once the program has ended. The network boot
// image's /init makes the directory, reads the word after the program ends
// and powers the machine off or restarts it; elsewhere the directory does
// not exist and nothing is written.
void TellEndRequest(const char* word) {
    int fd = open("/run/vesklor/end", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return;
    ssize_t n = write(fd, word, std::strlen(word));
    (void)n;
    close(fd);
}

} // namespace

[[noreturn]] void TFtpReboot() {
    TellEndRequest("reboot\n");
    FatalError("TFTP boot cancelled (Linux version)");
}

[[noreturn]] void RebootFromSect() {
    TellEndRequest("reboot\n");
    FatalError("Boot cancelled (Linux version)");
}

void SetupRamDisk() {
    Log("Ramdisk install cancelled (Linux version)\r\n");
}

[[noreturn]] void Shutdown() {
    TellEndRequest("poweroff\n");
    FatalError("Power Off cancelled (Linux version)");
}

} // namespace vk
