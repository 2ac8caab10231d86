// Drives the incremental restore with fuzzed directory records and entries
// onto a scratch host directory, as the reader would hand them out: names
// of up to 127 bytes of any value, any pop counts and sizes, content pieces
// of any length. Nothing may appear outside the target, whatever the input.
//
// Input: a sequence of steps, each a kind byte and its fields:
//   0 record: pops u8, name length u8, name
//   1 subdirectory entry: name length u8, name
//   2 file entry: size u16, name length u8, name
//   3 content piece: length u16 (bytes taken from the input)
#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/irestore.h"
#include "disk/files.h"
#include "hostdir/hostdir.h"

namespace {

using namespace vk;

std::string scratch; // scratch/p1/p2/target: escapes show in p1 and p2

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

// True when dir holds exactly the one entry `only`.
bool HoldsOnly(const std::string& dir, const char* only) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    bool ok = true;
    while (struct dirent* e = readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        if (std::strcmp(e->d_name, only) != 0) ok = false;
    }
    closedir(d);
    return ok;
}

void RemoveScratch() {
    nftw(scratch.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

void SetUpOnce() {
    if (!scratch.empty()) return;
    char pattern[] = "/tmp/vk-irfuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    scratch = pattern;
    atexit(RemoveScratch);
    std::string p = scratch + "/p1";
    mkdir(p.c_str(), 0755);
    p += "/p2";
    mkdir(p.c_str(), 0755);
    SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
}

struct Input {
    const uint8_t* p;
    size_t n;
    bool Take(size_t k, const uint8_t** out) {
        if (k > n) return false;
        *out = p;
        p += k;
        n -= k;
        return true;
    }
    bool Byte(uint8_t* v) {
        const uint8_t* b;
        if (!Take(1, &b)) return false;
        *v = *b;
        return true;
    }
    bool Word(uint16_t* v) {
        const uint8_t* b;
        if (!Take(2, &b)) return false;
        *v = uint16_t(b[0] | (b[1] << 8));
        return true;
    }
    // A name as the reader hands it out: at most 127 bytes, NUL-ended.
    bool Name(char* out) {
        uint8_t length;
        const uint8_t* b;
        if (!Byte(&length)) return false;
        length &= 127;
        if (!Take(length, &b)) return false;
        std::memcpy(out, b, length);
        out[length] = '\0';
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetUpOnce();
    std::string target = scratch + "/p1/p2/target";
    nftw(target.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
    mkdir(target.c_str(), 0755);

    IRestoreState st;
    ArchiveHeader header;
    std::memcpy(header.fsId, "EXT2", 4); // DA 0: no attributes are applied
    if (ProcessIArchive(target.c_str(), &st) != 0 || RealizeIArchiveHeader(&st, &header) != 0 ||
        ProcessIFiles(&st) != 0)
        abort();
    Input in{data, size};
    uint8_t kind;
    uint8_t entry[SubdirEntry::kSize + kEntryNameMax] = {};
    char name[kEntryNameMax];
    int steps = 0;
    while (in.Byte(&kind) && ++steps < 400) {
        switch (kind & 3) {
        case 0: {
            uint8_t pops;
            if (!in.Byte(&pops) || !in.Name(name)) break;
            IDirectoryRecord record;
            record.pops = pops;
            RealizeIDirectory(&st, &record, name);
            break;
        }
        case 1:
            if (!in.Name(name)) break;
            std::memcpy(entry + SubdirEntry::kSize, name, std::strlen(name) + 1);
            RealizeIDirEntryDir(&st, entry);
            break;
        case 2: {
            uint16_t fileSize;
            if (!in.Word(&fileSize) || !in.Name(name)) break;
            st32(entry, fileSize);
            std::memcpy(entry + kFileEntrySize, name, std::strlen(name) + 1);
            RealizeIDirEntryFile(&st, entry);
            break;
        }
        case 3: {
            uint16_t length;
            const uint8_t* piece;
            if (!in.Word(&length)) break;
            if (length > in.n) length = uint16_t(in.n);
            in.Take(length, &piece);
            RealizeIFileContent(&st, piece, length);
            break;
        }
        }
    }
    EndOfIFiles(&st);
    EndOfIArchive(&st);
    if (!HoldsOnly(scratch, "p1") || !HoldsOnly(scratch + "/p1", "p2") ||
        !HoldsOnly(scratch + "/p1/p2", "target")) {
        std::fprintf(stderr, "restore wrote outside its target\n");
        abort();
    }
    return 0;
}
