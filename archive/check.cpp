// The archive check: a pass over the fragment files (headers, lengths,
// continuity, CRCs), then a pass over the logical stream through the reader
// (sections, records, runs, counts and sums), each problem placed at the
// fragment file and byte where it was found.
#include "archive/check.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/format.h"
#include "archive/pump.h"
#include "archive/reader.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

// Where the archive header and the first section tag lie in fragment 0.
constexpr uint32_t kFirstData = FragmentHeader::kSize;
constexpr uint32_t kKindTagAt = ArchiveHeader::kSize; // data offset of "BS" or "CF"
// Full archives: directories and files whose summaries the check keeps.
constexpr uint32_t kCheckDirsMax = 1u << 22;
constexpr uint32_t kCheckFilesMax = 1u << 24;

struct Checker {
    const char* name;
    ArchiveCheck* result;
    // Before a restore: copies in the remote-file cache were checked when
    // they entered it and are not read again; a remote fragment read
    // without the cache ends the pass (the reader checks it as it goes).
    bool beforeRestore = false;
    bool remoteUnchecked = false;
    bool droppedCopy = false;                     // a damaged copy was dropped from the cache
    uint8_t start[ArchiveHeader::kSize + 2] = {}; // first data bytes of fragment 0
    uint32_t startBytes = 0;

    // Records the first problem: what, in which file, at which byte.
    Status Problem(const char* fragment, uint64_t offset, const char* format, ...)
        __attribute__((format(printf, 4, 5))) {
        char what[kCheckProblemMax / 2];
        va_list args;
        va_start(args, format);
        std::vsnprintf(what, sizeof what, format, args);
        va_end(args);
        std::snprintf(result->problem, sizeof result->problem, "%s in fragment %s at byte %" PRIu64,
                      what, fragment, offset);
        return 1;
    }
};

// Pass 1 ------------------------------------------------------------------------

// Reads fragment n whole: its header, its data with their CRC, its length.
// *streamLength is taken from fragment 0 and required of the others;
// *streamOffset is where this fragment must continue the stream.
Status CheckFragment(Checker* c, uint32_t n, uint32_t* streamLength, uint64_t* streamOffset) {
    char fragment[kReaderNameMax];
    if (FragmentName(c->name, n, fragment, sizeof fragment))
        return c->Problem(c->name, 0, "no name for fragment %u", n);
    ReadIOBuffer io;
    uint32_t size = 0;
    if (ReadIOOpenFileBuffer(fragment, &io, &size)) {
        ReadIOCloseFileBuffer(&io);
        if (n == 0) return c->Problem(fragment, 0, "archive cannot be opened");
        return c->Problem(fragment, 0,
                          "fragment missing (the stream holds %" PRIu64 " of %u bytes)",
                          *streamOffset, *streamLength);
    }
    // A problem in a copy of the remote-file cache drops that copy.
    struct Closer {
        Checker* c;
        ReadIOBuffer* io;
        const char* name;
        bool failed = true;
        ~Closer() {
            if (failed && ReadIOCloseDroppingCachedCopy(io, name)) c->droppedCopy = true;
            ReadIOCloseFileBuffer(io);
        }
    } closer{c, &io, fragment};
    if (c->beforeRestore && io.file.remote && RemoteNamesCrossTheNetwork()) {
        closer.failed = false;
        c->remoteUnchecked = true;
        return 0;
    }
    const uint8_t* raw = nullptr;
    if (ReadIOReadFileBuffer(&io, &raw, FragmentHeader::kSize))
        return c->Problem(fragment, 0, "fragment header cut short");
    FragmentHeader h = FragmentHeader::Load(raw);
    if (h.magic != kFragmentMagic) return c->Problem(fragment, 0, "not an archive fragment");
    if (n == 0) {
        if (h.streamLength == 0)
            return c->Problem(fragment, kStreamLengthAt, "unfinished archive (stream length 0)");
        *streamLength = h.streamLength;
    } else if (h.streamLength != *streamLength) {
        return c->Problem(fragment, kStreamLengthAt,
                          "fragment of another archive (stream length %u, expected %u)",
                          h.streamLength, *streamLength);
    }
    if (h.streamOffset != *streamOffset)
        return c->Problem(fragment, 8,
                          "fragment out of order (stream offset %u, expected %" PRIu64 ")",
                          h.streamOffset, *streamOffset);
    if (uint64_t(h.streamOffset) + h.dataLength > h.streamLength)
        return c->Problem(fragment, 12, "fragment data (%u bytes) run past the stream's end",
                          h.dataLength);
    if (size != kUnknownSize && uint64_t(size) != uint64_t(h.dataLength) + kFirstData)
        return c->Problem(fragment, size < kFirstData ? 0 : size,
                          "fragment length %u, header says %" PRIu64, size,
                          uint64_t(h.dataLength) + kFirstData);
    if (c->beforeRestore && ReadIOCachedCopy(&io)) {
        closer.failed = false;
        *streamOffset += h.dataLength;
        return 0;
    }
    FragmentCrc crc(h);
    for (uint32_t done = 0; done < h.dataLength;) {
        MonitorESC();
        uint32_t piece = h.dataLength - done < kChunkData ? h.dataLength - done : kChunkData;
        if (ReadIOReadFileBuffer(&io, &raw, piece))
            return c->Problem(fragment, kFirstData + uint64_t(done),
                              "fragment cut short (header says %u data bytes)", h.dataLength);
        if (n == 0 && c->startBytes < sizeof c->start) {
            uint32_t take =
                piece < sizeof c->start - c->startBytes ? piece : sizeof c->start - c->startBytes;
            std::memcpy(c->start + c->startBytes, raw, take);
            c->startBytes += take;
        }
        crc.Add(raw, piece);
        done += piece;
    }
    if (!crc.Matches())
        return c->Problem(fragment, kFirstData,
                          "data damaged: CRC of bytes %u to %" PRIu64 " is %08X, header says %08X",
                          kFirstData, uint64_t(kFirstData) + h.dataLength, crc.Computed(), h.crc);
    closer.failed = false;
    *streamOffset += h.dataLength;
    return 0;
}

