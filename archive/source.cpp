// The registered full-archive source, and the pumps of the drivers' full
// restores over it.
#include "archive/source.h"

#include <cstring>
#include <vector>

#include "archive/pump.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {
const FullArchiveSource* registered = nullptr;

Status Damaged(const FullRestoreSource& in, const char* what) {
    LogFormat("%s: damaged archive: %s\r\n", in.who, what);
    return 1;
}

// A name a restored directory may hold: one path component.
bool SaneName(const char* name) {
    if (*name == 0 || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return std::strchr(name, '/') == nullptr;
}

constexpr uint32_t kRestoreDepthMax = 64;
} // namespace

void SetFullArchiveSource(const FullArchiveSource* source) {
    registered = source;
}

const FullArchiveSource* GetFullArchiveSource() {
    return registered;
}

Status PumpRestoreBootArea(const FullRestoreSource& in, uint32_t keep, uint8_t* into, bool* kept) {
    uint32_t size = 0;
    if (in.src->OpenBootSectors(in.archive, &size) != 0) return Damaged(in, "boot sectors");
    *kept = size == keep;
    if (*kept)
        LogFormat("%s: Extracting boot area...\r\n", in.who);
    else
        LogFormat("%s warning: Boot sector will NOT be cleaned\r\n", in.who);
    uint32_t at = 0;
    PumpFault fault = PumpPieces(
        size,
        [&in](uint32_t, const uint8_t** data, uint32_t* len) {
            return in.src->ReadBootSectorsChunk(in.archive, data, len);
        },
        [&](const uint8_t* data, uint32_t len) {
            if (*kept) std::memcpy(into + at, data, len);
            at += len;
            return Status(0);
        });
    if (fault != kPumpDone || in.src->CloseBootSectors(in.archive) != 0)
        return Damaged(in, "boot sectors");
    return 0;
}

Status PumpRestoreSummaries(const FullRestoreSource& in, uint32_t dirCount, uint32_t fileCount) {
    if (in.src->OpenDirSummary(in.archive) != 0) return Damaged(in, "directory summary");
    uint64_t entries = 0;
    for (uint32_t i = 0; i < dirCount; ++i) {
        const uint8_t* p;
        if (in.src->ReadDirSummaryEntry(in.archive, &p) != 0)
            return Damaged(in, "directory summary");
        DirSummary s = DirSummary::Load(p);
        entries += uint64_t(s.subdirs) + s.files;
        if (in.sink->DirSummaryEntry(i, p) != 0) return 1;
    }
    if (in.src->CloseDirSummary(in.archive) != 0) return Damaged(in, "directory summary");
    if (entries != uint64_t(dirCount - 1) + fileCount)
        return Damaged(in, "directory summary does not count the directories and files");

    if (in.src->OpenFileSummary(in.archive) != 0) return Damaged(in, "file summary");
    for (uint32_t i = 0; i < fileCount; ++i) {
        const uint8_t* p;
        if (in.src->ReadFileSummaryEntry(in.archive, &p) != 0) return Damaged(in, "file summary");
        if (in.sink->FileSummaryEntry(i, p) != 0) return 1;
    }
    if (in.src->CloseFileSummary(in.archive) != 0) return Damaged(in, "file summary");
    return 0;
}

