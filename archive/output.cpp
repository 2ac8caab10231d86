// The destination adapter. The tree is held in virtual files while it
// arrives: "OUBS" (boot sectors), "OUDS" (directory summary entries at
// (20 + SA) x directory number), "OUFS" (file summary entries in file
// order), "OUDC" (per directory a record, then its entries) and "OUDA"
// (the summary attributes of subdirectory entries, in entry order).
#include "archive/output.h"

#include <cstring>

#include "archive/pump.h"
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

// Whether the destination is a full archive or its dump.
bool Full(const OutputContext* o) {
    return o->type == kEndArchive || o->type == kEndDump;
}

// Copies `count` items of `size` bytes from a virtual file to a sink step.
Status Replay(OutputContext* o, int16_t h, uint32_t count, uint32_t size,
              Status (SectionSink::*step)(const uint8_t*)) {
    for (uint32_t i = 0; i < count; ++i) {
        if (ReadVFile(h, o->scratch, size) || (o->sink->*step)(o->scratch)) return 1;
    }
    return 0;
}

// The full tree to the sink, section by section.
Status WriteFullTree(OutputContext* o) {
    SectionSink* s = o->sink;
    if (s->BeginBootSectors(o->bootSize)) return 1;
    PumpFault fault = PumpPieces(
        o->bootSize,
        [o](uint32_t left, const uint8_t** p, uint32_t* n) {
            *n = left < kChunkData ? left : kChunkData;
            *p = o->scratch;
            return ReadVFile(o->oubs, o->scratch, *n);
        },
        [s](const uint8_t* p, uint32_t n) { return s->BootPiece(p, n); });
    if (fault != kPumpDone || s->EndBootSectors()) return 1;
    if (s->BeginDirSummary() ||
        Replay(o, o->ouds, o->header.dirCount, SummarySlot(o), &SectionSink::DirSummaryEntry) ||
        s->EndDirSummary())
        return 1;
    if (s->BeginFileSummary() ||
        Replay(o, o->oufs, o->header.fileCount, kFileSummarySize + SA(o),
               &SectionSink::FileSummaryEntry) ||
        s->EndFileSummary())
        return 1;
    if (s->BeginDirectories()) return 1;
    bool progress = o->type == kEndArchive && !SettingIsOn("trace");
    for (uint32_t n = 0; n < o->header.dirCount; ++n) {
        uint8_t record[kOudcRecord];
        if (ReadVFile(o->oudc, record, kOudcRecord)) return 1;
        DirectoryRecord r;
        for (int i = 0; i < kBlockSizes; ++i)
            r.blocks[i] = ld16(record + kRecBlocks + 2 * i);
        r.subdirs = ld32(record + kRecSubdirs);
        r.files = ld32(record + kRecFiles);
        r.pops = ld16(record + kRecPops);
        if (s->Directory(r) ||
            Replay(o, o->oudc, r.subdirs, SubdirSlot(o), &SectionSink::SubdirEntry) ||
            Replay(o, o->oudc, r.files, FileSlot(o), &SectionSink::FileEntry))
            return 1;
        if (progress) CountUpChanged(n + 1, o->header.dirCount);
    }
    return s->EndDirectories();
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
        if (o->sink->IDirectory(r, name) ||
            Replay(o, o->oudc, r.subdirs, SubdirSlot(o), &SectionSink::ISubdirEntry))
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
    o->sink = NewSectionSink(type);
    if (!o->sink) return -1;
    return o->sink->Open(name, param);
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
    if (Full(o)) {
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

// Where the destination's driver keeps a size's high half in the
// attributes (0: nowhere).
uint8_t SizeHighAt(const OutputContext* o) {
    const FsHandler* h = FindFsID(o->header.fsId);
    return h != nullptr ? h->sizeHighAt : 0;
}

Status OutputDirEntryFile(OutputContext* o, const uint8_t* entry) {
    if (o->depth == 0) return 1;
    OutputLevel* level = &o->stack[o->depth - 1];
    if (level->entered > 0) return 1;
    const char* name = EntryName(entry, kFileEntrySize + o->attrSize);
    if (!name) return 1;
    uint32_t size = ld32(entry);
    ++o->header.fileCount;
    // The writer recounts the sum; a dump shows it.
    o->header.sumOfSizes = AddToSumOfSizes(
        o->header.sumOfSizes, FullSize(size, entry + kFileEntrySize, o->attrSize, SizeHighAt(o)));
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
    ReleaseVFile(o->ouda);
    if (SeekVFile(o->oufs, 0) || SeekVFile(o->ouds, 0) || SeekVFile(o->oudc, 0)) return 1;
    o->dirsToEmit = o->header.dirCount;
    o->filesDue = 0;
    Status s = 1;
    if (Full(o)) {
        s = o->sink->Header(o->header);
        if (s == 0) s = WriteFullTree(o);
    } else {
        s = o->sink->IHeader(o->header);
    }
    // A full destination keeps the file summary: every file's content must
    // have the size its entry announced.
    if (!Full(o)) ReleaseVFile(o->oufs);
    ReleaseVFile(o->ouds);
    ReleaseVFile(o->oubs);
    o->bootSize = 0;
    if (s) return 1;
    if (o->oufs >= 0 && SeekVFile(o->oufs, 0)) return 1;
    return SeekVFile(o->oudc, 0);
}

Status OutputFiles(OutputContext* o) {
    return Full(o) ? o->sink->BeginFiles() : o->sink->BeginIFiles();
}

Status OutputFileHeader(OutputContext* o, uint64_t size) {
    const uint8_t highAt = SizeHighAt(o);
    if (Full(o)) {
        if (ReadVFile(o->oufs, o->scratch, kFileSummarySize + SA(o)) ||
            FullSize(ld32(o->scratch), o->scratch + kFileSummarySize, SA(o), highAt) != size)
            return 1;
        return o->sink->FileHeader(size);
    }
    if (IncrOutputDirs(o) || o->filesDue == 0) return 1;
    --o->filesDue;
    if (ReadVFile(o->oudc, o->scratch, FileSlot(o))) return 1;
    // The content must be what the directory pass announced.
    if (FullSize(ld32(o->scratch), o->scratch + kFileEntrySize, DA(o), highAt) != size) return 1;
    o->fileSize = size;
    return o->sink->IFileEntry(o->scratch);
}

Status OutputFileContent(OutputContext* o, const uint8_t* data, uint32_t n) {
    if (Full(o)) return o->sink->ContentPiece(data, n);
    if (n > o->fileSize) return 1;
    o->fileSize -= n;
    return o->sink->IContentPiece(data, n);
}

Status OutputedFiles(OutputContext* o) {
    if (Full(o)) {
        bool complete = EofVFile(o->oufs);
        ReleaseVFile(o->oufs);
        if (!complete) return 1;
        return o->sink->EndFiles();
    }
    // Directories without files at the end of the tree.
    if (IncrOutputDirs(o) || o->dirsToEmit != 0 || o->filesDue != 0) return 1;
    return o->sink->EndIFiles();
}

Status OutputedArchive(OutputContext* o) {
    ReleaseVFile(o->oudc);
    Status s = 1;
    if (o->sink) s = Full(o) ? o->sink->End() : o->sink->IEnd();
    AbandonOutput(o);
    return s;
}

void AbandonOutput(OutputContext* o) {
    if (o->sink) {
        o->sink->Abandon();
        delete o->sink;
        o->sink = nullptr;
    }
    ReleaseVFile(o->oubs);
    ReleaseVFile(o->ouds);
    ReleaseVFile(o->oufs);
    ReleaseVFile(o->oudc);
    ReleaseVFile(o->ouda);
    if (o->scratch) Free(o->scratch);
    o->scratch = nullptr;
}

} // namespace vk