Status CheckFragments(Checker* c) {
    uint32_t streamLength = 0;
    uint64_t offset = 0;
    for (uint32_t n = 0;; ++n) {
        if (n > 0xFFFF) return c->Problem(c->name, 0, "more fragments than can be named");
        if (CheckFragment(c, n, &streamLength, &offset)) return 1;
        if (c->remoteUnchecked) return 0;
        c->result->fragments = n + 1;
        if (offset >= streamLength) return 0;
    }
}

// Pass 2 ------------------------------------------------------------------------

// A name from an archive must be one path component.
bool SingleComponent(const uint8_t* entry, uint32_t fixed) {
    const char* name = reinterpret_cast<const char*>(entry + fixed);
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    return std::strchr(name, '/') == nullptr && std::strchr(name, '\\') == nullptr;
}

struct Walker {
    Checker* c;
    IArchive* r;
    // Places a problem at the reader's last item.
    template <typename... Args> Status Fail(const char* format, Args... args) {
        return c->Problem(r->fragmentName, uint64_t(kFirstData) + r->itemAt, format, args...);
    }
    Status Fail(const char* text) { return Fail("%s", text); }
};

// Reads a content of `size` bytes piece by piece, nothing kept.
Status CheckContent(Walker* w, uint32_t size, const char* what, uint32_t number) {
    IArchive* r = w->r;
    PumpFault fault = PumpPieces(
        size,
        [r](uint32_t, const uint8_t** data, uint32_t* len) {
            MonitorESC();
            return ReadFileContent(r, data, len);
        },
        [](const uint8_t*, uint32_t) { return Status(0); });
    if (fault != kPumpDone) return w->Fail("%s %u: content unreadable", what, number);
    return 0;
}

