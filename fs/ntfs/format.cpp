// Quick format: mkntfs lays out a fresh volume of the partition's size in
// a sparse scratch file, and the parts it wrote are copied onto the
// partition. The boot sector names the partition's start and the disk's
// geometry, as Windows' boot code expects.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "ntfs_internal.h"
#include "platform/console.h"
#include "platform/util.h"

extern char** environ;

namespace vk {

namespace {

constexpr uint32_t kCopySectors = 64;

// Runs the program with its arguments and waits for it; its exit status,
// or -1 when it could not be started.
int Run(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Its messages would scribble over the screen: they go nowhere.
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int started = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Copies the data regions of the scratch file onto the partition.
bool CopyWritten(int fd, FsState& part, uint64_t bytes) {
    std::vector<uint8_t> buffer(size_t(kCopySectors) * kSectorSize);
    off_t at = 0;
    while (uint64_t(at) < bytes) {
        off_t data = lseek(fd, at, SEEK_DATA);
        if (data < 0) return errno == ENXIO; // no data after `at`
        off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0) return false;
        uint64_t sector = uint64_t(data) / kSectorSize;
        const uint64_t end = std::min<uint64_t>((uint64_t(hole) + kSectorSize - 1) / kSectorSize,
                                                bytes / kSectorSize);
        while (sector < end) {
            MonitorESC();
            const uint32_t n = uint32_t(std::min<uint64_t>(end - sector, kCopySectors));
            const size_t length = size_t(n) * kSectorSize;
            if (pread(fd, buffer.data(), length, off_t(sector * kSectorSize)) != ssize_t(length))
                return false;
            if (Seek(part, sector) != 0 || WriteSects(part, uint16_t(n), buffer.data()) != 0)
                return false;
            sector += n;
        }
        at = hole;
    }
    return true;
}

} // namespace

int NtfsMakeScratch(FsState& part, const char* label, uint32_t clusterSize) {
    const uint64_t bytes = uint64_t(part.sizeSectors) * kSectorSize;
    if (bytes < 1024 * 1024) {
        Log("NTFS ERROR: Partition too small for NTFS\r\n");
        return -1;
    }
    const char* directory = std::getenv("TMPDIR");
    std::string scratch =
        std::string(directory && *directory ? directory : "/tmp") + "/tobrend-ntfs-XXXXXX";
    int fd = mkstemp(scratch.data());
    if (fd < 0) {
        LogNtfsError("Cannot make a scratch file for the format");
        return -1;
    }
    unlink(scratch.c_str());
    if (ftruncate(fd, off_t(bytes)) != 0) {
        LogNtfsError("Cannot make a scratch file for the format");
        close(fd);
        return -1;
    }
    std::vector<std::string> arguments = {
        "mkntfs", "--fast", "--force", "--quiet", "--sector-size", "512", "--partition-start",
        // The boot sector's field has 32 bits: a start beyond is left 0,
        // as the FAT format leaves it.
        std::to_string(part.start <= UINT32_MAX ? part.start : 0), "--heads",
        std::to_string(std::max<uint32_t>(1, part.geometry.heads())), "--sectors-per-track",
        std::to_string(std::max<uint32_t>(1, part.geometry.sectors)), "--label",
        label ? label : ""};
    if (clusterSize != 0) {
        arguments.push_back("--cluster-size");
        arguments.push_back(std::to_string(clusterSize));
    }
    // The program reaches the unlinked file through this process's
    // descriptor.
    arguments.push_back(NtfsScratchPath(fd));
    const int status = Run(arguments);
    if (status != 0) {
        LogFormat("NTFS ERROR: mkntfs %s\r\n",
                  status < 0 ? "cannot be started (is it installed?)" : "failed");
        close(fd);
        return -1;
    }
    return fd;
}

std::string NtfsScratchPath(int fd) {
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
}

bool NtfsCopyScratch(int fd, FsState& part) {
    return CopyWritten(fd, part, uint64_t(part.sizeSectors) * kSectorSize);
}

Status NtfsClean(FsState& part, const char* label) {
    part.driverData.reset();
    const int fd = NtfsMakeScratch(part, label, 0);
    if (fd < 0) return 1;
    Status result = 0;
    if (!NtfsCopyScratch(fd, part)) {
        Log("NTFS ERROR: Cannot write the fresh volume\r\n");
        result = 1;
    }
    close(fd);
    return result;
}

} // namespace vk
