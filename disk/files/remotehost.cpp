// The host-file side of the remote-file routing: without a boot PROM the
// batch program serves its remote names from host files.
#include <cstdio>
#include <string>

#include "disk/files.h"
#include "platform/hostfile.h"

namespace vk {

namespace {

DosFile current_file = nullptr;

std::string HostName(const char* name) {
    std::string copy(name ? name : "");
    for (char& c : copy)
        if (c == '\\') c = '/';
    return copy;
}

int OpenHost(const char* name, uint8_t*, uint8_t*, uint16_t) {
    if (current_file) return -1;
    current_file = OpenDosFile(HostName(name).c_str(), false);
    return current_file ? 0 : -1;
}

int CreateHost(const char* name) {
    if (current_file) return -1;
    current_file = CreateDosFile(HostName(name).c_str());
    return current_file ? 0 : -1;
}

int ReadHost(uint8_t* buffer) {
    if (!current_file) return -1;
    uint16_t n = ReadDosFile(current_file, buffer, kHostRemoteBlock);
    // A short read is the end of the file only when nothing failed; a read
    // error must not pass for a complete, shorter file.
    if (n < kHostRemoteBlock && std::ferror(current_file)) return -1;
    return n;
}

int WriteHost(const uint8_t* data, uint16_t length) {
    if (!current_file) return 0;
    return WriteDosFile(current_file, data, length);
}

int CloseHost() {
    if (!current_file) return 0;
    int result = CloseDosFile(current_file);
    current_file = nullptr;
    return result;
}

} // namespace

const RemoteFileOps HostRemoteFileOps = {OpenHost, CreateHost, ReadHost, WriteHost, CloseHost};

} // namespace vk
