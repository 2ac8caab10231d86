// The archive reader.
#include "archive/reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "archive/zip.h"
#include "disk/partitions.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk {

namespace {

bool FileOnCachePartition(const FileRecord* file) {
    return file->state != nullptr && file->state->partition == -1;
}

const ReadIOOps kFileLayerOps = {
    OpenFILE, ReadFILE, CloseFILE, DeleteFILE, FileOnCachePartition, FILEDescriptor};
const ReadIOOps* ops = &kFileLayerOps;

// Open flags of a fragment: a remote fragment goes through the remote-file
// cache first, a local one may be read ahead.
constexpr uint16_t kFragmentOpenFlags = kOpenCacheAlways | kOpenReadAhead;

void PrintNumber(uint32_t value) {
    char text[11];
    ultoa(value, text);
    PrintString(text);
}

void FreeBlock(uint8_t*& block) {
    if (block) Free(block);
    block = nullptr;
}

// Nothing more is read ahead.
void StopPlan(IArchive* r) {
    r->plan = IArchive::Plan::None;
    r->planName = false;
    r->planUnresolved = 0;
    r->planContent = r->planFiles = r->planDirs = r->planSubdirs = r->planDirFiles = 0;
    r->planSizes = 0;
}

// Forgets the items read ahead and the plan (after the worker is done).
void ClearAhead(IArchive* r) {
    r->aheadHead = r->aheadCount = 0;
    StopPlan(r);
}

void FreeUnpackState(IArchive* r) {
    delete r->worker; // waits for the chunks still being unpacked
    r->worker = nullptr;
    ClearAhead(r);
    for (IArchive::Ahead& a : r->ahead) {
        FreeBlock(a.packed);
        FreeBlock(a.data);
    }
    FreeBlock(r->table);
    FreeBlock(r->unpack);
}

// Nothing read ahead and nothing planned: the caller's position is the
// stream's, and a raw item may be read there.
bool Quiet(const IArchive* r) {
    return r->aheadCount == 0 && r->plan == IArchive::Plan::None;
}

// Reads the next chunk header, passing a fragment break; lengths checked.
Status ReadChunkHeader(IArchive* r, ChunkHeader* chunk) {
    const uint8_t* raw;
    if (ReadFromFragment(r, &raw, ChunkHeader::kSize)) return 1;
    *chunk = ChunkHeader::Load(raw);
    if (chunk->packedLength == kFragmentBreak && chunk->unpackedLength == 0) {
        if (NextFragment(r, true)) return 1;
        if (ReadFromFragment(r, &raw, ChunkHeader::kSize)) return 1;
        *chunk = ChunkHeader::Load(raw);
    }
    // Lengths are checked against the buffers they fill before use.
    return chunk->packedLength > kChunkPackedMax || chunk->unpackedLength > kChunkData;
}

// True when the next chunk header cannot be read ahead: a fragment break
// comes first (the caller's own reads pass it, so that a problem is always
// reported in the fragment it is in), or the header cannot be looked at.
bool BreakFollows(IArchive* r) {
    const uint8_t* raw;
    if (uint64_t(r->consumed) + ChunkHeader::kSize > r->header.dataLength ||
        ReadIOReadFileBuffer(&r->io, &raw, ChunkHeader::kSize))
        return true;
    r->io.cursor -= ChunkHeader::kSize; // looked at, not taken
    r->io.count += ChunkHeader::kSize;
    ChunkHeader chunk = ChunkHeader::Load(raw);
    return chunk.packedLength == kFragmentBreak;
}

// The next free place ahead, counted as taken.
IArchive::Ahead& NewAhead(IArchive* r) {
    IArchive::Ahead& a = r->ahead[(r->aheadHead + r->aheadCount) % IArchive::kAhead];
    ++r->aheadCount;
    a.record = false;
    return a;
}

// Reads the next chunk's header and packed bytes into the next free place
// ahead and has the worker unpack it; a chunk that cannot be read is queued
// as failed (its message is logged now), and false returned.
bool ReadAheadChunk(IArchive* r) {
    IArchive::Ahead& a = NewAhead(r);
    ChunkHeader chunk;
    const uint8_t* raw;
    a.failed = ReadChunkHeader(r, &chunk) || ReadFromFragment(r, &raw, chunk.packedLength);
    a.itemAt = r->itemAt;
    if (a.failed) return false;
    std::memcpy(a.packed, raw, chunk.packedLength);
    a.packedLength = chunk.packedLength;
    a.length = chunk.unpackedLength;
    IArchive::Ahead* at = &a;
    a.ticket = r->worker->Run([r, at] {
        at->used =
            UnzipData(at->packed, at->packedLength, at->data, at->length, &r->context, r->table);
    });
    return true;
}

// The full size of the Files section's file number `index`, whose u32 is
// `low`: the high half its summary gave, if any.
uint64_t FileSizeAt(const IArchive* r, uint32_t index, uint32_t low) {
    auto it = std::lower_bound(r->highSizes.begin(), r->highSizes.end(),
                               std::pair<uint32_t, uint32_t>(index, 0));
    uint32_t high = it != r->highSizes.end() && it->first == index ? it->second : 0;
    return uint64_t(low) | uint64_t(high) << 32;
}

// Reads the next raw item ahead, kept as read: an incremental directory
// record, whose counts say what its run holds and how many files follow it,
// or the size of a full archive's file, which says how many content chunks
// follow it.
bool ReadAheadRaw(IArchive* r) {
    bool record = r->plan == IArchive::Plan::DirRecord;
    uint32_t n = record ? IDirectoryRecord::kSize : 4;
    IArchive::Ahead& a = NewAhead(r);
    a.record = true;
    a.length = uint16_t(n);
    a.packedLength = 0;
    const uint8_t* raw;
    a.failed = ReadFromFragment(r, &raw, n);
    a.itemAt = r->itemAt;
    if (a.failed) return false;
    std::memcpy(a.packed, raw, n);
    if (!record) {
        --r->planSizes;
        r->plan = IArchive::Plan::Files;
        r->planContent = ChunksOf(FileSizeAt(r, r->headersAhead++, ld32(raw)));
        return true;
    }
    IDirectoryRecord dir = IDirectoryRecord::Load(raw);
    if (dir.tag != kTagIDirectory) {
        StopPlan(r); // the caller fails on it
        return true;
    }
    --r->planDirs;
    r->plan = IArchive::Plan::DirRun;
    r->planName = true;
    r->planSubdirs = dir.subdirs;
    r->planDirFiles = dir.files;
    return true;
}

// The oldest chunk read ahead that the plan has not accounted for yet.
IArchive::Ahead& Unresolved(IArchive* r) {
    return r->ahead[(r->aheadHead + r->aheadCount - r->planUnresolved) % IArchive::kAhead];
}

// Accounts for the oldest chunk read ahead that the plan has not accounted
// for: a content chunk counts down its file's chunks; a file's entry gives
// the number of its content chunks; a chunk of a directory's run holds its
// name (the first) and whole subdirectory entries, and the files follow the
// run's last one. Entries and runs must be unpacked first: false when that
// one is not yet and `wait` is not set. Anything the caller would refuse
// ends the plan (the caller fails when it gets there).
bool ResolveNext(IArchive* r, bool wait) {
    const IArchive::Ahead& a = Unresolved(r);
    if (r->plan == IArchive::Plan::Files && r->planContent > 0) {
        --r->planContent;
        --r->planUnresolved;
        return true;
    }
    if (!r->worker->Done(a.ticket)) {
        if (!wait) return false;
        r->worker->WaitFor(a.ticket);
    }
    --r->planUnresolved;
    if (a.used != int32_t(a.packedLength)) {
        StopPlan(r);
        return true;
    }
    const uint8_t* data = a.data;
    uint32_t length = a.length;
    if (r->plan == IArchive::Plan::Files) {
        if (length < kFileEntrySize) {
            StopPlan(r);
            return true;
        }
        --r->planFiles;
        const uint32_t attrs = std::min<uint32_t>(length - kFileEntrySize, r->archive.dirAttr);
        r->planContent =
            ChunksOf(FullSize(ld32(data), data + kFileEntrySize, attrs, r->sizeHighAt));
        return true;
    }
    uint32_t at = 0;
    if (r->planName) {
        int32_t name = EntryNameLength(data, length);
        if (name < 0) {
            StopPlan(r);
            return true;
        }
        at = uint32_t(name) + 1;
        r->planName = false;
    }
    uint32_t fixed = SubdirEntry::kSize + r->archive.dirAttr;
    while (r->planSubdirs > 0 && at < length) {
        int32_t name =
            length - at < fixed ? -1 : EntryNameLength(data + at + fixed, length - at - fixed);
        if (name < 0) {
            StopPlan(r);
            return true;
        }
        at += fixed + uint32_t(name) + 1;
        --r->planSubdirs;
    }
    if (at != length) {
        StopPlan(r);
        return true;
    }
    if (r->planSubdirs == 0) {
        r->plan = IArchive::Plan::Files;
        r->planFiles = r->planDirFiles;
        r->planContent = 0;
    }
    return true;
}

// A lead of fewer items than this, holding at most this many packed bytes,
// is grown by waiting for the worker when the plan needs an unpacked chunk.
constexpr uint32_t kShallow = 8;
constexpr uint32_t kShallowBytes = 16384;

uint32_t PackedAhead(const IArchive* r) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < r->aheadCount; ++i)
        sum += r->ahead[(r->aheadHead + i) % IArchive::kAhead].packedLength;
    return sum;
}

