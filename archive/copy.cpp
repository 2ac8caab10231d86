// The copy engine: archive ends, filters, the general filtered copy from a
// source (archive/input.h) to the destination adapter, and the two
// unfiltered section copies.
#include "archive/copy.h"

#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>

#include "archive/check.h"
#include "archive/dump.h"
#include "archive/input.h"
#include "archive/output.h"
#include "archive/pump.h"
#include "archive/reader.h"
#include "archive/sink.h"
#include "archive/vfile.h"
#include "archive/writer.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk {

// Archive ends ---------------------------------------------------------------

uint8_t ArchiveType(const char* value) {
    if (!value || value[0] == '\0') return kEndNone;
    if (value[0] != 'd' && value[0] != 'D' && value[1] != '|') return kEndNone;
    switch (value[0]) {
    case 'A': return kEndArchive;
    case 'a': return kEndIArchive;
    case 'D': return kEndDump;
    case 'd': return kEndIDump;
    case 'P': return kEndScan;
    case 'p': return kEndPath;
    default: return kEndNone;
    }
}

void ArchiveName(const char* value, char* name, uint32_t size) {
    name[0] = '\0';
    if (!value || value[0] == '\0' || value[1] != '|' || size == 0) return;
    std::snprintf(name, size, "%s", value + 2);
}

// Filters --------------------------------------------------------------------

namespace {

bool Matches(const char* path, const std::string& pattern, bool nocase) {
    // The matcher may rewrite its pattern: it works on a copy.
    char copy[kCopyPathMax];
    std::snprintf(copy, sizeof copy, "%s", pattern.c_str());
    return MatchExpr(path, copy, nocase ? kMatchIgnoreCase : 0) != 0;
}

} // namespace

bool PassFilter(const FilterSet& filters, const char* path, bool nocase) {
    for (const FilterRule& rule : filters) {
        if (rule.exclusion.empty() || !Matches(path, rule.exclusion, nocase)) continue;
        bool excepted = false;
        for (const std::string& exception : rule.exceptions)
            if (!exception.empty() && Matches(path, exception, nocase)) {
                excepted = true;
                break;
            }
        if (!excepted) return false;
    }
    return true;
}

