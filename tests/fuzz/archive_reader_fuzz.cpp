// Reads fuzz input as an archive, walking it both as a full and as an
// incremental archive, then checking it whole. With VK_FUZZ_FRAGMENTS the
// input is cut into up to four fragment files (first byte: count and
// options, then u16 lengths); otherwise it is one fragment file as it stands. The files live in
// memory behind the reader's file access table.
#include <cstring>
#include <string>
#include <vector>

#include "archive/check.h"
#include "archive/reader.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/settings.h"

namespace {

using namespace vk;

std::vector<std::vector<uint8_t>> fragments;
bool sizeUnknown = false;
bool scan = false;

struct OpenFile {
    const std::vector<uint8_t>* data = nullptr;
    size_t at = 0;
};
OpenFile files[4];

Status MemOpen(const char* name, FileRecord* file, uint16_t) {
    size_t len = std::strlen(name);
    if (len < 1) return 1;
    unsigned n = unsigned(name[len - 1] - '0');
    if (std::strncmp(name, "m.00", 4) != 0 || n >= fragments.size()) return 1;
    for (int slot = 0; slot < 4; ++slot) {
        if (files[slot].data) continue;
        files[slot] = {&fragments[n], 0};
        *file = FileRecord{};
        file->handle = reinterpret_cast<FsFileHandle*>(uintptr_t(slot + 1));
        file->size = sizeUnknown ? kUnknownSize : uint32_t(fragments[n].size());
        return 0;
    }
    return 1;
}

OpenFile* Slot(const FileRecord* file) {
    return &files[reinterpret_cast<uintptr_t>(file->handle) - 1];
}

uint16_t MemRead(FileRecord* file, uint8_t* buffer) {
    OpenFile* f = Slot(file);
    size_t n = f->data->size() - f->at;
    if (n > kChunkMax) n = kChunkMax;
    // Short deliveries now and then, as remote files give them.
    if (n > 700 && (f->at & 1)) n = 700;
    if (n == 0) return 0;
    std::memcpy(buffer, f->data->data() + f->at, n);
    f->at += n;
    return uint16_t(n);
}

Status MemClose(FileRecord* file) {
    *Slot(file) = OpenFile{};
    return 0;
}

Status MemRemove(const char*) {
    return 0;
}
bool NotCached(const FileRecord*) {
    return false;
}

const ReadIOOps kMemOps = {MemOpen, MemRead, MemClose, MemRemove, NotCached, nullptr};

const char* Setting(const char* name) {
    return std::strcmp(name, "CacheNever") == 0 && !scan ? "ON" : "";
}

void WalkFull() {
    IArchive r;
    if (OpenArchive("m.000", &r)) return;
    const ArchiveHeader* h;
    const uint8_t* p;
    uint32_t size, len;
    bool ok = !ReadArchiveHeader(&r, &h) && !OpenBootSectors(&r, &size);
    while (ok && r.pending > 0)
        ok = !ReadBootSectorsChunk(&r, &p, &len);
    ok = ok && !CloseBootSectors(&r) && !OpenDirSummary(&r);
    for (uint32_t i = 0; ok && i < r.archive.dirCount; ++i)
        ok = !ReadDirSummaryEntry(&r, &p);
    ok = ok && !CloseDirSummary(&r) && !OpenFileSummary(&r);
    for (uint32_t i = 0; ok && i < r.archive.fileCount; ++i)
        ok = !ReadFileSummaryEntry(&r, &p);
    ok = ok && !CloseFileSummary(&r) && !OpenDirectories(&r);
    for (uint32_t i = 0; ok && i < r.archive.dirCount; ++i) {
        DirectoryRecord d;
        ok = !ReadDirectory(&r, &d);
        for (uint32_t k = 0; ok && k < d.subdirs; ++k)
            ok = !ReadDirEntryDir(&r, &p);
        for (uint32_t k = 0; ok && k < d.files; ++k)
            ok = !ReadDirEntryFile(&r, &p);
    }
    ok = ok && !CloseDirectories(&r) && !OpenFiles(&r);
    for (uint32_t i = 0; ok && i < r.archive.fileCount; ++i) {
        uint64_t fileSize = 0;
        if (i % 2) {
            ok = !ReadSkipFile(&r, &fileSize);
        } else {
            ok = !ReadFileHeader(&r, &fileSize);
            while (ok && r.pending > 0)
                ok = !ReadFileContent(&r, &p, &len);
        }
    }
    if (ok && !CloseFiles(&r) && !CloseArchive(&r)) return;
    AbandonArchive(&r);
}

void WalkIncremental() {
    IArchive r;
    if (OpenIArchive("m.000", &r)) return;
    for (int pass = 0; pass < 2; ++pass) {
        const ArchiveHeader* h;
        const uint8_t* p;
        uint32_t len;
        bool ok =
            (pass == 0 || !ReopenIArchive(&r)) && !ReadIArchiveHeader(&r, &h) && !OpenIFiles(&r);
        for (uint32_t i = 0; ok && i < r.archive.dirCount; ++i) {
            IDirectoryRecord d;
            const char* name;
            ok = !ReadIDirectory(&r, &d, &name);
            for (uint32_t k = 0; ok && k < d.subdirs; ++k)
                ok = !ReadIDirEntryDir(&r, &p);
            for (uint32_t k = 0; ok && k < d.files; ++k) {
                if ((k + pass) % 2) {
                    ok = !ReadISkipFile(&r, &p);
                } else {
                    ok = !ReadIDirEntryFile(&r, &p);
                    while (ok && r.pending > 0)
                        ok = !ReadIFileContent(&r, &p, &len);
                }
            }
        }
        ok = ok && !CloseIFiles(&r);
        if (!ok) {
            AbandonArchive(&r);
            return;
        }
    }
    if (CloseIArchive(&r)) AbandonArchive(&r);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> capture(kCaptureSize);
    static bool ready = false;
    if (!ready) {
        SetReadIOOps(&kMemOps);
        SetSettingReader(Setting);
        ready = true;
    }
    LogFileBuff = capture.data();
    LogFileAvail = 0;
    fragments.clear();
#ifdef VK_FUZZ_FRAGMENTS
    if (size < 1) return 0;
    unsigned count = 1 + (data[0] & 3);
    sizeUnknown = data[0] & 4;
    scan = data[0] & 8;
    ++data;
    --size;
    for (unsigned i = 0; i < count; ++i) {
        size_t n = size;
        if (i + 1 < count) {
            if (size < 2) return 0;
            n = data[0] | (data[1] << 8);
            data += 2;
            size -= 2;
            if (n > size) n = size;
        }
        fragments.emplace_back(data, data + n);
        data += n;
        size -= n;
    }
#else
    sizeUnknown = false;
    scan = size % 2;
    fragments.emplace_back(data, data + size);
#endif
    WalkFull();
    WalkIncremental();
    ArchiveCheck check;
    CheckArchive("m.000", &check);
    // Once more with every fragment's CRC made right, so that the check's
    // walk through the sections is reached as well.
    for (auto& f : fragments) {
        const uint32_t head = f.size() >= 4 ? FragmentHeader::SizeFor(ld32(f.data())) : 0;
        const uint32_t at = head != 0 ? head : FragmentHeader::kSize;
        if (f.size() >= at) st32(f.data() + 16, CRC32(0, f.data() + at, uint32_t(f.size() - at)));
    }
    CheckArchive("m.000", &check);
    return 0;
}