// Whether the item after those read ahead is known to exist. In a run of
// files every file holds at least its entry chunk, so while fewer chunks
// are unaccounted for than the files and content chunks still to come, the
// next item is a chunk of the run, whichever kind it is: reading ahead need
// not wait for the entries to be unpacked.
bool NextKnown(const IArchive* r) {
    switch (r->plan) {
    case IArchive::Plan::Files:
        return uint64_t(r->planUnresolved) < uint64_t(r->planContent) + r->planFiles;
    case IArchive::Plan::DirRun: return r->planUnresolved == 0;
    case IArchive::Plan::DirRecord:
    case IArchive::Plan::FileSize: return true;
    case IArchive::Plan::None: break;
    }
    return false;
}

// Reads ahead what the plan says follows, while there is room. Without
// `here`, nothing is read past a fragment break (the caller's own reads pass
// it, so that a problem is always reported in the fragment it is in); with
// it, the first item is read wherever it is, for the caller at once.
void TopUp(IArchive* r, bool here = false) {
    if (!r->worker) return;
    uint32_t itemAt = r->itemAt; // problems are reported where the caller is
    using Plan = IArchive::Plan;
    for (;;) {
        while (r->planUnresolved > 0 && ResolveNext(r, false)) {
        }
        if (r->aheadCount == IArchive::kAhead) break;
        if (r->plan == Plan::Files && r->planUnresolved == 0 && r->planContent == 0 &&
            r->planFiles == 0)
            r->plan = r->planDirs > 0    ? Plan::DirRecord
                      : r->planSizes > 0 ? Plan::FileSize
                                         : Plan::None;
        if (r->plan == Plan::None) break;
        if (!NextKnown(r)) {
            // With little read ahead, the worker would soon run dry while
            // the caller writes files: wait for the chunk the plan needs
            // when what comes before it unpacks quickly, so the lead grows.
            if (r->aheadCount >= kShallow || PackedAhead(r) > kShallowBytes) break;
            ResolveNext(r, true);
            continue;
        }
        bool record = r->plan == Plan::DirRecord || r->plan == Plan::FileSize;
        if (!(here && r->aheadCount == 0)) {
            uint32_t n = r->plan == Plan::DirRecord ? IDirectoryRecord::kSize : 4;
            if (record ? uint64_t(r->consumed) + n > r->header.dataLength : BreakFollows(r)) break;
        }
        bool read = record ? ReadAheadRaw(r) : ReadAheadChunk(r);
        if (!read) {
            StopPlan(r);
            break;
        }
        if (!record) ++r->planUnresolved;
    }
    r->itemAt = itemAt;
}

