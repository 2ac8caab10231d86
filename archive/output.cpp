// The destination adapter. The tree is held in virtual files while it
// arrives: "OUBS" (boot sectors), "OUDS" (directory summary entries at
// (20 + SA) x directory number), "OUFS" (file summary entries in file
// order), "OUDC" (per directory a record, then its entries) and "OUDA"
// (the summary attributes of subdirectory entries, in entry order).
#include "archive/output.h"

#include <cstring>

#include "archive/vfile.h"
#include "disk/dirref.h"
#include "disk/partitions.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk {

namespace {

// "OUDC" directory record fields.
constexpr uint32_t kRecPops = 0;    // u16
constexpr uint32_t kRecSubdirs = 4; // u32
constexpr uint32_t kRecFiles = 8;   // u32
constexpr uint32_t kRecBlocks = 12; // 6 x u16
constexpr uint32_t kRecName = 24;   // 128 bytes
static_assert(kRecName + kOudcName == kOudcRecord);

uint16_t DA(const OutputContext* o) {
    return o->header.dirAttr;
}
uint16_t SA(const OutputContext* o) {
    return o->header.summaryAttr;
}
uint32_t SubdirSlot(const OutputContext* o) {
    return SubdirEntry::kSize + DA(o) + kOudcName;
}
uint32_t FileSlot(const OutputContext* o) {
    return kFileEntrySize + DA(o) + kOudcName;
}
uint32_t SummarySlot(const OutputContext* o) {
    return DirSummary::kSize + SA(o);
}

void CloseHandle(int16_t& h) {
    if (h >= 0) CloseVFile(h);
    h = -1;
}

uint16_t Saturate16(uint32_t v) {
    return v > 0xFFFF ? 0xFFFF : uint16_t(v);
}

// Name of an incoming entry whose fixed part and attributes take `at`
// bytes, checked to end within the archive's name limit.
const char* EntryName(const uint8_t* entry, uint32_t at) {
    if (EntryNameLength(entry + at, kEntryNameMax) < 0) return nullptr;
    return reinterpret_cast<const char*>(entry + at);
}

void SizeEntry(OutputContext* o, OutputLevel* level, uint8_t kind, uint32_t size,
               const char* name) {
    FsEntry e{};
    std::strncpy(e.path, name, kPathMax - 1);
    e.name = e.path;
    e.kind = kind;
    e.size = size;
    for (int i = 0; i < kBlockSizes; ++i)
        level->bytes[i] = o->handler->AddEntrySize(level->bytes[i], &e, uint16_t(1024u << i));
}

Status PushDir(OutputContext* o) {
    if (o->depth >= kCopyDepthMax) return 1;
    OutputLevel* level = &o->stack[o->depth];
    *level = OutputLevel{};
    uint8_t record[kOudcRecord] = {};
    if (o->depth > 0) {
        OutputLevel* parent = &o->stack[o->depth - 1];
        // A directory is entered only through one of its parent's entries.
        if (parent->entered >= parent->subdirEntries) return 1;
        level->number = parent->number + parent->descendants;
        ++parent->entered;
        // The name comes from the parent's entry for it.
        uint8_t entry[SubdirEntry::kSize + kAttrMax + kOudcName];
        uint32_t at = parent->recordAt + kOudcRecord + (parent->entered - 1) * SubdirSlot(o);
        if (SeekVFile(o->oudc, at) || ReadVFile(o->oudc, entry, SubdirSlot(o))) return 1;
        std::memcpy(record + kRecName, entry + SubdirEntry::kSize + DA(o), kOudcName);
        // Its summary attributes, next to its summary head.
        uint8_t summary[DirSummary::kSize + kAttrMax] = {};
        if (SA(o) > 0) {
            uint32_t attrsAt = parent->attrsAt + (parent->entered - 1) * SA(o);
            if (SeekVFile(o->ouda, attrsAt) ||
                ReadVFile(o->ouda, summary + DirSummary::kSize, SA(o)))
                return 1;
        }
        if (SeekVFile(o->ouds, level->number * SummarySlot(o)) ||
            WriteVFile(o->ouds, summary, SummarySlot(o)))
            return 1;
    }
    if (SeekEofVFile(o->oudc) || SeekEofVFile(o->ouda)) return 1;
    level->recordAt = TellVFile(o->oudc);
    level->attrsAt = TellVFile(o->ouda);
    ++o->depth;
    return WriteVFile(o->oudc, record, kOudcRecord);
}

Status PopDirs(OutputContext* o, uint32_t n) {
    for (; n > 0; --n) {
        if (o->depth == 0) return 1;
        OutputLevel* level = &o->stack[o->depth - 1];
        OutputLevel* parent = o->depth > 1 ? &o->stack[o->depth - 2] : nullptr;
        uint8_t record[kOudcRecord];
        if (SeekVFile(o->oudc, level->recordAt) || ReadVFile(o->oudc, record, kOudcRecord))
            return 1;
        DirSummary head;
        for (int i = 0; i < kBlockSizes; ++i) {
            uint32_t bs = 1024u << i;
            level->bytes[i] = o->handler->AddEntrySize(level->bytes[i], nullptr, uint16_t(bs));
            uint32_t blocks = uint32_t((uint64_t(level->bytes[i]) + bs - 1) / bs);
            head.blocks[i] = Saturate16(blocks);
            level->totals[i] += blocks;
            st16(record + kRecBlocks + 2 * i, head.blocks[i]);
        }
        head.subdirs = level->subdirEntries;
        head.files = level->fileEntries;
        st32(record + kRecSubdirs, level->subdirEntries);
        st32(record + kRecFiles, level->fileEntries);
        uint8_t raw[DirSummary::kSize];
        head.Store(raw);
        if (SeekVFile(o->ouds, level->number * SummarySlot(o)) ||
            WriteVFile(o->ouds, raw, DirSummary::kSize))
            return 1;
        if (parent) {
            parent->descendants += level->descendants;
            for (int i = 0; i < kBlockSizes; ++i)
                parent->totals[i] += level->totals[i];
            // Complete this directory's entry among the parent's.
            uint32_t at = parent->recordAt + kOudcRecord + (parent->entered - 1) * SubdirSlot(o);
            SubdirEntry fixed;
            fixed.descendants = level->descendants;
            for (int i = 0; i < kBlockSizes; ++i)
                fixed.totals[i] = Saturate16(level->totals[i]);
            uint8_t bytes[SubdirEntry::kSize];
            fixed.Store(bytes);
            if (SeekVFile(o->oudc, at) || WriteVFile(o->oudc, bytes, SubdirEntry::kSize)) return 1;
        }
        if (SeekVFile(o->oudc, level->recordAt) || WriteVFile(o->oudc, record, kOudcRecord))
            return 1;
        if (SeekEofVFile(o->oudc)) return 1;
        --o->depth;
    }
    return 0;
}

// Copies `count` items of `size` bytes from a virtual file to a writer step.
template <typename Step>
Status Replay(OutputContext* o, int16_t h, uint32_t count, uint32_t size, Step step) {
    for (uint32_t i = 0; i < count; ++i) {
        if (ReadVFile(h, o->scratch, size) || step(o->scratch)) return 1;
    }
    return 0;
}

// The full tree to the writer or the dump, section by section.
Status WriteFullTree(OutputContext* o) {
    ArchiveWriter* w = o->writer;
    DumpState* d = &o->dump;
    bool dump = o->type == kEndDump;
    if (dump ? StartDumpBootSectors(d, o->bootSize) : RewriteBootSectors(w, o->bootSize)) return 1;
    for (uint32_t left = o->bootSize; left > 0;) {
        uint32_t n = left < kChunkData ? left : kChunkData;
        if (ReadVFile(o->oubs, o->scratch, n)) return 1;
        if (dump ? DumpBootSectorsChunk(d, o->scratch, n) : WriteBootSectorsChunk(w, o->scratch, n))
            return 1;
        left -= n;
    }
    if (dump ? EndDumpBootSectors(d) : DoneBootSectors(w)) return 1;
    if ((dump ? StartDumpDirSummary(d) : RewriteDirSummary(w)) ||
        Replay(o, o->ouds, o->header.dirCount, SummarySlot(o),
               [=](const uint8_t* e) {
                   return dump ? DumpDirSummaryEntry(d, e) : WriteDirSummaryEntry(w, e);
               }) ||
        (dump ? EndDumpDirSummary(d) : DoneDirSummary(w)))
        return 1;
    if ((dump ? StartDumpFileSummary(d) : RewriteFileSummary(w)) ||
        Replay(o, o->oufs, o->header.fileCount, kFileSummarySize + SA(o),
               [=](const uint8_t* e) {
                   return dump ? DumpFileSummaryEntry(d, e) : WriteFileSummaryEntry(w, e);
               }) ||
        (dump ? EndDumpFileSummary(d) : DoneFileSummary(w)))
        return 1;
    if (dump ? StartDumpDirectories(d) : RewriteDirectories(w)) return 1;
    bool progress = !dump && !SettingIsOn("trace");
    for (uint32_t n = 0; n < o->header.dirCount; ++n) {
        uint8_t record[kOudcRecord];
        if (ReadVFile(o->oudc, record, kOudcRecord)) return 1;
        DirectoryRecord r;
        for (int i = 0; i < kBlockSizes; ++i)
            r.blocks[i] = ld16(record + kRecBlocks + 2 * i);
        r.subdirs = ld32(record + kRecSubdirs);
        r.files = ld32(record + kRecFiles);
        r.pops = ld16(record + kRecPops);
        if (dump ? DumpDirectory(d, &r) : WriteDirectory(w, r)) return 1;
        if (Replay(o, o->oudc, r.subdirs, SubdirSlot(o),
                   [=](const uint8_t* e) {
                       return dump ? DumpDirEntryDir(d, e) : WriteDirEntryDir(w, e);
                   }) ||
            Replay(o, o->oudc, r.files, FileSlot(o), [=](const uint8_t* e) {
                return dump ? DumpDirEntryFile(d, e) : WriteDirEntryFile(w, e);
            }))
            return 1;
        if (progress) CountUpChanged(n + 1, o->header.dirCount);
    }
    return dump ? EndDumpDirectories(d) : DoneDirectories(w);
}

// Emits directory records until one with files due is reached.
Status IncrOutputDirs(OutputContext* o) {
    while (o->dirsToEmit > 0 && o->filesDue == 0) {
        uint8_t record[kOudcRecord];
        if (ReadVFile(o->oudc, record, kOudcRecord)) return 1;
        IDirectoryRecord r;
        r.pops = ld16(record + kRecPops);
        r.subdirs = ld32(record + kRecSubdirs);
        r.files = ld32(record + kRecFiles);
        char name[kOudcName];
        std::memcpy(name, record + kRecName, kOudcName);
        name[kOudcName - 1] = '\0';
        Status s = 1;
        if (o->type == kEndIArchive) s = WriteIDirectory(o->writer, r, name);
        if (o->type == kEndIDump) s = DumpIDirectory(&o->dump, &r, name);
        if (o->type == kEndPath) s = RealizeIDirectory(&o->restore, &r, name);
        if (s) return 1;
        if (Replay(o, o->oudc, r.subdirs, SubdirSlot(o), [o](const uint8_t* e) {
                if (o->type == kEndIArchive) return WriteIDirEntryDir(o->writer, e);
                if (o->type == kEndIDump) return DumpIDirEntryDir(&o->dump, e);
                return RealizeIDirEntryDir(&o->restore, e);
            }))
            return 1;
        o->filesDue = r.files;
        --o->dirsToEmit;
    }
    return 0;
}

} // namespace

