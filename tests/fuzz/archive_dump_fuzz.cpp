// Dumps fuzz input read as one fragment file, walked both as a full and as
// an incremental archive, with every dump flag set: the dump prints
// whatever the reader hands out, counts and all. Output goes to a capture
// buffer that simply fills up.
#include <cstring>
#include <vector>

#include "archive/dump.h"
#include "archive/reader.h"
#include "memory_fragment.h"
#include "platform/console.h"
#include "platform/settings.h"

namespace {

using namespace vk;

using namespace vk::fuzz;

const char* Setting(const char* name) {
    return std::strcmp(name, "CacheNever") == 0 ? "ON" : "";
}

constexpr uint16_t kEverything = 0x1FF;

void DumpFull() {
    IArchive r;
    if (OpenArchive("m.000", &r)) return;
    DumpState st;
    StartDumpArchive(kEverything, &st);
    const ArchiveHeader* h;
    const uint8_t* p;
    uint32_t size, len;
    bool ok = !ReadArchiveHeader(&r, &h) && !DumpArchiveHeader(&st, h) &&
              !OpenBootSectors(&r, &size) && !StartDumpBootSectors(&st, size);
    while (ok && r.pending > 0)
        ok = !ReadBootSectorsChunk(&r, &p, &len) && !DumpBootSectorsChunk(&st, p, len);
    ok = ok && !CloseBootSectors(&r) && !EndDumpBootSectors(&st) && !OpenDirSummary(&r) &&
         !StartDumpDirSummary(&st);
    for (uint32_t i = 0; ok && i < r.archive.dirCount; ++i)
        ok = !ReadDirSummaryEntry(&r, &p) && !DumpDirSummaryEntry(&st, p);
    ok = ok && !CloseDirSummary(&r) && !EndDumpDirSummary(&st) && !OpenFileSummary(&r) &&
         !StartDumpFileSummary(&st);
    for (uint32_t i = 0; ok && i < r.archive.fileCount; ++i)
        ok = !ReadFileSummaryEntry(&r, &p) && !DumpFileSummaryEntry(&st, p);
    ok = ok && !CloseFileSummary(&r) && !EndDumpFileSummary(&st) && !OpenDirectories(&r) &&
         !StartDumpDirectories(&st);
    for (uint32_t i = 0; ok && i < r.archive.dirCount; ++i) {
        DirectoryRecord d;
        ok = !ReadDirectory(&r, &d) && !DumpDirectory(&st, &d);
        for (uint32_t k = 0; ok && k < d.subdirs; ++k)
            ok = !ReadDirEntryDir(&r, &p) && !DumpDirEntryDir(&st, p);
        for (uint32_t k = 0; ok && k < d.files; ++k)
            ok = !ReadDirEntryFile(&r, &p) && !DumpDirEntryFile(&st, p);
    }
    ok = ok && !CloseDirectories(&r) && !EndDumpDirectories(&st) && !OpenFiles(&r) &&
         !StartDumpFiles(&st);
    for (uint32_t i = 0; ok && i < r.archive.fileCount; ++i) {
        uint64_t fileSize = 0;
        ok = !ReadFileHeader(&r, &fileSize) && !DumpFileHeader(&st, fileSize);
        while (ok && r.pending > 0)
            ok = !ReadFileContent(&r, &p, &len) && !DumpFileContent(&st, p, len);
    }
    ok = ok && !CloseFiles(&r) && !EndDumpFiles(&st) && !EndDumpArchive(&st);
    AbandonDump(&st);
    if (ok && !CloseArchive(&r)) return;
    AbandonArchive(&r);
}

void DumpIncremental() {
    IArchive r;
    if (OpenIArchive("m.000", &r)) return;
    DumpState st;
    StartDumpIArchive(kEverything, &st);
    const ArchiveHeader* h;
    const uint8_t* p;
    uint32_t len;
    bool ok = !ReadIArchiveHeader(&r, &h) && !DumpIArchiveHeader(&st, h) && !OpenIFiles(&r) &&
              !StartDumpIFiles(&st);
    for (uint32_t i = 0; ok && i < r.archive.dirCount; ++i) {
        IDirectoryRecord d;
        const char* name;
        ok = !ReadIDirectory(&r, &d, &name) && !DumpIDirectory(&st, &d, name);
        for (uint32_t k = 0; ok && k < d.subdirs; ++k)
            ok = !ReadIDirEntryDir(&r, &p) && !DumpIDirEntryDir(&st, p);
        for (uint32_t k = 0; ok && k < d.files; ++k) {
            ok = !ReadIDirEntryFile(&r, &p) && !DumpIDirEntryFile(&st, p);
            while (ok && r.pending > 0)
                ok = !ReadIFileContent(&r, &p, &len) && !DumpIFileContent(&st, p, len);
        }
    }
    ok = ok && !CloseIFiles(&r) && !EndDumpIFiles(&st) && !EndDumpIArchive(&st);
    AbandonDump(&st);
    if (ok && !CloseIArchive(&r)) return;
    AbandonArchive(&r);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> capture(kCaptureSize);
    static bool ready = false;
    if (!ready) {
        SetReadIOOps(&kMemoryFragmentOps);
        SetSettingReader(Setting);
        ready = true;
    }
    LogFileBuff = capture.data();
    LogFileAvail = 0;
    SetFragment(data, size);
    DumpFull();
    DumpIncremental();
    // A dump that ended early, as every complete one, leaves Logging as it
    // found it.
    if (Logging != 0) __builtin_trap();
    return 0;
}