// Takes the oldest item read ahead (reading it first when none is and the
// plan knows what comes); null when there is none. The plan accounts for it
// first if it has not yet.
IArchive::Ahead* TakeAhead(IArchive* r) {
    if (r->aheadCount == 0 && r->plan != IArchive::Plan::None) TopUp(r, true);
    if (r->aheadCount == 0) return nullptr;
    if (r->planUnresolved == r->aheadCount) ResolveNext(r, true);
    IArchive::Ahead& a = r->ahead[r->aheadHead];
    r->aheadHead = (r->aheadHead + 1) % IArchive::kAhead;
    --r->aheadCount;
    r->itemAt = a.itemAt;
    return &a;
}

// Makes the next chunk of the stream the current one: the oldest one read
// ahead, or else one read and unpacked here. Then reads ahead again.
Status NextChunk(IArchive* r) {
    if (IArchive::Ahead* a = TakeAhead(r)) {
        if (a->failed || a->record) return 1;
        r->worker->WaitFor(a->ticket);
        if (a->used != int32_t(a->packedLength)) return 1;
        std::swap(r->unpack, a->data);
        r->unpacked = a->length;
        r->cursor = 0;
    } else {
        const uint8_t* raw;
        ChunkHeader chunk;
        if (ReadChunkHeader(r, &chunk)) return 1;
        if (ReadFromFragment(r, &raw, chunk.packedLength)) return 1;
        int32_t used = UnzipData(raw, chunk.packedLength, r->unpack, chunk.unpackedLength,
                                 &r->context, r->table);
        if (used != int32_t(chunk.packedLength)) return 1;
        r->unpacked = chunk.unpackedLength;
        r->cursor = 0;
    }
    TopUp(r);
    return 0;
}

Status ReadTag(IArchive* r, uint16_t tag) {
    const uint8_t* p;
    if (!Quiet(r) || ReadFromFragment(r, &p, 2)) return 1;
    return ld16(p) == tag ? 0 : 1;
}