namespace {

// General copy -----------------------------------------------------------------

// A subdirectory in "ZDIR": u16 length, the selected flag, then its relative
// path without the NUL; records are only as long as their paths.
constexpr uint32_t kZdirHead = 3;

Status WriteZdir(int16_t zdir, const char* path, size_t length, bool selected) {
    uint8_t head[kZdirHead];
    st16(head, uint16_t(length));
    head[2] = selected ? 1 : 0;
    return WriteVFile(zdir, head, kZdirHead) ||
           WriteVFile(zdir, reinterpret_cast<const uint8_t*>(path), uint32_t(length));
}

// Reads the record at *at into path (kCopyPathMax bytes) and moves *at
// behind it.
Status ReadZdir(int16_t zdir, uint32_t* at, char* path, bool* selected) {
    uint8_t head[kZdirHead];
    if (SeekVFile(zdir, *at) || ReadVFile(zdir, head, kZdirHead)) return 1;
    uint16_t length = ld16(head);
    if (length >= kCopyPathMax) return 1;
    if (ReadVFile(zdir, reinterpret_cast<uint8_t*>(path), length)) return 1;
    path[length] = '\0';
    *selected = head[2] != 0;
    *at += kZdirHead + length;
    return 0;
}

struct Copy {
    std::unique_ptr<InputSource> in;
    OutputContext out;
    int16_t zdir = -1;
    int16_t zfil = -1;
    BitList bits;
    const char* message = nullptr;
    // The directory pass.
    const FilterSet* filters = nullptr;
    bool nocase = false;   // the destination's names ignore case
    uint16_t attrSize = 0; // A of the source's entries
    bool trace = false;
    uint64_t selectedBytes = 0; // the progress line's total
};

// Records the first failing step's message.
#define STEP(call, text)                                                                           \
    do {                                                                                           \
        if ((call) != 0) {                                                                         \
            c.message = text;                                                                      \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

bool Trace() {
    return SettingIsOn("trace");
}

void LogNumber(uint32_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", n);
    Log(text);
}

void LogHex(uint32_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", n);
    Log(text);
}

const uint8_t* SourceAttrsEnd(const uint8_t* entry, uint32_t fixed, uint16_t attrSize) {
    return entry + fixed + attrSize;
}

// The boot sectors from the source to the destination adapter.
Status CopyBootSectors(Copy& c) {
    uint32_t bootSize;
    STEP(c.in->InputBootSectors(&bootSize), "Cannot open boot sectors\r\n");
    STEP(OutputBootSectors(&c.out, bootSize), "Cannot create boot sectors\r\n");
    PumpFault fault = PumpPieces(
        bootSize,
        [&c](uint32_t, const uint8_t** p, uint32_t* n) {
            return c.in->InputBootSectorsChunk(p, n);
        },
        [&c](const uint8_t* p, uint32_t n) { return OutputBootSectorsChunk(&c.out, p, n); });
    STEP(fault == kPumpSource, "Cannot read boot sectors\r\n");
    STEP(fault == kPumpSink, "Cannot write boot sectors\r\n");
    STEP(c.in->InputedBootSectors(), "Error closing source boot sectors\r\n");
    STEP(OutputedBootSectors(&c.out), "Error closing dest boot sectors\r\n");
    return 0;
}

// The selected files' contents, in file order, as the bit list chose them.
Status CopyFiles(Copy& c, uint32_t fileCount) {
    bool data = c.out.sink->WantsContent();
    ProgressScope progress(data ? c.selectedBytes : 0, "Copying files");
    auto take = [&](const uint8_t* p, uint32_t n) {
        if (data) progress.Advance(n);
        return OutputFileContent(&c.out, p, n);
    };
    auto read = [&c](uint32_t, const uint8_t** p, uint32_t* n) {
        return c.in->InputFileContent(p, n);
    };
    for (uint32_t f = 0; f < fileCount; ++f) {
        bool pass;
        STEP(ReadBitBuff(&c.bits, &pass), "Cannot read temp file\r\n");
        uint32_t size;
        // A file not selected is passed; a destination without contents
        // gets only their sizes, in pieces.
        if (!pass || !data) STEP(c.in->InputSkipFile(&size), "Cannot skip file\r\n");
        if (!pass) continue;
        if (data) STEP(c.in->InputFileHeader(&size), "Cannot open file\r\n");
        STEP(OutputFileHeader(&c.out, size), "Cannot create file\r\n");
        PumpFault fault = data ? PumpPieces(size, read, take) : PumpPieces(size, BlankPiece, take);
        STEP(fault == kPumpSource, "Cannot read file chunk\r\n");
        STEP(fault == kPumpSink, "Cannot write file chunk\r\n");
        if (!data) continue;
        if (!c.trace) CountUpChanged(f + 1, fileCount);
        MonitorESC();
    }
    return 0;
}

// One directory's entries: the selected ones to the destination, every
// subdirectory's path and selection to "ZDIR", every file's selection to
// the bit list.
Status CopyEntries(Copy& c, const char* path, bool selected, uint32_t subdirs, uint32_t files) {
    const uint8_t* entry;
    size_t pathLength = std::strlen(path);
    for (uint32_t i = 0; i < subdirs + files; ++i) {
        bool isDir = i < subdirs;
        STEP(isDir ? c.in->InputDirEntryDir(&entry) : c.in->InputDirEntryFile(&entry),
             "Cannot read directory entry\r\n");
        const uint8_t* nameAt =
            SourceAttrsEnd(entry, isDir ? SubdirEntry::kSize : kFileEntrySize, c.attrSize);
        int32_t nameLength = EntryNameLength(nameAt, kEntryNameMax);
        // Relative paths are what the filters see: a path that does not
        // fit is refused rather than cut into another one.
        if (nameLength < 0) STEP(1, "Cannot read directory entry\r\n");
        if (pathLength + size_t(nameLength) + 1 > kCopyPathMax) STEP(1, "Path too long\r\n");
        char full[kCopyPathMax];
        std::memcpy(full, path, pathLength);
        std::memcpy(full + pathLength, nameAt, size_t(nameLength) + 1);
        bool pass = selected && PassFilter(*c.filters, full, c.nocase);
        if (isDir) {
            if (c.trace) {
                Log("\r\nDIR  : ");
                Log(full);
                Log(" -- offset ");
                LogHex(TellVFile(c.zdir));
            }
            STEP(WriteZdir(c.zdir, full, pathLength + size_t(nameLength), pass),
                 "Cannot write temp file\r\n");
            if (pass) STEP(OutputDirEntryDir(&c.out, entry), "Cannot write directory entry\r\n");
        } else {
            if (c.trace) {
                Log("\r\nFILE : ");
                Log(full);
            }
            STEP(WriteBitBuff(&c.bits, pass), "Cannot write temp file\r\n");
            if (pass) {
                STEP(OutputDirEntryFile(&c.out, entry), "Cannot write directory entry\r\n");
                c.selectedBytes += ld32(entry);
            }
        }
    }
    return 0;
}

// The directory pass: the source's tree in pre-order, its shape checked,
// the filters applied to every entry's relative path; the selected tree
// goes to the destination, the selection of every file to the bit list.
Status CopyDirectories(Copy& c) {
    uint32_t dirCount;
    STEP(c.in->InputDirectories(&dirCount), "Cannot open directories\r\n");
    STEP(OutputDirectories(&c.out), "Cannot create directories\r\n");
    c.zfil = RewriteVFile("ZFIL");
    c.zdir = RewriteVFile("ZDIR");
    if (c.zfil < 0 || c.zdir < 0) STEP(1, "Cannot rewrite VFile");
    InitBitBuff(&c.bits, c.zfil);
    STEP(WriteZdir(c.zdir, "", 0, true), "Cannot write temp file\r\n");
    Log("1. Reading directories : ");
    const uint8_t* entry;
    STEP(c.in->InputRootDirEntry(&entry), "Cannot read root directory entry\r\n");
    STEP(OutputRootDirEntry(&c.out, entry), "Cannot write root directory entry\r\n");

    uint32_t offsets[kCopyDepthMax + 1] = {};
    uint32_t childrenLeft[kCopyDepthMax + 1] = {};
    uint32_t depth = 0, outDepth = 0;
    for (uint32_t d = 0; d < dirCount; ++d) {
        uint16_t pops;
        uint32_t subdirs, files;
        STEP(c.in->InputDirectory(&pops, &subdirs, &files, d), "Cannot open directory\r\n");
        if (c.trace) {
            Log("\r\nNEXT DIR : parent depth ");
            LogNumber(pops);
            Log(", ");
            LogNumber(subdirs);
            Log(" subdirs, ");
            LogNumber(files);
            Log(" files");
        }
        // The tree shape: one root first, then every directory one of its
        // parent's announced subdirectories, never deeper than the stack.
        if (pops > depth || (d > 0 && depth - pops == 0) || (d == 0 && pops != 0))
            STEP(1, "Bad archive, hierarchy scrambled\r\n");
        depth -= pops;
        char path[kCopyPathMax] = {};
        bool selected = true;
        if (d > 0) {
            if (childrenLeft[depth] == 0) STEP(1, "Bad archive, hierarchy scrambled\r\n");
            --childrenLeft[depth];
            const uint32_t at = offsets[depth];
            STEP(ReadZdir(c.zdir, &offsets[depth], path, &selected), "Cannot read temp file\r\n");
            if (c.trace) {
                Log("\r\nPARENT   : offset ");
                LogHex(at);
                Log(", name ");
                Log(path);
            }
            size_t length = std::strlen(path);
            if (length + 2 > kCopyPathMax) STEP(1, "Path too long\r\n");
            path[length] = '/';
        }
        if (depth >= kCopyDepthMax) STEP(1, "Bad archive, hierarchy scrambled\r\n");
        STEP(SeekEofVFile(c.zdir), "Cannot write temp file\r\n");
        offsets[depth + 1] = TellVFile(c.zdir);
        childrenLeft[depth + 1] = subdirs;
        ++depth;
        if (selected) {
            STEP(OutputDirectory(&c.out, uint16_t(outDepth - (depth - 1))),
                 "Cannot create directory\r\n");
            outDepth = depth;
        }
        if (CopyEntries(c, path, selected, subdirs, files)) return 1;
        MonitorESC();
    }
    ReleaseVFile(c.zdir);
    STEP(FlushBitBuff(&c.bits), "Cannot write temp file\r\n");
    STEP(c.in->InputedDirectories(), "Error closing source directories\r\n");
    return 0;
}

Status RunCopy(Copy& c, const CopyRequest& request, uint8_t srcType, const char* srcName,
               uint8_t dstType, const char* dstName) {
    const FilterSet empty;
    const FilterSet& filters = request.filters ? *request.filters : empty;
    uint32_t param = (dstType == kEndArchive || dstType == kEndIArchive) ? request.fragmentSize
                                                                         : request.dumpFlags;
    STEP(InputArchive(srcType, srcName, &c.in), "Cannot open source\r\n");
    STEP(OutputArchive(&c.out, dstType, dstName, param), "Cannot create dest\r\n");
    char id[4];
    uint16_t attrSize;
    STEP(c.in->InputFsInfos(id, &attrSize) || attrSize > kAttrMax,
         "Cannot read filesystem infos\r\n");
    STEP(OutputFsInfos(&c.out, id, attrSize, c.in->Handler()), "Cannot write filesystem infos\r\n");
    if (CopyBootSectors(c)) return 1;
    c.filters = &filters;
    c.nocase = (c.out.handler->flags & kFsCaseInsensitive) != 0;
    c.attrSize = attrSize;
    c.trace = Trace();
    if (CopyDirectories(c)) return 1;
    Log("\r\n2. Writing directories : ");
    STEP(OutputedDirectories(&c.out), "Error closing dest directories\r\n");
    Log("\r\n");
    Log("3. Copying files       : ");

    uint32_t fileCount;
    STEP(c.in->InputFiles(&fileCount), "Cannot open files\r\n");
    STEP(OutputFiles(&c.out), "Cannot create files\r\n");
    InitBitBuff(&c.bits, c.zfil);
    if (CopyFiles(c, fileCount)) return 1;
    STEP(c.in->InputedFiles(), "Error closing source files\r\n");
    STEP(OutputedFiles(&c.out), "Error closing dest files\r\n");
    ReleaseVFile(c.zfil);
    Log("\r\n");
    STEP(c.in->InputedArchive(), "Error closing source archive\r\n");
    STEP(OutputedArchive(&c.out), "Error closing dest archive\r\n");
    Log("Done.\r\n");
    // Unreadable content went into the copy as zeros: the copy succeeds, but
    // not silently.
    if (c.in->Unreadable() > 0) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "WARNING: %u file(s) could not be read, their content is zeros\r\n",
                      unsigned(c.in->Unreadable()));
        Log(text);
    }
    return 0;
}

// Section copies -------------------------------------------------------------

// The copies' messages for where a section pump stopped: the source's and
// the destination's, per step.
const char* const kStopMessages[][2] = {
    {"Cannot open boot sectors\r\n", "Cannot create boot sectors\r\n"},
    {"Cannot read boot sectors\r\n", "Cannot write boot sectors\r\n"},
    {"Error closing source boot sectors\r\n", "Error closing dest boot sectors\r\n"},
    {"Cannot open dir summary\r\n", "Cannot create dir summary\r\n"},
    {"Cannot read dir summary\r\n", "Cannot write dir summary\r\n"},
    {"Error closing source dir summary\r\n", "Error closing dest dir summary\r\n"},
    {"Cannot open file summary\r\n", "Cannot create file summary\r\n"},
    {"Cannot read file summary\r\n", "Cannot write file summary\r\n"},
    {"Error closing source file summary\r\n", "Error closing dest file summary\r\n"},
    {"Cannot open directories\r\n", "Cannot create directories\r\n"},
    {"Cannot open directory\r\n", "Cannot create directory\r\n"},
    {"Cannot read directory entry\r\n", "Cannot write directory entry\r\n"},
    {"Cannot read directory entry\r\n", "Cannot write directory entry\r\n"},
    {"Error closing source directories\r\n", "Error closing dest directories\r\n"},
    {"Cannot open files\r\n", "Cannot create files\r\n"},
    {"Cannot open file\r\n", "Cannot create file\r\n"},
    {"Cannot skip file\r\n", "Cannot create file\r\n"},
    {"Cannot read file chunk\r\n", "Cannot write file chunk\r\n"},
    {"Error closing source files\r\n", "Error closing dest files\r\n"},
};
static_assert(sizeof kStopMessages / sizeof kStopMessages[0] == kStepFilesClose + 1);

struct Sections {
    IArchive reader;
    SectionSink* sink = nullptr;
    const char* message = nullptr;
};

// Runs a section pump, its failure told in the copies' words.
#define PUMPED(call)                                                                               \
    do {                                                                                           \
        PumpStop stop;                                                                             \
        if ((call) != 0) {                                                                         \
            c.message = kStopMessages[stop.step][stop.side == kPumpSource ? 0 : 1];                \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

// The full archive's sections, one to one to the sink.
Status CopyFullSections(Sections& c, const char* src, const char* dst, uint32_t param,
                        uint8_t show) {
    IArchive* r = &c.reader;
    SectionSink* s = c.sink;
    const ArchiveHeader* header;
    STEP(OpenArchive(src, r), "Cannot open source\r\n");
    STEP(s->Open(dst, param), "Cannot create dest\r\n");
    STEP(ReadArchiveHeader(r, &header), "Cannot read header\r\n");
    ArchiveHeader h = *header;
    STEP(s->Header(h), "Cannot write header\r\n");
    PUMPED(PumpFullSections(r, h, s, show, &stop));
    STEP(CloseArchive(r), "Error closing source archive\r\n");
    STEP(s->End(), "Error closing dest archive\r\n");
    if (show & kShowSteps) Log("Done.\r\n");
    return 0;
}

// The incremental archive's steps to the incremental writer, the dump or
// the restore.
Status CopyIncrSections(Sections& c, const char* src, const char* dst, uint32_t param,
                        uint8_t show) {
    IArchive* r = &c.reader;
    SectionSink* s = c.sink;
    const ArchiveHeader* header;
    STEP(OpenIArchive(src, r), "Cannot open source\r\n");
    STEP(s->Open(dst, param), "Cannot create dest\r\n");
    STEP(ReadIArchiveHeader(r, &header), "Cannot read header\r\n");
    ArchiveHeader h = *header;
    STEP(s->IHeader(h), "Cannot write header\r\n");
    PUMPED(PumpIncrSections(r, h, s, show, &stop));
    Log("\r\n");
    STEP(CloseIArchive(r), "Error closing source archive\r\n");
    STEP(s->IEnd(), "Error closing dest archive\r\n");
    Log("Done.\r\n");
    return 0;
}

// Runs a section copy into a new sink; a failed copy gives back what the
// reader and the sink hold.
template <typename Copier> Status RunSections(uint8_t dstType, const char** message, Copier copy) {
    auto* c = new Sections{};
    c->sink = NewSectionSink(dstType);
    Status s = copy(*c);
    if (s) {
        AbandonArchive(&c->reader);
        c->sink->Abandon();
        *message = c->message;
    }
    delete c->sink;
    delete c;
    return s;
}

#undef PUMPED
#undef STEP

} // namespace

Status CopyArchive(const char* src, uint8_t dstType, const char* dst, uint32_t param,
                   const char** message) {
    if (dstType != kEndArchive && dstType != kEndDump) {
        *message = "Cannot create dest\r\n";
        return 1;
    }
    uint8_t show = kShowProgress | (dstType == kEndArchive ? kShowSteps : 0);
    return RunSections(dstType, message,
                       [&](Sections& c) { return CopyFullSections(c, src, dst, param, show); });
}

Status CopyIArchive(const char* src, uint8_t dstType, const char* dst, uint32_t param,
                    const char** message) {
    if (dstType != kEndIArchive && dstType != kEndIDump && dstType != kEndPath) {
        *message = "Cannot create dest\r\n";
        return 1;
    }
    uint8_t show =
        kShowProcess | (Trace() ? kShowTrace : 0) | (dstType == kEndIArchive ? kShowSteps : 0);
    return RunSections(dstType, message,
                       [&](Sections& c) { return CopyIncrSections(c, src, dst, param, show); });
}

namespace {

// Whether two archive names reach the same first fragment: writing one
// while reading the other would destroy the source.
bool SameArchive(const char* a, const char* b) {
    if (std::strcmp(a, b) == 0) return true;
    if (a[0] == '{' || b[0] == '{') return false;
    char ra[PATH_MAX], rb[PATH_MAX];
    return realpath(a, ra) && realpath(b, rb) && std::strcmp(ra, rb) == 0;
}

} // namespace

Status CopyAnyArchive(const CopyRequest& request, const char** message) {
    uint8_t srcType = ArchiveType(request.source);
    uint8_t dstType = ArchiveType(request.destination);
    char srcName[kCopyPathMax], dstName[kCopyPathMax];
    ArchiveName(request.source, srcName, sizeof srcName);
    ArchiveName(request.destination, dstName, sizeof dstName);
    bool filtered = request.filters && !request.filters->empty();
    TakeDiskFull(); // a note left by an earlier command is not this copy's
    int mark = MarkMemory();
    Status s;
    uint32_t param = (dstType == kEndArchive || dstType == kEndIArchive) ? request.fragmentSize
                                                                         : request.dumpFlags;
    bool archives = (srcType == kEndArchive || srcType == kEndIArchive) &&
                    (dstType == kEndArchive || dstType == kEndIArchive);
    // A restore to a path writes nothing before the archive is known sound.
    bool restore = (srcType == kEndArchive || srcType == kEndIArchive) && dstType == kEndPath;
    if (archives && SameArchive(srcName, dstName)) {
        Log("ERROR : Source and destination are the same archive\r\n");
        *message = "Cannot create dest\r\n";
        s = 1;
    } else if (restore && CheckBeforeRestore(srcName) != 0) {
        *message = "Cannot open source\r\n";
        s = 1;
    } else if (!filtered && srcType == kEndArchive &&
               (dstType == kEndArchive || dstType == kEndDump)) {
        s = CopyArchive(srcName, dstType, dstName, param, message);
    } else if (!filtered && srcType == kEndIArchive &&
               (dstType == kEndIArchive || dstType == kEndIDump || dstType == kEndPath)) {
        s = CopyIArchive(srcName, dstType, dstName, param, message);
    } else if (srcType != kEndArchive && srcType != kEndIArchive && srcType != kEndScan) {
        *message = "Cannot open source\r\n";
        s = 1;
    } else if (dstType == kEndNone || dstType == kEndScan) {
        *message = "Cannot create dest\r\n";
        s = 1;
    } else {
        auto* c = new Copy{};
        s = RunCopy(*c, request, srcType, srcName, dstType, dstName);
        if (s) {
            *message = c->message;
            AbandonOutput(&c->out);
            ReleaseVFile(c->zdir);
            ReleaseVFile(c->zfil);
        }
        c->in.reset();
        delete c;
    }
    if (s) RestoreMemory(mark);
    // Whichever step failed, a destination that ran out of space is what the
    // user needs to hear about.
    if (s && TakeDiskFull()) {
        static char full[kCopyPathMax + 32];
        std::snprintf(full, sizeof full, "Cannot write %s: disk full\r\n", dstName);
        *message = full;
    }
    return s;
}

} // namespace vk
