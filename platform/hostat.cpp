// Host directories reached one component at a time without following
// symbolic links.
#include "platform/hostat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace vk {

namespace {

// The directories of the paths opened so far, each relative to the one
// before it, kept so that work on one directory after another below the
// same target opens the directories above it once rather than for every
// entry. A kept directory is used again only while its name still names
// that very directory (same device and inode, not a link), so a name that
// was replaced meanwhile is opened anew, and refused if it is now a link.
struct Level {
    std::string name;
    int fd;
    dev_t device;
    ino_t inode;
};

struct Chain {
    int base = -1; // "/" or the current directory
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<Level> levels;
};

Chain fromCurrent, fromRoot;

bool Same(const struct stat& status, dev_t device, ino_t inode) {
    return status.st_dev == device && status.st_ino == inode;
}

void Cut(Chain& chain, size_t keep) {
    while (chain.levels.size() > keep) {
        close(chain.levels.back().fd);
        chain.levels.pop_back();
    }
}

// The chain's starting directory; the current directory may have changed
// since it was opened, which drops everything kept below it.
int Base(Chain& chain, const char* name) {
    struct stat status;
    if (chain.base >= 0) {
        if (stat(name, &status) == 0 && Same(status, chain.device, chain.inode)) return chain.base;
        Cut(chain, 0);
        close(chain.base);
        chain.base = -1;
    }
    int fd = open(name, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, &status) != 0) {
        close(fd);
        return -1;
    }
    chain.base = fd;
    chain.device = status.st_dev;
    chain.inode = status.st_ino;
    return fd;
}

// Level i of the chain, below the directory at: the kept one while it still
// stands under its name, otherwise opened now.
int Enter(Chain& chain, size_t i, int at, const std::string& name) {
    struct stat status;
    if (i < chain.levels.size()) {
        const Level& level = chain.levels[i];
        if (level.name == name && fstatat(at, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(status.st_mode) && Same(status, level.device, level.inode))
            return level.fd;
        Cut(chain, i);
    }
    int fd = openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    if (fstat(fd, &status) != 0 || !S_ISDIR(status.st_mode)) {
        close(fd);
        return -1;
    }
    chain.levels.push_back(Level{name, fd, status.st_dev, status.st_ino});
    return fd;
}

bool Separator(char c) {
    return c == '/' || c == '\\';
}

} // namespace

int OpenHostDir(const char* path) {
    bool absolute = Separator(path[0]);
    Chain& chain = absolute ? fromRoot : fromCurrent;
    int at = Base(chain, absolute ? "/" : ".");
    if (at < 0) return -1;
    size_t depth = 0;
    const char* p = path;
    while (*p) {
        while (Separator(*p))
            ++p;
        const char* end = p;
        while (*end && !Separator(*end))
            ++end;
        std::string name(p, size_t(end - p));
        p = end;
        if (name.empty() || name == ".") continue;
        at = Enter(chain, depth++, at, name);
        if (at < 0) return -1;
    }
    return fcntl(at, F_DUPFD_CLOEXEC, 0);
}

HostPlace::HostPlace(const char* path) {
    size_t length = strnlen(path, kPathMax - 1);
    while (length > 0 && Separator(path[length - 1]))
        --length;
    size_t start = length;
    while (start > 0 && !Separator(path[start - 1]))
        --start;
    size_t nameLength = length - start;
    if (nameLength == 0 || (nameLength == 1 && path[start] == '.') ||
        (nameLength == 2 && path[start] == '.' && path[start + 1] == '.'))
        return;
    std::memcpy(name_, path + start, nameLength);
    name_[nameLength] = '\0';
    std::string directory(path, start);
    dir_ = OpenHostDir(directory.c_str());
}

HostPlace::~HostPlace() {
    if (dir_ >= 0) close(dir_);
}

} // namespace vk