Status ReadU32(IArchive* r, uint32_t* value) {
    const uint8_t* p;
    if (!Quiet(r) || ReadFromFragment(r, &p, 4)) return 1;
    *value = ld32(p);
    return 0;
}

// Reads one entry (fixed part, attributes, name and NUL) from the open run.
Status ReadEntry(IArchive* r, uint32_t fixed, const uint8_t** ptr) {
    const uint8_t* entry;
    if (ReadCompressedChunk(r, &entry, fixed + r->archive.dirAttr)) return 1;
    int32_t nameLength = EntryNameLength(r->unpack + r->cursor, r->unpacked);
    if (nameLength < 0) return 1;
    const uint8_t* name;
    if (ReadCompressedChunk(r, &name, uint32_t(nameLength) + 1)) return 1;
    *ptr = entry;
    return 0;
}

Status ReadListEntry(IArchive* r, uint32_t fixed, const uint8_t** ptr) {
    if (r->pending == 0) return 1;
    if (ReadEntry(r, fixed, ptr)) return 1;
    if (--r->pending == 0) return CloseCompressedChunk(r);
    return 0;
}

// A piece of boot sectors or file content: min(pending, kChunkData) bytes.
Status ReadContent(IArchive* r, const uint8_t** ptr, uint32_t* len) {
    if (r->pending == 0) return 1;
    uint32_t n = r->pending < kChunkData ? uint32_t(r->pending) : kChunkData;
    if (ReadCompressedChunk(r, ptr, n)) return 1;
    *len = n;
    r->pending -= n;
    if (r->pending == 0) return CloseCompressedChunk(r);
    // More content follows in chunks of its own: unpack them meanwhile. A
    // failure there is the call's that gets to it.
    if (r->unpacked == 0 && Quiet(r)) {
        r->plan = IArchive::Plan::Files;
        r->planContent = ChunksOf(r->pending);
        TopUp(r);
    }
    return 0;
}

Status SkipContent(IArchive* r) {
    while (r->pending > 0) {
        MonitorESC();
        const uint8_t* p;
        uint32_t len;
        if (ReadContent(r, &p, &len)) return 1;
    }
    return 0;
}

// Ends the current fragment file: `keep` keeps the read buffer for the next.
Status EndFragment(IArchive* r, bool keep, const char* closing, const char* unfinished) {
    Status s = 0;
    if (r->consumed != r->header.dataLength) {
        Log(unfinished);
        s = 1;
    }
    if ((keep ? ReadIOStopFileBuffer(&r->io) : ReadIOCloseFileBuffer(&r->io)) != 0) {
        Log(closing);
        s = 1;
    }
    return s;
}

} // namespace

void SetReadIOOps(const ReadIOOps* replacement) {
    ops = replacement ? replacement : &kFileLayerOps;
}

// Buffered file reader ------------------------------------------------------

namespace {

// Marks a freshly opened file as the buffer's, with the buffer allocated
// once and emptied.
Status ReadIOStartBuffer(ReadIOBuffer* io, uint64_t* size) {
    io->open = true;
    if (io->buffer == nullptr)
        io->buffer = static_cast<uint8_t*>(Malloc(ParagraphsFor(kReadBufferSize)));
    io->cursor = 0;
    io->count = 0;
    *size = io->file.size;
    return 0;
}

} // namespace

Status ReadIOOpenFileBuffer(const char* name, ReadIOBuffer* io, uint32_t* size) {
    io->file = FileRecord{};
    if (ops->open(name, &io->file, kFragmentOpenFlags) != 0) return 1;
    uint64_t full = 0;
    Status s = ReadIOStartBuffer(io, &full);
    *size = uint32_t(full);
    return s;
}

Status ReadIOOpenEntryBuffer(FsState* state, const FsEntry& entry, ReadIOBuffer* io,
                             uint64_t* size) {
    io->file = FileRecord{};
    if (OpenFILEEntry(state, entry, &io->file) != 0) return 1;
    return ReadIOStartBuffer(io, size);
}

Status ReadIOReadFileBuffer(ReadIOBuffer* io, const uint8_t** ptr, uint32_t n) {
    if (n > kReadMax || !io->open) return 1;
    while (io->count < n) {
        // Each delivery is at most kChunkMax bytes and starts below n bytes
        // after the cursor once the remainder is moved to the start, so it
        // always fits the buffer.
        if (io->cursor + io->count + kChunkMax > kReadBufferSize) {
            std::memmove(io->buffer, io->buffer + io->cursor, io->count);
            io->cursor = 0;
        }
        uint16_t got = ops->read(&io->file, io->buffer + io->cursor + io->count);
        if (got == 0 || got > kChunkMax) return 1;
        io->count += got;
    }
    *ptr = io->buffer + io->cursor;
    io->cursor += n;
    io->count -= n;
    return 0;
}