const FsHandler* FindHandlerById(const char id[4], const FsHandler* also) {
    if (const FsHandler* h = FindFsID(id)) return h;
    if (also && std::memcmp(also->id, id, 4) == 0) return also;
    // The host directory driver is reached through the file layer's host
    // route; it stands for "EXT2" where no ext2 driver is registered.
    FsDirRef host;
    char last[8];
    if (GetDirRef("/", &host, last, sizeof last) == 0 && host.state && host.state->handler &&
        std::memcmp(host.state->handler->id, id, 4) == 0)
        return host.state->handler;
    return nullptr;
}

Status OutputArchive(OutputContext* o, uint8_t type, const char* name, uint32_t param) {
    o->type = type;
    o->scratch = static_cast<uint8_t*>(Malloc(ParagraphsFor(kChunkData)));
    switch (type) {
    case kEndArchive:
    case kEndIArchive:
        o->writer = new ArchiveWriter{};
        if (type == kEndArchive) return RewriteArchive(name, param, o->writer);
        return RewriteIArchive(name, param, o->writer);
    case kEndDump: o->started = true; return StartDumpArchive(uint16_t(param), &o->dump);
    case kEndIDump: o->started = true; return StartDumpIArchive(uint16_t(param), &o->dump);
    case kEndPath: o->started = true; return ProcessIArchive(name, &o->restore);
    default: return -1;
    }
}