Status CheckFull(Walker* w, const ArchiveHeader& h) {
    IArchive* r = w->r;
    ArchiveCheck* out = w->c->result;
    uint32_t boot = 0;
    if (OpenBootSectors(r, &boot)) return w->Fail("boot sectors section unreadable");
    if (boot % 512) return w->Fail("boot sectors size %u is not a whole number of sectors", boot);
    PumpFault fault = PumpPieces(
        boot,
        [r](uint32_t, const uint8_t** data, uint32_t* len) {
            return ReadBootSectorsChunk(r, data, len);
        },
        [](const uint8_t*, uint32_t) { return Status(0); });
    if (fault != kPumpDone) return w->Fail("boot sectors unreadable");
    if (CloseBootSectors(r)) return w->Fail("boot sectors unfinished");

    // The summaries, kept to compare with the directories and files; the
    // memory they take is bounded by the counts the check accepts.
    if (h.dirCount > kCheckDirsMax || h.fileCount > kCheckFilesMax)
        return w->Fail("%u directories and %u files: more than the check holds (%u and %u)",
                       h.dirCount, h.fileCount, kCheckDirsMax, kCheckFilesMax);
    struct Counts {
        uint32_t subdirs, files;
    };
    std::vector<Counts> dirSummary;
    std::vector<uint32_t> fileSizes;
    const uint8_t* p;
    if (OpenDirSummary(r)) return w->Fail("directory summary section missing");
    for (uint32_t i = 0; i < h.dirCount; ++i) {
        if (ReadDirSummaryEntry(r, &p))
            return w->Fail("directory summary holds fewer than the header's %u directories",
                           h.dirCount);
        DirSummary summary = DirSummary::Load(p);
        dirSummary.push_back({summary.subdirs, summary.files});
    }
    if (CloseDirSummary(r))
        return w->Fail("directory summary holds more than the header's %u directories", h.dirCount);
    if (OpenFileSummary(r)) return w->Fail("file summary section missing");
    for (uint32_t i = 0; i < h.fileCount; ++i) {
        if (ReadFileSummaryEntry(r, &p))
            return w->Fail("file summary holds fewer than the header's %u files", h.fileCount);
        fileSizes.push_back(ld32(p));
    }
    if (CloseFileSummary(r))
        return w->Fail("file summary holds more than the header's %u files", h.fileCount);

    // Directories: the tree shape (pop counts against the children each
    // directory announced), the entries against the summaries.
    if (OpenDirectories(r)) return w->Fail("directories section missing");
    std::vector<uint32_t> childrenLeft; // per level of the path to the last directory
    uint32_t fileNumber = 0;
    for (uint32_t d = 0; d < h.dirCount; ++d) {
        MonitorESC();
        DirectoryRecord record;
        if (ReadDirectory(r, &record))
            return w->Fail("directory %u: record unreadable (the header announces %u)", d,
                           h.dirCount);
        if (d == 0 && record.pops != 0)
            return w->Fail("directory 0: pop count %u for the root", record.pops);
        if (d > 0) {
            // The path to the previous directory is on the stack; leaving
            // pops levels must keep at least the root as the parent.
            if (record.pops >= childrenLeft.size())
                return w->Fail("directory %u: pop count %u does not fit the tree", d, record.pops);
            for (uint16_t i = 0; i < record.pops; ++i) {
                if (childrenLeft.back() != 0)
                    return w->Fail("directory %u: an earlier directory misses %u subdirectories", d,
                                   childrenLeft.back());
                childrenLeft.pop_back();
            }
            if (childrenLeft.empty() || childrenLeft.back() == 0)
                return w->Fail("directory %u: not announced by its parent", d);
            --childrenLeft.back();
        }
        childrenLeft.push_back(record.subdirs);
        const Counts& summary = dirSummary[d];
        if (summary.subdirs != record.subdirs || summary.files != record.files)
            return w->Fail(
                "directory %u: %u subdirectories and %u files, its summary says %u and %u", d,
                record.subdirs, record.files, summary.subdirs, summary.files);
        for (uint32_t i = 0; i < record.subdirs; ++i) {
            if (ReadDirEntryDir(r, &p))
                return w->Fail("directory %u: subdirectory entry unreadable", d);
            if (!SingleComponent(p, SubdirEntry::kSize + h.dirAttr))
                return w->Fail("directory %u: subdirectory name is not a single component", d);
        }
        for (uint32_t i = 0; i < record.files; ++i) {
            if (ReadDirEntryFile(r, &p)) return w->Fail("directory %u: file entry unreadable", d);
            if (!SingleComponent(p, kFileEntrySize + h.dirAttr))
                return w->Fail("directory %u: file name is not a single component", d);
            if (fileNumber >= h.fileCount)
                return w->Fail("directory %u: more file entries than the header's %u files", d,
                               h.fileCount);
            if (ld32(p) != fileSizes[fileNumber])
                return w->Fail("file %u: entry size %u, summary says %u", fileNumber, ld32(p),
                               fileSizes[fileNumber]);
            ++fileNumber;
        }
    }
    if (CloseDirectories(r)) return w->Fail("directories unfinished");
    for (uint32_t left : childrenLeft)
        if (left != 0) return w->Fail("directories: %u announced subdirectories missing", left);
    if (fileNumber != h.fileCount)
        return w->Fail("directories hold %u file entries, the header says %u", fileNumber,
                       h.fileCount);
    out->dirs = h.dirCount;

    if (OpenFiles(r)) return w->Fail("files section missing");
    for (uint32_t f = 0; f < h.fileCount; ++f) {
        uint32_t size = 0;
        if (ReadFileHeader(r, &size)) return w->Fail("file %u: header unreadable", f);
        if (size != fileSizes[f])
            return w->Fail("file %u: %u bytes, its entry says %u", f, size, fileSizes[f]);
        if (CheckContent(w, size, "file", f)) return 1;
        ++out->files;
        out->bytes += size;
    }
    if (CloseFiles(r)) return w->Fail("end tag missing after the header's %u files", h.fileCount);
    return 0;
}