bool ReadIOCloseDroppingCachedCopy(ReadIOBuffer* io, const char* name) {
    // The local copy is dropped, not the remote name.
    bool cached = io->open && ops->cached(&io->file);
    char local[kPathMax];
    if (!cached || !LocalFileName(&io->file, local, sizeof local))
        std::snprintf(local, sizeof local, "%s", name);
    ReadIOCloseFileBuffer(io);
    if (cached) ops->remove(local);
    return cached;
}

bool ReadIOCachedCopy(const ReadIOBuffer* io) {
    return io->open && ops->cached(&io->file);
}

int ReadIODescriptor(const ReadIOBuffer* io) {
    return io->open && ops->descriptor ? ops->descriptor(&io->file) : -1;
}

Status ReadIOStopFileBuffer(ReadIOBuffer* io) {
    if (!io->open) return 0;
    io->open = false;
    return ops->close(&io->file);
}

Status ReadIOCloseFileBuffer(ReadIOBuffer* io) {
    Status s = ReadIOStopFileBuffer(io);
    FreeBlock(io->buffer);
    return s;
}

// Fragment layer --------------------------------------------------------------

FragmentHead ReadFragmentHeader(ReadIOBuffer* io, FragmentHeader* header) {
    const uint8_t* raw;
    uint8_t head[FragmentHeader::kWideSize];
    if (ReadIOReadFileBuffer(io, &raw, FragmentHeader::kSize)) return FragmentHead::kCutShort;
    std::memcpy(head, raw, FragmentHeader::kSize);
    const uint32_t size = FragmentHeader::SizeFor(ld32(head));
    if (size == 0) return FragmentHead::kNoFragment;
    if (size > FragmentHeader::kSize) {
        if (ReadIOReadFileBuffer(io, &raw, size - FragmentHeader::kSize))
            return FragmentHead::kCutShort;
        std::memcpy(head + FragmentHeader::kSize, raw, size - FragmentHeader::kSize);
    }
    *header = FragmentHeader::Load(head);
    return FragmentHead::kRead;
}

Status OpenFragment(IArchive* r) {
    if (FragmentName(r->name, r->fragment, r->fragmentName, sizeof r->fragmentName)) {
        Log("ERROR: [OpenFragment] Cannot open file\r\n");
        return 1;
    }
    uint32_t size;
    if (ReadIOOpenFileBuffer(r->fragmentName, &r->io, &size)) {
        Log("ERROR: [OpenFragment] Cannot open file\r\n");
        return 1;
    }
    FragmentHeader h;
    const FragmentHead head = ReadFragmentHeader(&r->io, &h);
    const uint32_t headSize = h.Size();
    const char* failure = nullptr;
    if (head == FragmentHead::kCutShort) {
        failure = "ERROR: [OpenFragment] Cannot read header\r\n";
    } else if (head == FragmentHead::kNoFragment) {
        failure = "ERROR: [OpenFragment] file is not an archive\r\n";
    } else if (size != kUnknownSize && uint64_t(size) != uint64_t(h.dataLength) + headSize) {
        Log("ERROR: [OpenFrag] archive file is corrupted.\r\n");
        {
            LogScope scope;
            PrintString("Size of the archive file : ");
            PrintNumber(size);
            PrintString(" Size expected : ");
            PrintNumber(h.dataLength + headSize);
            PrintString("\r\n");
        }
        failure = "This error may be caused by a misconfiguration of the TFTP server\r\n";
    } else if (r->fragment == 0 && h.streamOffset != 0) {
        failure = "ERROR: [OpenFragment] this file is not the first fragment\r\n";
    } else if (r->fragment != 0 &&
               (h.streamLength != r->header.streamLength || h.magic != r->header.magic)) {
        failure = "ERROR: [OpenFragment] invalid fragment\r\n";
    }
    if (failure) {
        Log(failure);
        ReadIOCloseDroppingCachedCopy(&r->io, r->fragmentName);
        return 1;
    }
    r->header = h;
    r->consumed = 0;
    r->crc = FragmentCrc(h);
    return 0;
}

Status ReadFromFragment(IArchive* r, const uint8_t** ptr, uint32_t n) {
    r->itemAt = r->consumed;
    // Raw items never reach past the fragment's data.
    if (uint64_t(r->consumed) + n > r->header.dataLength || ReadIOReadFileBuffer(&r->io, ptr, n)) {
        Log("ERROR: [ReadFromFrag] ReadIO error\r\n");
        return 1;
    }
    r->consumed += n;
    // Every byte of a fragment passes here once, in order: when the last one
    // has, the fragment's CRC must match, so that a damaged archive fails
    // instead of restoring wrong data as a success.
    r->crc.Add(*ptr, n);
    if (r->consumed == r->header.dataLength && !r->crc.Matches()) {
        Log("ERROR: [ReadFromFrag] Fragment data damaged (CRC error)\r\n");
        return 1;
    }
    return 0;
}