Status OutputFsInfos(OutputContext* o, const char id[4], uint16_t attrSize,
                     const FsHandler* sourceHandler) {
    o->handler = FindHandlerById(id, sourceHandler);
    if (!o->handler || !o->handler->AddEntrySize) {
        Log("Unknown Filesystem ID\r\n");
        return 1;
    }
    if (attrSize > kAttrMax) return 1;
    o->attrSize = attrSize;
    o->header = ArchiveHeader{};
    std::memcpy(o->header.fsId, id, 4);
    if (o->type == kEndArchive || o->type == kEndDump) {
        if (o->handler->flags & kFsAttrWithSummaries) o->header.summaryAttr = attrSize;
        if (o->handler->flags & kFsAttrWithEntries) o->header.dirAttr = attrSize;
    } else {
        o->header.dirAttr = attrSize;
    }
    return 0;
}

Status OutputBootSectors(OutputContext* o, uint32_t size) {
    o->oubs = RewriteVFile("OUBS");
    if (o->oubs < 0) return 1;
    o->bootSize = size;
    return 0;
}

Status OutputBootSectorsChunk(OutputContext* o, const uint8_t* data, uint32_t n) {
    return WriteVFile(o->oubs, data, n);
}

Status OutputedBootSectors(OutputContext* o) {
    if (TellVFile(o->oubs) != o->bootSize) return 1;
    return SeekVFile(o->oubs, 0);
}