Status PumpRestoreDirectories(const FullRestoreSource& in, uint32_t dirCount, const uint32_t* sizes,
                              uint32_t fileCount, uint16_t attrSize) {
    if (dirCount == 0) return Damaged(in, "no root directory");
    if (in.src->OpenDirectories(in.archive) != 0) return Damaged(in, "directories");
    // Per directory: the number behind its subtree, once its parent has
    // announced it (0 before), and that parent.
    struct Span {
        uint32_t end = 0;
        uint32_t parent = 0;
    };
    std::vector<Span> spans(dirCount);
    spans[0].end = dirCount;
    uint32_t stack[kRestoreDepthMax]; // directory numbers from the root
    uint32_t depth = 0;
    uint32_t fileIndex = 0;
    for (uint32_t i = 0; i < dirCount; ++i) {
        MonitorESC();
        DirectoryRecord rec;
        if (in.src->ReadDirectory(in.archive, &rec) != 0) return Damaged(in, "directories");
        if (rec.pops > depth || (i > 0 && rec.pops == depth) || (i == 0 && rec.pops != 0))
            return Damaged(in, "a directory leaves more levels than are open");
        depth -= rec.pops;
        if (depth >= kRestoreDepthMax) {
            LogFormat("%s: directories nested deeper than %u levels\r\n", in.who,
                      unsigned(kRestoreDepthMax));
            return 1;
        }
        const uint32_t parent = i == 0 ? 0 : stack[depth - 1];
        const Span& d = spans[i];
        if (i > 0 && (d.end == 0 || d.parent != parent))
            return Damaged(in, "a directory its parent did not list");
        stack[depth++] = i;
        if (in.sink->BeginDirectory(i, parent, rec) != 0) return 1;
        // Subdirectories: the first follows its parent, each next one the
        // subtree of the one before.
        uint32_t child = i + 1;
        for (uint32_t s = 0; s < rec.subdirs; ++s) {
            const uint8_t* p;
            if (in.src->ReadDirEntryDir(in.archive, &p) != 0) return Damaged(in, "directories");
            SubdirEntry e = SubdirEntry::Load(p);
            const char* name = reinterpret_cast<const char*>(p + SubdirEntry::kSize + attrSize);
            if (!SaneName(name)) return Damaged(in, "an unusable name");
            if (in.sink->CheckName(name) != 0) return 1;
            if (e.descendants == 0 || child >= d.end || e.descendants > d.end - child)
                return Damaged(in, "a subdirectory count");
            spans[child] = {child + e.descendants, i};
            if (in.sink->AddSubdirectory(child, e, p + SubdirEntry::kSize, name) != 0) return 1;
            child += e.descendants;
        }
        if (child != d.end) return Damaged(in, "a subdirectory count");
        for (uint32_t f = 0; f < rec.files; ++f) {
            const uint8_t* p;
            if (in.src->ReadDirEntryFile(in.archive, &p) != 0) return Damaged(in, "directories");
            const char* name = reinterpret_cast<const char*>(p + kFileEntrySize + attrSize);
            if (!SaneName(name)) return Damaged(in, "an unusable name");
            if (in.sink->CheckName(name) != 0) return 1;
            const uint32_t size = ld32(p);
            if (fileIndex >= fileCount || size != sizes[fileIndex])
                return Damaged(in, "a file differs from its summary");
            if (in.sink->AddFile(fileIndex, i, size, p + kFileEntrySize, name) != 0) return 1;
            ++fileIndex;
        }
        if (in.sink->EndDirectory() != 0) return 1;
    }
    if (in.src->CloseDirectories(in.archive) != 0) return Damaged(in, "directories");
    if (fileIndex != fileCount) return Damaged(in, "file count");
    return 0;
}

Status PumpRestoreFiles(const FullRestoreSource& in, const uint32_t* sizes, uint32_t fileCount,
                        uint64_t total) {
    LogFormat("%s: Extracting files...\r\n", in.who);
    if (in.src->OpenFiles(in.archive) != 0) return Damaged(in, "files");
    ProgressScope progress(total, "Restoring files");
    for (uint32_t i = 0; i < fileCount; ++i) {
        MonitorESC();
        uint64_t size = 0;
        if (in.src->ReadFileHeader(in.archive, &size) != 0) return Damaged(in, "files");
        // The summaries' sizes are the u32 the archive carries: the low half.
        if (uint32_t(size) != sizes[i]) return Damaged(in, "a file differs from its summary");
        if (in.sink->BeginFile(i, size) != 0) return 1;
        PumpFault fault = PumpPieces(
            size,
            [&in](uint32_t, const uint8_t** data, uint32_t* len) {
                return in.src->ReadFileContent(in.archive, data, len);
            },
            [&](const uint8_t* data, uint32_t len) {
                progress.Advance(len);
                return in.sink->FilePiece(data, len);
            });
        if (fault == kPumpSource) return Damaged(in, "file contents");
        if (fault == kPumpSink || in.sink->EndFile() != 0) return 1;
    }
    if (in.sink->EndFiles() != 0) return 1;
    if (in.src->CloseFiles(in.archive) != 0) return Damaged(in, "files");
    return 0;
}

} // namespace vk