Status CheckIncremental(Walker* w, const ArchiveHeader& h) {
    IArchive* r = w->r;
    ArchiveCheck* out = w->c->result;
    if (OpenIFiles(r)) return w->Fail("changed files section missing");
    uint32_t depth = 0;
    for (uint32_t d = 0; d < h.dirCount; ++d) {
        MonitorESC();
        IDirectoryRecord record;
        const char* name = nullptr;
        if (ReadIDirectory(r, &record, &name))
            return w->Fail("directory record %u unreadable (the header announces %u)", d,
                           h.dirCount);
        bool root = name[0] == '\0';
        if (d == 0 && (!root || record.pops != 0))
            return w->Fail("directory record 0 is not the root");
        if (d > 0) {
            const uint8_t* raw = reinterpret_cast<const uint8_t*>(name);
            if (root || !SingleComponent(raw, 0))
                return w->Fail("directory record %u: name is not a single component", d);
            if (record.pops > depth)
                return w->Fail("directory record %u: pop count %u deeper than the tree (%u)", d,
                               record.pops, depth);
            depth = depth - record.pops + 1;
        }
        const uint8_t* p;
        for (uint32_t i = 0; i < record.subdirs; ++i) {
            if (ReadIDirEntryDir(r, &p))
                return w->Fail("directory record %u: subdirectory entry unreadable", d);
            if (!SingleComponent(p, SubdirEntry::kSize + h.dirAttr))
                return w->Fail("directory record %u: subdirectory name is not a single component",
                               d);
        }
        for (uint32_t i = 0; i < record.files; ++i) {
            if (ReadIDirEntryFile(r, &p))
                return w->Fail("directory record %u: file entry unreadable", d);
            if (!SingleComponent(p, kFileEntrySize + h.dirAttr))
                return w->Fail("directory record %u: file name is not a single component", d);
            uint32_t size = ld32(p);
            if (CheckContent(w, size, "file", out->files)) return 1;
            ++out->files;
            out->bytes += size;
        }
    }
    if (CloseIFiles(r))
        return w->Fail("end tag missing after the header's %u directory records", h.dirCount);
    if (out->files != h.fileCount)
        return w->Fail("%u files stored, the header says %u", out->files, h.fileCount);
    out->dirs = h.dirCount;
    return 0;
}

} // namespace

Status CheckBeforeRestore(const char* name) {
    ArchiveCheck result;
    Checker c{name, &result};
    c.beforeRestore = true;
    Status s = CheckFragments(&c);
    if (s && c.droppedCopy) {
        // The damage was in a copy in the remote-file cache, now dropped:
        // the second pass fetches it again.
        Log("ERROR: [CheckFragments] ");
        Log(result.problem);
        Log("\r\nWARNING: Damaged copy dropped from the disk cache, fetching it again\r\n");
        c = Checker{name, &result};
        c.beforeRestore = true;
        s = CheckFragments(&c);
    }
    if (s) {
        Log("ERROR: [CheckFragments] Archive ");
        Log(name);
        Log(" is damaged: ");
        Log(result.problem);
        Log("\r\n");
        return 1;
    }
    if (c.remoteUnchecked)
        Log("WARNING: Remote archive read without the disk cache: its fragments are checked "
            "only as they are restored\r\n");
    return 0;
}

Status CheckArchive(const char* name, ArchiveCheck* result) {
    *result = ArchiveCheck{};
    Checker c{name, result};
    if (CheckFragments(&c)) return 1;
    if (c.startBytes < sizeof c.start)
        return c.Problem(name, kFirstData, "archive header cut short");
    uint16_t kind = ld16(c.start + kKindTagAt);
    if (kind != kTagBootSectors && kind != kTagIFiles)
        return c.Problem(name, kFirstData + kKindTagAt,
                         "neither a full nor an incremental archive");
    result->incremental = kind == kTagIFiles;

    auto r = std::make_unique<IArchive>();
    if (OpenArchive(name, r.get())) {
        AbandonArchive(r.get());
        return c.Problem(name, 0, "archive cannot be opened");
    }
    Walker w{&c, r.get()};
    const ArchiveHeader* header = nullptr;
    Status s = ReadArchiveHeader(r.get(), &header) ? w.Fail("archive header unreadable") : 0;
    ArchiveHeader h;
    if (s == 0) h = *header;
    if (s == 0) s = result->incremental ? CheckIncremental(&w, h) : CheckFull(&w, h);
    if (s == 0 && (result->bytes > 0xFFFFFFFFull
                       ? h.sumOfSizes != 0xFFFFFFFF && h.sumOfSizes != uint32_t(result->bytes)
                       : h.sumOfSizes != result->bytes))
        s = c.Problem(name, kFirstData + 16, "sum of file sizes %" PRIu64 ", the header says %u",
                      result->bytes, h.sumOfSizes);
    if (s == 0 && CloseArchive(r.get())) s = w.Fail("data after the end of the archive");
    AbandonArchive(r.get());
    return s;
}

} // namespace vk