Status CopyFromFragment(IArchive* r, void* dst, uint32_t n) {
    const uint8_t* p;
    if (ReadFromFragment(r, &p, n)) return 1;
    std::memcpy(dst, p, n);
    return 0;
}

Status CloseFragment(IArchive* r) {
    return EndFragment(r, false, "ERROR: [CloseFragment] Error closing file\r\n",
                       "ERROR: [CloseFragment] Fragment not completely processed");
}

Status StopFragment(IArchive* r) {
    return EndFragment(r, true, "ERROR: [StopFragment] Error closing file\r\n",
                       "ERROR: [StopFragment] Fragment not completely processed");
}

Status NextFragment(IArchive* r, bool keep) {
    const uint64_t offset = r->header.streamOffset;
    const uint32_t consumed = r->consumed;
    const uint64_t length = r->header.streamLength;
    if ((keep ? StopFragment(r) : CloseFragment(r)) != 0) {
        Log("ERROR: [NextFragment] Error closing fragment\r\n");
        ReadIOCloseFileBuffer(&r->io);
        return 1;
    }
    if (r->fragment == 0xFFFF) {
        Log("ERROR: [NextFragment] Error opening next fragment\r\n");
        ReadIOCloseFileBuffer(&r->io);
        return 1;
    }
    ++r->fragment;
    if (OpenFragment(r)) {
        Log("ERROR: [NextFragment] Error opening next fragment\r\n");
        ReadIOCloseFileBuffer(&r->io);
        return 1;
    }
    if (r->header.streamOffset != offset + consumed || r->header.streamLength != length) {
        Log("ERROR: [NextFragment] Invalid fragment\r\n");
        ReadIOCloseFileBuffer(&r->io);
        return 1;
    }
    return 0;
}

Status ScanFragments(IArchive* r) {
    r->fragment = 0;
    if (OpenFragment(r)) return 1;
    uint64_t sum = 0;
    for (;;) {
        MonitorESC();
        r->consumed = r->header.dataLength;
        sum += r->header.dataLength;
        if (sum >= r->header.streamLength) break;
        if (NextFragment(r, false)) return 1;
    }
    return CloseFragment(r);
}

// Runs ------------------------------------------------------------------------

Status OpenCompressedChunk(IArchive* r) {
    r->unpacked = 0;
    return 0;
}

Status ReadCompressedChunk(IArchive* r, const uint8_t** ptr, uint32_t n) {
    if (r->unpacked == 0 && NextChunk(r)) return 1;
    if (r->unpacked < n) {
        Log("ERROR: [ReadComprChunk] Not enough data\r\n");
        return 1;
    }
    *ptr = r->unpack + r->cursor;
    r->cursor += n;
    r->unpacked -= n;
    return 0;
}

Status SkipCompressedChunk(IArchive* r, uint32_t n) {
    const uint8_t* p;
    return ReadCompressedChunk(r, &p, n);
}

Status CloseCompressedChunk(IArchive* r) {
    return r->unpacked != 0;
}

// Full archive ----------------------------------------------------------------

Status OpenArchive(const char* name, IArchive* r) {
    AbandonArchive(r);
    *r = IArchive{};
    if (std::strlen(name) >= sizeof r->name) {
        Log("ERROR: [OpenFragment] Cannot open file\r\n");
        return 1;
    }
    std::strcpy(r->name, name);
    if (!SettingIsOn("CacheNever") && ScanFragments(r)) {
        ReadIOCloseFileBuffer(&r->io);
        return 1;
    }
    r->table = static_cast<uint8_t*>(Malloc(ParagraphsFor(kZipTableSize)));
    InitZipTable(r->table);
    r->unpack = static_cast<uint8_t*>(Malloc(ParagraphsFor(kChunkData)));
    for (IArchive::Ahead& a : r->ahead) {
        a.packed = static_cast<uint8_t*>(Malloc(ParagraphsFor(kChunkPackedMax)));
        a.data = static_cast<uint8_t*>(Malloc(ParagraphsFor(kChunkData)));
    }
    r->worker = new ChunkWorker;
    r->context = 0;
    r->fragment = 0;
    if (OpenFragment(r)) {
        FreeUnpackState(r);
        return 1;
    }
    return 0;
}

Status ReadArchiveHeader(IArchive* r, const ArchiveHeader** header) {
    const uint8_t* raw;
    if (!Quiet(r) || ReadFromFragment(r, &raw, ArchiveHeader::kSize)) return 1;
    r->archive = ArchiveHeader::Load(raw);
    *header = &r->archive;
    const FsHandler* h = FindFsID(r->archive.fsId);
    r->sizeHighAt = h != nullptr ? h->sizeHighAt : 0;
    r->highSizes.clear();
    r->summariesRead = 0;
    return 0;
}

