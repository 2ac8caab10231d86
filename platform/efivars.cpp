// The firmware's variables through efivarfs (see efivars.h).
#include "platform/efivars.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/types.h"

namespace vk {

namespace {

constexpr long kEfivarfsMagic = 0xde5e81e4;
constexpr char kEfivarfs[] = "/sys/firmware/efi/efivars";
// Made by the network boot image's /init before it starts the program.
constexpr char kBootImageMarker[] = "/run/vesklor";
constexpr char kSecureBoot[] = "SecureBoot";
constexpr char kGlobalGuid[] = "8be4df61-93ca-11d2-aa0d-00e098032b8c";
// A variable larger than this is no boot variable; reads stop there.
constexpr size_t kMaxVariable = 64 * 1024;

bool OnBootImage() {
    struct stat st {};
    return lstat(kBootImageMarker, &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsEfivarfs(const char* path) {
    struct statfs fs {};
    return statfs(path, &fs) == 0 && long(fs.f_type) == kEfivarfsMagic;
}

} // namespace

std::vector<std::string> EfiVariables::Names(const std::string& guid) const {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    if (!d) return names;
    const std::string suffix = "-" + guid;
    while (dirent* e = readdir(d)) {
        std::string file = e->d_name;
        if (file.size() > suffix.size() &&
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(file.substr(0, file.size() - suffix.size()));
    }
    closedir(d);
    return names;
}

std::optional<EfiVariables::Value> EfiVariables::Read(const std::string& name,
                                                      const std::string& guid) const {
    int fd = open(Path(name, guid).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    std::vector<uint8_t> all;
    uint8_t chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        all.insert(all.end(), chunk, chunk + n);
        if (all.size() > kMaxVariable) break;
    }
    close(fd);
    if (all.size() < 4 || all.size() > kMaxVariable) return std::nullopt;
    Value v;
    v.attributes = ld32(all.data());
    v.bytes.assign(all.begin() + 4, all.end());
    return v;
}

bool EfiVariables::Write(const std::string& name, const std::string& guid, uint32_t attributes,
                         std::span<const uint8_t> value, std::string* why) const {
    const std::string path = Path(name, guid);
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        // efivarfs makes existing variables immutable; a write needs the
        // flag off. Other file systems may not know the flags: no matter.
        int flags = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL)) {
            flags &= ~FS_IMMUTABLE_FL;
            ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
    } else if (errno == ENOENT) {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    }
    if (fd < 0) {
        *why = name + ": " + std::strerror(errno);
        return false;
    }
    // efivarfs takes a variable in one write: attributes and value together.
    std::vector<uint8_t> record(4 + value.size());
    st32(record.data(), attributes);
    std::memcpy(record.data() + 4, value.data(), value.size());
    ssize_t n = write(fd, record.data(), record.size());
    int error = errno;
    // A stand-in directory keeps longer old contents unless cut; efivarfs
    // replaces the whole variable by itself.
    struct statfs fs {};
    if (n == ssize_t(record.size()) && fstatfs(fd, &fs) == 0 && long(fs.f_type) != kEfivarfsMagic &&
        ftruncate(fd, off_t(record.size())) != 0) {
        error = errno;
        n = -1;
    }
    if (close(fd) != 0 && n == ssize_t(record.size())) {
        error = errno;
        n = -1;
    }
    if (n != ssize_t(record.size())) {
        *why = name + ": " + (n < 0 ? std::strerror(error) : "short write");
        return false;
    }
    return true;
}

std::string FirmwareVariableDirectory() {
    if (!OnBootImage() || !IsEfivarfs(kEfivarfs)) return "";
    return kEfivarfs;
}

std::string FirmwareKind() {
    if (!OnBootImage()) return "";
    struct stat st {};
    if (stat("/sys/firmware/efi", &st) != 0) return "BIOS";
    std::string dir = FirmwareVariableDirectory();
    if (dir.empty()) return "UEFI";
    auto sb = EfiVariables(dir).Read(kSecureBoot, kGlobalGuid);
    return sb && sb->bytes.size() == 1 && sb->bytes[0] == 1 ? "UEFI Secure Boot" : "UEFI";
}

} // namespace vk
