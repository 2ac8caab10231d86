// File layer parsers on hostile input: file names (partition prefixes, path
// walks) and patch templates with arbitrary markers, all inside a scratch
// directory. Host names are placed below the scratch directory and kept free
// of ".." so that nothing outside it is touched.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/files.h"
#include "hostdir/hostdir.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/settings.h"

namespace {

const char* FuzzSetting(const char* name) {
    // Values of every length, chosen by the name.
    static std::string value;
    value.assign(std::strlen(name) % 300, 'v');
    return value.c_str();
}

std::string scratch;

std::string InScratch(const char* name) {
    return scratch + "/" + name;
}

bool Init() {
    static char dir[] = "/tmp/vk-fuzz-files-XXXXXX";
    if (!mkdtemp(dir)) abort();
    scratch = dir;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
    });
    static std::vector<uint8_t> capture(vk::kCaptureSize);
    vk::LogFileBuff = capture.data(); // keep the log quiet
    vk::SetSettingReader(FuzzSetting);
    vk::SetHostRoute(vk::HostRoute::HostDirectory, nullptr, &vk::DosFsState);
    return true;
}

bool SafeName(const std::string& name) {
    return !name.empty() && name[0] != '/' && name[0] != '\\' &&
           name.find("..") == std::string::npos && name.size() < 200;
}

// Every input starts from an empty scratch directory: an earlier input may
// have left directories or files where this one writes. False when the
// directory cannot be made again (the input is then skipped: only the code
// under test may fail a run).
bool ResetScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return std::filesystem::create_directory(scratch, ignored);
}

bool WriteFile(const char* path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && written;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Init();
    (void)ready;
    vk::LogFileAvail = 0;
    if (size < 1 || !ResetScratch()) return 0;
    uint8_t op = data[0] % 4;
    // Fields separated by NUL bytes: name, start marker, end marker, text.
    std::vector<std::string> fields(1);
    size_t i = 1;
    for (; i < size && fields.size() < 4; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back() += char(data[i]);
    }
    fields.resize(4);
    const uint8_t* text = data + i;
    size_t textSize = size - i;
    // Partition names as they come; host names inside the scratch directory.
    const bool partition = !fields[0].empty() && fields[0][0] == '{';
    const bool safe = partition || SafeName(fields[0]);
    const std::string name = partition ? fields[0] : InScratch(fields[0].c_str());
    const std::string in = InScratch("in.tpl"), out = InScratch("out.txt");

    switch (op) {
    case 0: { // patch a template
        if (!WriteFile(in.c_str(), text, textSize)) break;
        vk::PatchFILE(in.c_str(), out.c_str(), fields[1].c_str(), fields[2].c_str(), 0);
        break;
    }
    case 1: { // parse and walk a name
        if (safe) {
            vk::FILEExists(name.c_str());
            vk::FileRecord file;
            if (vk::OpenFILE(name.c_str(), &file, 0) == 0) {
                static uint8_t buffer[vk::kChunkMax];
                while (vk::ReadFILE(&file, buffer) != 0) {
                }
                vk::CloseFILE(&file);
            }
            vk::LogDIR(name.c_str());
        }
        break;
    }
    case 2: { // directories from a name, then removed again
        if (safe && !partition && fields[0].find('/') != 0) {
            vk::CreateDIR(name.c_str());
            vk::LogTREE(name.c_str());
            vk::DelTREE(name.c_str());
        }
        break;
    }
    case 3: { // load a file of any size
        if (!WriteFile(in.c_str(), text, textSize)) break;
        char* loaded = nullptr;
        uint32_t length = 0;
        if (vk::LoadFile(in.c_str(), &length, &loaded, false) == 0) vk::Free(loaded);
        break;
    }
    }
    return 0;
}