Status OpenBootSectors(IArchive* r, uint32_t* size) {
    if (ReadTag(r, kTagBootSectors) || ReadU32(r, size)) return 1;
    r->pending = *size;
    return *size > 0 ? OpenCompressedChunk(r) : 0;
}

Status ReadBootSectorsChunk(IArchive* r, const uint8_t** ptr, uint32_t* len) {
    return ReadContent(r, ptr, len);
}

Status CloseBootSectors(IArchive* r) {
    return r->pending != 0;
}

Status OpenDirSummary(IArchive* r) {
    if (ReadTag(r, kTagDirSummary)) return 1;
    return OpenCompressedChunk(r);
}

Status ReadDirSummaryEntry(IArchive* r, const uint8_t** ptr) {
    return ReadCompressedChunk(r, ptr, DirSummary::kSize + r->archive.summaryAttr);
}

Status CloseDirSummary(IArchive* r) {
    return CloseCompressedChunk(r);
}

Status OpenFileSummary(IArchive* r) {
    if (ReadTag(r, kTagFileSummary)) return 1;
    return OpenCompressedChunk(r);
}

Status ReadFileSummaryEntry(IArchive* r, const uint8_t** ptr) {
    if (ReadCompressedChunk(r, ptr, kFileSummarySize + r->archive.summaryAttr)) return 1;
    const uint32_t high =
        SizeHighIn(*ptr + kFileSummarySize, r->archive.summaryAttr, r->sizeHighAt);
    if (high != 0) r->highSizes.emplace_back(r->summariesRead, high);
    ++r->summariesRead;
    return 0;
}

Status CloseFileSummary(IArchive* r) {
    return CloseCompressedChunk(r);
}

Status OpenDirectories(IArchive* r) {
    r->pending = 0;
    return ReadTag(r, kTagDirectories);
}

Status ReadDirectory(IArchive* r, DirectoryRecord* record) {
    if (r->pending != 0 || !Quiet(r)) return 1;
    const uint8_t* raw;
    if (ReadFromFragment(r, &raw, DirectoryRecord::kSize)) return 1;
    *record = DirectoryRecord::Load(raw);
    uint64_t entries = uint64_t(record->subdirs) + record->files;
    if (entries > 0xFFFFFFFFull) return 1;
    r->pending = uint32_t(entries);
    return r->pending > 0 ? OpenCompressedChunk(r) : 0;
}

Status ReadDirEntryDir(IArchive* r, const uint8_t** ptr) {
    return ReadListEntry(r, SubdirEntry::kSize, ptr);
}

Status ReadDirEntryFile(IArchive* r, const uint8_t** ptr) {
    return ReadListEntry(r, kFileEntrySize, ptr);
}

Status CloseDirectories(IArchive* r) {
    return r->pending != 0;
}

namespace {

// Opens the section of `tag`, whose rest is `count` items, each starting
// with what `plan` reads ahead, and reads ahead from there.
Status OpenPlannedSection(IArchive* r, uint16_t tag, IArchive::Plan plan, uint32_t count,
                          uint32_t* planned) {
    r->pending = 0;
    if (ReadTag(r, tag)) return 1;
    if (count > 0) {
        r->plan = plan;
        *planned = count;
        TopUp(r);
    }
    return 0;
}

} // namespace

Status OpenFiles(IArchive* r) {
    // Files, each its size and its content.
    r->headersRead = r->headersAhead = 0;
    return OpenPlannedSection(r, kTagFiles, IArchive::Plan::FileSize, r->archive.fileCount,
                              &r->planSizes);
}

Status ReadFileHeader(IArchive* r, uint64_t* size) {
    if (r->pending != 0) return 1;
    uint32_t low = 0;
    if (IArchive::Ahead* a = TakeAhead(r)) {
        if (a->failed || !a->record || a->length != 4) return 1;
        low = ld32(a->packed);
    } else if (ReadU32(r, &low)) {
        return 1;
    }
    *size = FileSizeAt(r, r->headersRead++, low);
    if (r->headersAhead < r->headersRead) r->headersAhead = r->headersRead;
    r->pending = *size;
    return *size > 0 ? OpenCompressedChunk(r) : 0;
}

Status ReadFileContent(IArchive* r, const uint8_t** ptr, uint32_t* len) {
    return ReadContent(r, ptr, len);
}

Status ReadSkipFile(IArchive* r, uint64_t* size) {
    if (ReadFileHeader(r, size)) return 1;
    return SkipContent(r);
}