Status OutputDirectories(OutputContext* o) {
    o->ouds = RewriteVFile("OUDS");
    o->oufs = RewriteVFile("OUFS");
    o->oudc = RewriteVFile("OUDC");
    o->ouda = RewriteVFile("OUDA");
    o->depth = 0;
    return (o->ouds < 0 || o->oufs < 0 || o->oudc < 0 || o->ouda < 0) ? 1 : 0;
}

Status OutputRootDirEntry(OutputContext* o, const uint8_t* entry) {
    o->header.dirCount = 1;
    uint8_t summary[DirSummary::kSize + kAttrMax] = {};
    std::memcpy(summary + DirSummary::kSize, entry + SubdirEntry::kSize, SA(o));
    return WriteVFile(o->ouds, summary, SummarySlot(o));
}

Status OutputDirectory(OutputContext* o, uint16_t pops) {
    if (pops > o->depth) {
        Log("Internal error: too much dir to pop\r\n");
        return 1;
    }
    if (PopDirs(o, pops)) return 1;
    // Only the root is entered at depth 0, and only once.
    if (o->depth == 0 && TellVFile(o->oudc) != 0) return 1;
    if (PushDir(o)) return 1;
    uint8_t record[2];
    st16(record, pops);
    uint32_t at = o->stack[o->depth - 1].recordAt + kRecPops;
    if (SeekVFile(o->oudc, at) || WriteVFile(o->oudc, record, 2)) return 1;
    return SeekEofVFile(o->oudc);
}

