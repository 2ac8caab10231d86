// Opening a requested name inside the served tree (see names.h). The kernel
// resolves the name with RESOLVE_BENEATH, so that no link, ".." or mount
// crossing can reach outside the root; the name is also checked here, so
// that the refusal says why.
#include "names.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vks {

int OpenBeneath(int root, const std::string& requested, uint64_t* size, std::string& why) {
    // Names written the DOS way (backslashes) mean the same path.
    std::string name = requested;
    for (char& c : name)
        if (c == '\\') c = '/';
    // A name from the root ("/grub/grub.cfg", as GRUB asks) means the same
    // path below the served tree, as TFTP servers that serve one directory
    // take it.
    size_t skip = name.find_first_not_of('/');
    name.erase(0, skip == std::string::npos ? name.size() : skip);
    if (name.empty()) {
        why = "empty name";
        return -1;
    }
    size_t start = 0;
    for (;;) {
        size_t end = name.find('/', start);
        std::string part = name.substr(start, end == std::string::npos ? end : end - start);
        if (part == "..") {
            why = "\"..\" in the name";
            return -1;
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd = int(syscall(SYS_openat2, root, name.c_str(), &how, sizeof how));
    if (fd < 0) {
        why = errno == EXDEV                        ? "leads outside the root"
              : errno == ENOENT || errno == ENOTDIR ? "not found"
                                                    : std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        why = "not a regular file";
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *size = uint64_t(st.st_size);
    return fd;
}

} // namespace vks