Status CloseFiles(IArchive* r) {
    if (r->pending != 0) return 1;
    return ReadTag(r, kTagEnd);
}

Status CloseArchive(IArchive* r) {
    Status s = 0;
    if (uint64_t(r->header.streamOffset) + r->consumed != r->header.streamLength) {
        Log("ERROR: [CloseArchive] Unzip is not complete\r\n");
        s = 1;
    }
    if (CloseFragment(r)) {
        Log("ERROR: [CloseArchive] Unable to close fragment\r\n");
        s = 1;
    }
    FreeUnpackState(r);
    return s;
}

// Incremental archive ---------------------------------------------------------

Status OpenIArchive(const char* name, IArchive* r) {
    return OpenArchive(name, r);
}

Status ReadIArchiveHeader(IArchive* r, const ArchiveHeader** header) {
    return ReadArchiveHeader(r, header);
}

Status OpenIFiles(IArchive* r) {
    // Directories, known one after the other.
    return OpenPlannedSection(r, kTagIFiles, IArchive::Plan::DirRecord, r->archive.dirCount,
                              &r->planDirs);
}

Status ReadIDirectory(IArchive* r, IDirectoryRecord* record, const char** name) {
    if (r->pending != 0) return 1;
    const uint8_t* raw;
    if (IArchive::Ahead* a = TakeAhead(r)) {
        if (a->failed || !a->record || a->length != IDirectoryRecord::kSize) return 1;
        raw = a->packed;
    } else if (!Quiet(r) || ReadFromFragment(r, &raw, IDirectoryRecord::kSize)) {
        return 1;
    }
    *record = IDirectoryRecord::Load(raw);
    if (record->tag != kTagIDirectory) return 1;
    OpenCompressedChunk(r);
    const uint8_t* p;
    if (ReadCompressedChunk(r, &p, 0)) return 1;
    int32_t nameLength = EntryNameLength(p, r->unpacked);
    if (nameLength < 0) return 1;
    r->pending = record->subdirs;
    if (ReadCompressedChunk(r, &p, uint32_t(nameLength) + 1)) return 1;
    *name = reinterpret_cast<const char*>(p);
    if (record->subdirs == 0) return CloseCompressedChunk(r);
    return 0;
}

Status ReadIDirEntryDir(IArchive* r, const uint8_t** ptr) {
    return ReadDirEntryDir(r, ptr);
}

Status ReadIDirEntryFile(IArchive* r, const uint8_t** ptr) {
    if (r->pending != 0) return 1;
    OpenCompressedChunk(r);
    if (ReadEntry(r, kFileEntrySize, ptr)) return 1;
    if (CloseCompressedChunk(r)) return 1;
    r->pending = FullSize(ld32(*ptr), *ptr + kFileEntrySize, r->archive.dirAttr, r->sizeHighAt);
    return r->pending > 0 ? OpenCompressedChunk(r) : 0;
}

Status ReadIFileContent(IArchive* r, const uint8_t** ptr, uint32_t* len) {
    return ReadFileContent(r, ptr, len);
}

Status ReadISkipFile(IArchive* r, const uint8_t** ptr) {
    if (ReadIDirEntryFile(r, ptr)) return 1;
    if (r->pending == 0) return 0;
    // Skipping unpacks the content over the entry: keep a copy and put it
    // back at the start of the unpack buffer so the pointer stays valid.
    uint32_t fixed = kFileEntrySize + r->archive.dirAttr;
    uint32_t length = fixed + uint32_t(EntryNameLength(*ptr + fixed, kEntryNameMax)) + 1;
    if (length > sizeof r->saved) return 1;
    std::memcpy(r->saved, *ptr, length);
    if (SkipContent(r)) return 1;
    std::memcpy(r->unpack, r->saved, length);
    *ptr = r->unpack;
    return 0;
}

Status CloseIFiles(IArchive* r) {
    return CloseFiles(r);
}

Status CloseIArchive(IArchive* r) {
    return CloseArchive(r);
}

Status ReopenIArchive(IArchive* r) {
    // Rewinding abandons the current position on purpose: close without the
    // completeness check of CloseFragment.
    if (r->worker) r->worker->Wait();
    ClearAhead(r);
    ReadIOCloseFileBuffer(&r->io);
    r->fragment = 0;
    r->pending = 0;
    r->unpacked = 0;
    r->cursor = 0;
    if (r->table == nullptr || r->unpack == nullptr) return 1;
    InitZipTable(r->table);
    r->context = 0;
    if (OpenFragment(r)) {
        FreeUnpackState(r);
        return 1;
    }
    return 0;
}

void AbandonArchive(IArchive* r) {
    ReadIOCloseFileBuffer(&r->io);
    FreeUnpackState(r);
}

} // namespace vk