Status OutputDirEntryDir(OutputContext* o, const uint8_t* entry) {
    if (o->depth == 0) return 1;
    OutputLevel* level = &o->stack[o->depth - 1];
    // Subdirectory entries come before the directory's files.
    if (level->fileEntries > 0 || level->entered > 0) return 1;
    const char* name = EntryName(entry, SubdirEntry::kSize + o->attrSize);
    if (!name) return 1;
    ++o->header.dirCount;
    ++level->subdirEntries;
    SizeEntry(o, level, kKindDir, 0xFFFFFFFF, name);
    uint8_t slot[SubdirEntry::kSize + kAttrMax + kOudcName] = {};
    std::memcpy(slot, entry, SubdirEntry::kSize + DA(o));
    std::strncpy(reinterpret_cast<char*>(slot + SubdirEntry::kSize + DA(o)), name, kOudcName - 1);
    if (WriteVFile(o->oudc, slot, SubdirSlot(o))) return 1;
    if (SA(o) > 0 && WriteVFile(o->ouda, entry + SubdirEntry::kSize, SA(o))) return 1;
    return 0;
}

Status OutputDirEntryFile(OutputContext* o, const uint8_t* entry) {
    if (o->depth == 0) return 1;
    OutputLevel* level = &o->stack[o->depth - 1];
    if (level->entered > 0) return 1;
    const char* name = EntryName(entry, kFileEntrySize + o->attrSize);
    if (!name) return 1;
    uint32_t size = ld32(entry);
    ++o->header.fileCount;
    o->header.sumOfSizes += size; // the writer recounts it; a dump shows it
    ++level->fileEntries;
    SizeEntry(o, level, kKindFile, size, name);
    uint8_t slot[kFileEntrySize + kAttrMax + kOudcName] = {};
    std::memcpy(slot, entry, kFileEntrySize + DA(o));
    std::strncpy(reinterpret_cast<char*>(slot + kFileEntrySize + DA(o)), name, kOudcName - 1);
    if (WriteVFile(o->oudc, slot, FileSlot(o))) return 1;
    uint8_t summary[kFileSummarySize + kAttrMax];
    std::memcpy(summary, entry, kFileSummarySize + SA(o));
    return WriteVFile(o->oufs, summary, kFileSummarySize + SA(o));
}

Status OutputedDirectories(OutputContext* o) {
    if (PopDirs(o, o->depth)) return 1;
    CloseHandle(o->ouda);
    if (SeekVFile(o->oufs, 0) || SeekVFile(o->ouds, 0) || SeekVFile(o->oudc, 0)) return 1;
    o->dirsToEmit = o->header.dirCount;
    o->filesDue = 0;
    Status s = 1;
    switch (o->type) {
    case kEndArchive:
        s = WriteArchiveHeader(o->writer, o->header);
        if (s == 0) s = WriteFullTree(o);
        break;
    case kEndDump:
        s = DumpArchiveHeader(&o->dump, &o->header);
        if (s == 0) s = WriteFullTree(o);
        break;
    case kEndIArchive: s = WriteIArchiveHeader(o->writer, o->header); break;
    case kEndIDump: s = DumpIArchiveHeader(&o->dump, &o->header); break;
    case kEndPath: s = RealizeIArchiveHeader(&o->restore, &o->header); break;
    default: break;
    }
    // A full destination keeps the file summary: every file's content must
    // have the size its entry announced.
    if (o->type != kEndArchive && o->type != kEndDump) CloseHandle(o->oufs);
    CloseHandle(o->ouds);
    CloseHandle(o->oubs);
    o->bootSize = 0;
    if (s) return 1;
    if (o->oufs >= 0 && SeekVFile(o->oufs, 0)) return 1;
    return SeekVFile(o->oudc, 0);
}

