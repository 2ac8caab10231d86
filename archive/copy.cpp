// The copy engine: the source adapter over the reader and the scan, the
// general filtered copy and the two unfiltered section copies.
#include "archive/copy.h"

#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>

#include "archive/check.h"
#include "archive/dump.h"
#include "archive/output.h"
#include "archive/pump.h"
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

// Source adapter ---------------------------------------------------------------

namespace {

void CloseHandle(int16_t& h) {
    if (h >= 0) CloseVFile(h);
    h = -1;
}

bool Rebuilds(const InputContext* in) {
    return in->type == kEndArchive && in->header->dirAttr < in->header->summaryAttr;
}

Status InputArchive(InputContext* in, uint8_t type, const char* name) {
    in->type = type;
    in->entry = static_cast<uint8_t*>(Malloc(ParagraphsFor(kChunkData)));
    if (type == kEndArchive || type == kEndIArchive) {
        in->reader = new IArchive{};
        Status s =
            type == kEndArchive ? OpenArchive(name, in->reader) : OpenIArchive(name, in->reader);
        if (s) return s;
        if (ReadArchiveHeader(in->reader, &in->header)) return 2;
        in->headerCopy = *in->header;
        in->header = &in->headerCopy;
        return 0;
    }
    if (type == kEndScan) {
        in->scan = new ScanState{};
        return NewArchive(name, in->scan);
    }
    return -1;
}

Status InputFsInfos(InputContext* in, char id[4], uint16_t* attrSize) {
    if (in->type == kEndScan) {
        if (GetFsInfos(in->scan, id, attrSize)) return 1;
    } else {
        std::memcpy(id, in->header->fsId, 4);
        *attrSize = in->header->summaryAttr > in->header->dirAttr ? in->header->summaryAttr
                                                                  : in->header->dirAttr;
    }
    if (*attrSize > kAttrMax) return 1;
    in->attrSize = *attrSize;
    return 0;
}

Status InputBootSectors(InputContext* in, uint32_t* size) {
    if (in->type == kEndScan) return NewBootSectors(in->scan, size);
    if (in->type == kEndArchive) return OpenBootSectors(in->reader, size);
    *size = 0;
    return 0;
}

Status InputBootSectorsChunk(InputContext* in, const uint8_t** ptr, uint32_t* len) {
    if (in->type == kEndScan) return GetBootSectorsChunk(in->scan, ptr, len);
    if (in->type == kEndArchive) return ReadBootSectorsChunk(in->reader, ptr, len);
    return 1;
}

Status InputedBootSectors(InputContext* in) {
    if (in->type == kEndScan) return FinishBootSectors(in->scan) == 0 ? 0 : 1;
    if (in->type == kEndArchive) return CloseBootSectors(in->reader);
    return 0;
}

Status InputDirectories(InputContext* in, uint32_t* count) {
    if (in->type == kEndScan) {
        *count = in->scan->dirs;
        return NewDirectories(in->scan);
    }
    IArchive* r = in->reader;
    *count = in->header->dirCount;
    if (in->type == kEndIArchive) return OpenIFiles(r);
    uint16_t sa = in->header->summaryAttr;
    if (Rebuilds(in)) {
        in->inds = RewriteVFile("INDS");
        in->infs = RewriteVFile("INFS");
        if (in->inds < 0 || in->infs < 0) return 1;
    }
    const uint8_t* p;
    if (OpenDirSummary(r)) return 1;
    for (uint32_t i = 0; i < in->header->dirCount; ++i) {
        if (ReadDirSummaryEntry(r, &p)) return 1;
        if (in->inds >= 0 && WriteVFile(in->inds, p + DirSummary::kSize, sa)) return 1;
    }
    if (CloseDirSummary(r) || OpenFileSummary(r)) return 1;
    for (uint32_t i = 0; i < in->header->fileCount; ++i) {
        if (ReadFileSummaryEntry(r, &p)) return 1;
        if (in->infs >= 0 && WriteVFile(in->infs, p + kFileSummarySize, sa)) return 1;
    }
    if (CloseFileSummary(r)) return 1;
    if (in->infs >= 0 && SeekVFile(in->infs, 0)) return 1;
    in->dirNumber = 0;
    in->depth = 0;
    return OpenDirectories(r);
}

Status InputRootDirEntry(InputContext* in, const uint8_t** ptr) {
    if (in->type == kEndScan) return GetRootDirEntry(in->scan, ptr);
    std::memset(in->entry, 0, SubdirEntry::kSize + in->attrSize + 1);
    if (Rebuilds(in)) {
        if (SeekVFile(in->inds, 0) ||
            ReadVFile(in->inds, in->entry + SubdirEntry::kSize, in->header->summaryAttr))
            return 1;
    }
    *ptr = in->entry;
    return 0;
}

Status InputDirectory(InputContext* in, uint16_t* pops, uint32_t* subdirs, uint32_t* files,
                      uint32_t index) {
    if (in->type == kEndScan) return GetDirectory(in->scan, pops, subdirs, files);
    if (in->type == kEndIArchive) {
        IDirectoryRecord record;
        const char* name;
        if (ReadIDirectory(in->reader, &record, &name)) return 1;
        *pops = record.pops;
        *subdirs = record.subdirs;
        *files = record.files;
        return 0;
    }
    DirectoryRecord record;
    if (ReadDirectory(in->reader, &record)) return 1;
    *pops = record.pops;
    *subdirs = record.subdirs;
    *files = record.files;
    // Directories come in pre-order: the index is the directory number, and
    // its subdirectories' numbers follow it.
    in->dirNumber = index;
    in->nextChild[0] = index + 1;
    return 0;
}

// Puts the entry's fixed part, the given attributes and its name into the
// rebuild buffer.
Status Rebuild(InputContext* in, const uint8_t* p, uint32_t fixed, int16_t attrs, uint32_t attrsAt,
               const uint8_t** ptr) {
    uint16_t da = in->header->dirAttr, sa = in->header->summaryAttr;
    int32_t nameLength = EntryNameLength(p + fixed + da, kEntryNameMax);
    if (nameLength < 0) return 1;
    std::memcpy(in->entry, p, fixed);
    if (attrsAt != 0xFFFFFFFF && SeekVFile(attrs, attrsAt)) return 1;
    if (ReadVFile(attrs, in->entry + fixed, sa)) return 1;
    std::memcpy(in->entry + fixed + sa, p + fixed + da, size_t(nameLength) + 1);
    *ptr = in->entry;
    return 0;
}

Status InputDirEntryDir(InputContext* in, const uint8_t** ptr) {
    if (in->type == kEndScan) return GetDirEntryDir(in->scan, ptr);
    if (in->type == kEndIArchive) return ReadIDirEntryDir(in->reader, ptr);
    const uint8_t* p;
    if (ReadDirEntryDir(in->reader, &p)) return 1;
    uint32_t number = in->nextChild[0];
    uint64_t next = uint64_t(number) + SubdirEntry::Load(p).descendants;
    in->nextChild[0] = next > 0xFFFFFFFF ? 0xFFFFFFFF : uint32_t(next);
    if (!Rebuilds(in)) {
        *ptr = p;
        return 0;
    }
    if (number >= in->header->dirCount) return 1;
    return Rebuild(in, p, SubdirEntry::kSize, in->inds, number * in->header->summaryAttr, ptr);
}

Status InputDirEntryFile(InputContext* in, const uint8_t** ptr) {
    if (in->type == kEndScan) return GetDirEntryFile(in->scan, ptr);
    // The content follows the entry in an incremental archive: pass it.
    if (in->type == kEndIArchive) return ReadISkipFile(in->reader, ptr);
    const uint8_t* p;
    if (ReadDirEntryFile(in->reader, &p)) return 1;
    if (!Rebuilds(in)) {
        *ptr = p;
        return 0;
    }
    return Rebuild(in, p, kFileEntrySize, in->infs, 0xFFFFFFFF, ptr);
}

Status InputedDirectories(InputContext* in) {
    if (in->type == kEndScan) return FinishDirectories(in->scan);
    CloseHandle(in->inds);
    CloseHandle(in->infs);
    if (in->type == kEndArchive) return CloseDirectories(in->reader);
    // The file pass reads the incremental archive a second time.
    if (CloseIFiles(in->reader) || ReopenIArchive(in->reader)) return 1;
    const ArchiveHeader* again;
    if (ReadIArchiveHeader(in->reader, &again)) return 1;
    return std::memcmp(again, &in->headerCopy, sizeof in->headerCopy) == 0 ? 0 : 1;
}

Status InputFiles(InputContext* in, uint32_t* count) {
    if (in->type == kEndScan) {
        *count = in->scan->files;
        return NewFiles(in->scan);
    }
    *count = in->header->fileCount;
    if (in->type == kEndArchive) return OpenFiles(in->reader);
    in->dirsLeft = in->header->dirCount;
    in->filesLeft = 0;
    return OpenIFiles(in->reader);
}

// Incremental source, file pass: walks over directory records until one
// with files remains.
Status NextIFile(InputContext* in) {
    while (in->filesLeft == 0) {
        if (in->dirsLeft == 0) return 1;
        IDirectoryRecord record;
        const char* name;
        const uint8_t* p;
        if (ReadIDirectory(in->reader, &record, &name)) return 1;
        for (uint32_t i = 0; i < record.subdirs; ++i)
            if (ReadIDirEntryDir(in->reader, &p)) return 1;
        in->filesLeft = record.files;
        --in->dirsLeft;
    }
    --in->filesLeft;
    return 0;
}

Status InputSkipFile(InputContext* in, uint32_t* size) {
    if (in->type == kEndScan) return DismissFile(in->scan, size);
    if (in->type == kEndArchive) return ReadSkipFile(in->reader, size);
    const uint8_t* p;
    if (NextIFile(in) || ReadISkipFile(in->reader, &p)) return 1;
    *size = ld32(p);
    return 0;
}

Status InputFileHeader(InputContext* in, uint32_t* size) {
    if (in->type == kEndScan) return GetFileHeader(in->scan, size);
    if (in->type == kEndArchive) return ReadFileHeader(in->reader, size);
    const uint8_t* p;
    if (NextIFile(in) || ReadIDirEntryFile(in->reader, &p)) return 1;
    *size = ld32(p);
    return 0;
}

Status InputFileContent(InputContext* in, const uint8_t** ptr, uint32_t* len) {
    if (in->type == kEndScan) return GetFileContent(in->scan, ptr, len);
    if (in->type == kEndArchive) return ReadFileContent(in->reader, ptr, len);
    return ReadIFileContent(in->reader, ptr, len);
}

Status InputedFiles(InputContext* in) {
    if (in->type == kEndScan) return FinishFiles(in->scan);
    if (in->type == kEndArchive) return CloseFiles(in->reader);
    // Directories without files after the last file.
    while (in->dirsLeft > 0) {
        in->filesLeft = 0;
        IDirectoryRecord record;
        const char* name;
        const uint8_t* p;
        if (ReadIDirectory(in->reader, &record, &name) || record.files != 0) return 1;
        for (uint32_t i = 0; i < record.subdirs; ++i)
            if (ReadIDirEntryDir(in->reader, &p)) return 1;
        --in->dirsLeft;
    }
    return CloseIFiles(in->reader);
}

Status InputedArchive(InputContext* in) {
    Status s = 0;
    if (in->type == kEndScan) s = FinishArchive(in->scan);
    if (in->type == kEndArchive) s = CloseArchive(in->reader);
    if (in->type == kEndIArchive) s = CloseIArchive(in->reader);
    if (in->reader) {
        delete in->reader;
        in->reader = nullptr;
    }
    return s;
}

// Releases whatever the source still holds after a failure.
void AbandonInput(InputContext* in) {
    CloseHandle(in->inds);
    CloseHandle(in->infs);
    if (in->reader) {
        AbandonArchive(in->reader);
        delete in->reader;
        in->reader = nullptr;
    }
    if (in->scan) {
        FinishArchive(in->scan);
        delete in->scan;
        in->scan = nullptr;
    }
    if (in->entry) Free(in->entry);
    in->entry = nullptr;
}

// General copy -----------------------------------------------------------------

constexpr uint32_t kZdirRecord = kCopyPathMax + 1; // relative path and a selected flag

struct Copy {
    InputContext in;
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
    STEP(InputBootSectors(&c.in, &bootSize), "Cannot open boot sectors\r\n");
    STEP(OutputBootSectors(&c.out, bootSize), "Cannot create boot sectors\r\n");
    PumpFault fault = PumpPieces(
        bootSize,
        [&c](uint32_t, const uint8_t** p, uint32_t* n) {
            return InputBootSectorsChunk(&c.in, p, n);
        },
        [&c](const uint8_t* p, uint32_t n) { return OutputBootSectorsChunk(&c.out, p, n); });
    STEP(fault == kPumpSource, "Cannot read boot sectors\r\n");
    STEP(fault == kPumpSink, "Cannot write boot sectors\r\n");
    STEP(InputedBootSectors(&c.in), "Error closing source boot sectors\r\n");
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
        return InputFileContent(&c.in, p, n);
    };
    for (uint32_t f = 0; f < fileCount; ++f) {
        bool pass;
        STEP(ReadBitBuff(&c.bits, &pass), "Cannot read temp file\r\n");
        uint32_t size;
        // A file not selected is passed; a destination without contents
        // gets only their sizes, in pieces.
        if (!pass || !data) STEP(InputSkipFile(&c.in, &size), "Cannot skip file\r\n");
        if (!pass) continue;
        if (data) STEP(InputFileHeader(&c.in, &size), "Cannot open file\r\n");
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
        STEP(isDir ? InputDirEntryDir(&c.in, &entry) : InputDirEntryFile(&c.in, &entry),
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
            uint8_t child[kZdirRecord] = {};
            std::memcpy(child, full, pathLength + size_t(nameLength));
            child[kCopyPathMax] = pass ? 1 : 0;
            STEP(WriteVFile(c.zdir, child, kZdirRecord), "Cannot write temp file\r\n");
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
    STEP(InputDirectories(&c.in, &dirCount), "Cannot open directories\r\n");
    STEP(OutputDirectories(&c.out), "Cannot create directories\r\n");
    c.zfil = RewriteVFile("ZFIL");
    c.zdir = RewriteVFile("ZDIR");
    if (c.zfil < 0 || c.zdir < 0) STEP(1, "Cannot rewrite VFile");
    InitBitBuff(&c.bits, c.zfil);
    uint8_t record[kZdirRecord] = {};
    record[kCopyPathMax] = 1;
    STEP(WriteVFile(c.zdir, record, kZdirRecord), "Cannot write temp file\r\n");
    Log("1. Reading directories : ");
    const uint8_t* entry;
    STEP(InputRootDirEntry(&c.in, &entry), "Cannot read root directory entry\r\n");
    STEP(OutputRootDirEntry(&c.out, entry), "Cannot write root directory entry\r\n");

    uint32_t offsets[kCopyDepthMax + 1] = {};
    uint32_t childrenLeft[kCopyDepthMax + 1] = {};
    uint32_t depth = 0, outDepth = 0;
    for (uint32_t d = 0; d < dirCount; ++d) {
        uint16_t pops;
        uint32_t subdirs, files;
        STEP(InputDirectory(&c.in, &pops, &subdirs, &files, d), "Cannot open directory\r\n");
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
            STEP(SeekVFile(c.zdir, offsets[depth]) || ReadVFile(c.zdir, record, kZdirRecord),
                 "Cannot read temp file\r\n");
            if (c.trace) {
                Log("\r\nPARENT   : offset ");
                LogHex(offsets[depth]);
                Log(", name ");
                Log(reinterpret_cast<const char*>(record));
            }
            offsets[depth] += kZdirRecord;
            record[kCopyPathMax - 1] = 0;
            size_t length = std::strlen(reinterpret_cast<const char*>(record));
            if (length + 2 > kCopyPathMax) STEP(1, "Path too long\r\n");
            std::memcpy(path, record, length);
            path[length] = '/';
            selected = record[kCopyPathMax] != 0;
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
    CloseHandle(c.zdir);
    STEP(FlushBitBuff(&c.bits), "Cannot write temp file\r\n");
    STEP(InputedDirectories(&c.in), "Error closing source directories\r\n");
    return 0;
}

Status RunCopy(Copy& c, const CopyRequest& request, uint8_t srcType, const char* srcName,
               uint8_t dstType, const char* dstName) {
    const FilterSet empty;
    const FilterSet& filters = request.filters ? *request.filters : empty;
    uint32_t param = (dstType == kEndArchive || dstType == kEndIArchive) ? request.fragmentSize
                                                                         : request.dumpFlags;
    STEP(InputArchive(&c.in, srcType, srcName), "Cannot open source\r\n");
    STEP(OutputArchive(&c.out, dstType, dstName, param), "Cannot create dest\r\n");
    char id[4];
    uint16_t attrSize;
    STEP(InputFsInfos(&c.in, id, &attrSize), "Cannot read filesystem infos\r\n");
    const FsHandler* sourceHandler = c.in.scan ? c.in.scan->handler : nullptr;
    STEP(OutputFsInfos(&c.out, id, attrSize, sourceHandler), "Cannot write filesystem infos\r\n");
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
    STEP(InputFiles(&c.in, &fileCount), "Cannot open files\r\n");
    STEP(OutputFiles(&c.out), "Cannot create files\r\n");
    InitBitBuff(&c.bits, c.zfil);
    if (CopyFiles(c, fileCount)) return 1;
    STEP(InputedFiles(&c.in), "Error closing source files\r\n");
    STEP(OutputedFiles(&c.out), "Error closing dest files\r\n");
    CloseHandle(c.zfil);
    Log("\r\n");
    STEP(InputedArchive(&c.in), "Error closing source archive\r\n");
    STEP(OutputedArchive(&c.out), "Error closing dest archive\r\n");
    Log("Done.\r\n");
    // Unreadable content went into the copy as zeros: the copy succeeds, but
    // not silently.
    if (c.in.scan && c.in.scan->unreadable > 0) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "WARNING: %u file(s) could not be read, their content is zeros\r\n",
                      unsigned(c.in.scan->unreadable));
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
            CloseHandle(c->zdir);
            CloseHandle(c->zfil);
        }
        AbandonInput(&c->in);
        delete c;
    }
    if (s) RestoreMemory(mark);
    return s;
}

} // namespace vk
