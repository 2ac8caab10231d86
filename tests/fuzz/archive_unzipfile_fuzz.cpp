// Unpacks fuzz input as a single-file container, through the file layer's
// host route, into a scratch file.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive/zipfile.h"
#include "disk/files.h"
#include "hostdir/hostdir.h"
#include "platform/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vk;
    static std::vector<uint8_t> capture(kCaptureSize);
    static std::string container, output;
    if (container.empty()) {
        SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
        std::string base = "/tmp/vk-fuzz-unzip-" + std::to_string(getpid());
        container = base + ".z";
        output = base + ".out";
    }
    LogFileBuff = capture.data();
    LogFileAvail = 0;
    std::FILE* f = std::fopen(container.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    UnzipFile(container.c_str(), output.c_str());
    std::remove(output.c_str());
    std::remove(container.c_str());
    return 0;
}