Status OutputFiles(OutputContext* o) {
    switch (o->type) {
    case kEndArchive: return RewriteFiles(o->writer);
    case kEndIArchive: return RewriteIFiles(o->writer);
    case kEndDump: return StartDumpFiles(&o->dump);
    case kEndIDump: return StartDumpIFiles(&o->dump);
    case kEndPath: return ProcessIFiles(&o->restore);
    default: return -1;
    }
}

Status OutputFileHeader(OutputContext* o, uint32_t size) {
    if (o->type == kEndArchive || o->type == kEndDump) {
        if (ReadVFile(o->oufs, o->scratch, kFileSummarySize + SA(o)) || ld32(o->scratch) != size)
            return 1;
        if (o->type == kEndArchive) return WriteFileHeader(o->writer, size);
        return DumpFileHeader(&o->dump, size);
    }
    if (IncrOutputDirs(o) || o->filesDue == 0) return 1;
    --o->filesDue;
    if (ReadVFile(o->oudc, o->scratch, FileSlot(o))) return 1;
    // The content must be what the directory pass announced.
    if (ld32(o->scratch) != size) return 1;
    o->fileSize = size;
    if (o->type == kEndIArchive) return WriteIDirEntryFile(o->writer, o->scratch);
    if (o->type == kEndIDump) return DumpIDirEntryFile(&o->dump, o->scratch);
    return RealizeIDirEntryFile(&o->restore, o->scratch);
}

Status OutputFileContent(OutputContext* o, const uint8_t* data, uint32_t n) {
    if (o->type == kEndArchive) return WriteFileContent(o->writer, data, n);
    if (o->type == kEndDump) return DumpFileContent(&o->dump, data, n);
    if (n > o->fileSize) return 1;
    o->fileSize -= n;
    if (o->type == kEndIArchive) return WriteIFileContent(o->writer, data, n);
    if (o->type == kEndIDump) return DumpIFileContent(&o->dump, data, n);
    return RealizeIFileContent(&o->restore, data, n);
}

Status OutputedFiles(OutputContext* o) {
    if (o->type == kEndArchive || o->type == kEndDump) {
        bool complete = EofVFile(o->oufs);
        CloseHandle(o->oufs);
        if (!complete) return 1;
        if (o->type == kEndArchive) return DoneFiles(o->writer);
        return EndDumpFiles(&o->dump);
    }
    // Directories without files at the end of the tree.
    if (IncrOutputDirs(o) || o->dirsToEmit != 0 || o->filesDue != 0) return 1;
    if (o->type == kEndIArchive) return DoneIFiles(o->writer);
    if (o->type == kEndIDump) return EndDumpIFiles(&o->dump);
    return EndOfIFiles(&o->restore) == 0 ? 0 : 1;
}

Status OutputedArchive(OutputContext* o) {
    CloseHandle(o->oudc);
    Status s = 1;
    switch (o->type) {
    case kEndArchive: s = DoneArchive(o->writer); break;
    case kEndIArchive: s = DoneIArchive(o->writer); break;
    case kEndDump: s = EndDumpArchive(&o->dump); break;
    case kEndIDump: s = EndDumpIArchive(&o->dump); break;
    case kEndPath: s = EndOfIArchive(&o->restore); break;
    default: break;
    }
    // A writer that failed its last step still gives its buffers back.
    o->finished = s == 0 || !o->writer;
    AbandonOutput(o);
    return s;
}

void AbandonOutput(OutputContext* o) {
    if (o->started && !o->finished) {
        if (o->type == kEndPath) EndOfIArchive(&o->restore);
        if (o->type == kEndDump || o->type == kEndIDump) AbandonDump(&o->dump);
    }
    o->started = false;
    if (o->writer) {
        if (!o->finished) AbortArchive(o->writer);
        delete o->writer;
        o->writer = nullptr;
    }
    CloseHandle(o->oubs);
    CloseHandle(o->ouds);
    CloseHandle(o->oufs);
    CloseHandle(o->oudc);
    CloseHandle(o->ouda);
    if (o->scratch) Free(o->scratch);
    o->scratch = nullptr;
}

} // namespace vk
