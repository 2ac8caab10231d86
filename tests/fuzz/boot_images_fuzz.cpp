// Feeds hostile ramdisk and kernel images to the loaders: the input is a
// remote file (read directly, of unknown size) loaded as a compressed
// ramdisk and as a plain one, and its first page is checked as a kernel
// header. Every load must end inside extended memory and never crash.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "disk/files.h"
#include "net/boot.h"
#include "platform/console.h"
#include "platform/memory.h"

using namespace vk;

namespace {

constexpr size_t kMaxInput = 4096; // at most ~800 chunks: pages stay below kPages
constexpr uint16_t kPages = 1024;
uint8_t capture[kCaptureSize];
const uint8_t* input = nullptr;
size_t inputSize = 0, at = 0;

int Open(const char*, uint8_t*, uint8_t*, uint16_t) {
    at = 0;
    return 0;
}
int Read(uint8_t* buffer) {
    size_t n = inputSize - at < 1408 ? inputSize - at : 1408;
    std::memcpy(buffer, input + at, n);
    at += n;
    return int(n);
}
int Create(const char*) {
    return -1;
}
int Write(const uint8_t*, uint16_t) {
    return 0;
}
int Close() {
    return 0;
}
const RemoteFileOps kInput = {Open, Create, Read, Write, Close};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return 0;
    LogFileBuff = capture;
    LogFileAvail = 0;
    nb_ext_pages = kPages;
    SetHostRoute(HostRoute::Remote, &kInput, nullptr);
    SetRemoteCache(nullptr);
    input = data;
    inputSize = size;
    uint32_t loaded = 0;
    LoadZRamDisk("image", &loaded);
    if (LoadRamDisk("image", &loaded) == 0 && loaded != size) __builtin_trap();
    std::vector<uint8_t> page(kExtPageBytes);
    std::memcpy(page.data(), data, size);
    char version[96];
    CheckKernelHeader(page.data(), uint32_t(size), version, sizeof version);
    if (std::strlen(version) > 80) __builtin_trap();
    return 0;
}
