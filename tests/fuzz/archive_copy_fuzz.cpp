// The copy engine on fuzzed archives: the first byte chooses the source
// kind (full or incremental), the destination (full or incremental archive,
// either dump, or a path in a scratch directory) and whether a filter
// forces the general copy; the rest is one fragment file, kept in memory
// behind the reader's file access table. Whatever the input, the copy must
// stay within its buffers, and a path destination within its target.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/copy.h"
#include "archive/dump.h"
#include "archive/reader.h"
#include "archive/vfile.h"
#include "disk/files.h"
#include "disk/partitions.h"
#include "fs/fat.h"
#include "hostdir/hostdir.h"
#include "memory_fragment.h"
#include "platform/console.h"
#include "platform/settings.h"

namespace {

using namespace vk;

using namespace vk::fuzz;

const char* Setting(const char*) {
    return "";
}

std::string scratch;

// Removes everything below path (the scratch target between runs).
void Clear(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return;
    while (dirent* e = readdir(dir)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        std::string child = path + "/" + e->d_name;
        // Restored attributes may carry inode flags (immutable, append only)
        // that would keep the entry from being removed.
        int fd = ::open(child.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
        if (fd >= 0) {
            int flags = 0;
            ioctl(fd, FS_IOC_SETFLAGS, &flags);
            close(fd);
        }
        Clear(child);
        if (remove(child.c_str()) != 0) unlink(child.c_str());
    }
    closedir(dir);
}

// Anything in the scratch directory besides the target and the output
// archive's fragments means the copy wrote outside its target.
void CheckScratch(const std::string& scratch) {
    DIR* dir = opendir(scratch.c_str());
    if (!dir) abort();
    while (dirent* e = readdir(dir)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        if (!std::strcmp(e->d_name, "target") || !std::strncmp(e->d_name, "out.", 4)) continue;
        abort();
    }
    closedir(dir);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> capture(kCaptureSize);
    if (scratch.empty()) {
        char templ[] = "/tmp/vk_copy_fuzz_XXXXXX";
        if (!mkdtemp(templ)) abort();
        scratch = templ;
        // The scratch directory goes when the fuzzer ends.
        atexit([] {
            Clear(scratch);
            rmdir(scratch.c_str());
        });
        SetReadIOOps(&kMemoryFragmentOps);
        SetSettingReader(Setting);
        RegisterFsDriver(FAT16Driver);
        SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
        InitVMM();
    }
    if (size < 1) return 0;
    LogFileBuff = capture.data();
    LogFileAvail = 0;
    uint8_t options = data[0];
    SetFragment(data + 1, size - 1);

    Clear(scratch);
    std::string target = scratch + "/target";
    mkdir(target.c_str(), 0755);
    std::string out = scratch + "/out.000";
    static const char* const kinds = "AaDdp";
    char source[16], destination[300];
    std::snprintf(source, sizeof source, "%s|m.000", (options & 1) ? "a" : "A");
    char kind = kinds[((options >> 1) & 7) % 5];
    if (kind == 'D' || kind == 'd')
        std::snprintf(destination, sizeof destination, "%c", kind);
    else
        std::snprintf(destination, sizeof destination, "%c|%s", kind,
                      kind == 'p' ? target.c_str() : out.c_str());
    FilterSet filters;
    if (options & 0x10) filters.push_back({"*.x?", {"k*"}});
    CopyRequest request;
    request.source = source;
    request.destination = destination;
    request.filters = &filters;
    request.fragmentSize = kFragmentSizeMin;
    request.dumpFlags = (options & 0x20) ? 0x1FF : DumpWhatOf("");
    const char* message = nullptr;
    CopyAnyArchive(request, &message);
    CheckScratch(scratch);
    for (int h = 0; h < kVFiles; ++h)
        if (vm->files[h].access != 0) abort(); // every virtual file is given back
    return 0;
}
