// The archive writer.
#include "archive/writer.h"

#include <cstring>
#include <utility>

#include "archive/zip.h"
#include "disk/partitions.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr uint8_t kBreakMarker[ChunkHeader::kSize] = {0xFF, 0xFF, 0x00, 0x00};

void LogCannotCreate(const char* name) {
    Log("ERROR: Could not rewrite file ");
    Log(name);
    Log("\r\n");
}

// Chunks smaller than this are packed in the calling thread when the
// worker is idle.
constexpr uint16_t kHandOverMin = 8192;

// Raw items up to this size wait in the queue of outputs behind the chunks
// still being packed; larger ones wait for those to be written.
constexpr uint32_t kQueuedRawMax = 64;

void FreeBuffers(ArchiveWriter* w) {
    delete w->worker; // waits for the chunks still being packed
    w->worker = nullptr;
    w->outHead = w->outCount = 0;
    for (ArchiveWriter::Output& o : w->outputs) {
        if (o.input) Free(o.input);
        if (o.packed) Free(o.packed);
        o.input = o.packed = nullptr;
    }
    if (w->input) Free(w->input);
    if (w->work) Free(w->work);
    if (w->table) Free(w->table);
    w->input = w->work = w->table = nullptr;
}

// Writes bytes at the stream's end, behind everything written before.
Status PutToFragment(ArchiveWriter* w, const void* data, uint32_t n) {
    if (w->file == nullptr) return 1; // a fragment switch failed earlier
    // The narrow header's stream offsets and lengths are 32-bit, and every
    // fragment's data length is: refuse to go beyond.
    if (!w->header.Wide() && w->header.streamOffset + w->written + n > 0xFFFFFFFFull) {
        Log("ERROR: archive larger than 4 GB\r\n");
        return 1;
    }
    if (uint64_t(w->written) + n > 0xFFFFFFFFull) {
        Log("ERROR: fragment larger than 4 GB\r\n");
        return 1;
    }
    w->written += n;
    w->crc = CRC32(w->crc, data, n);
    if (WriteIOWriteFile(w->file, data, n)) FatalError("Disk full, giving up !");
    return 0;
}

// Writes one packed chunk at its place in the stream.
Status EmitChunk(ArchiveWriter* w, const uint8_t* packed, uint16_t packedLength,
                 uint16_t unpacked) {
    // Fragments switch only before a chunk, and only when this one would
    // take the fragment past its limit (counted in unpacked bytes).
    if (w->written > 0 && uint64_t(w->written) + unpacked > w->limit) {
        if (PutToFragment(w, kBreakMarker, sizeof kBreakMarker)) return 1;
        if (StoreFragment(w)) return 1;
    }
    uint8_t raw[ChunkHeader::kSize];
    ChunkHeader{packedLength, unpacked}.Store(raw);
    if (PutToFragment(w, raw, sizeof raw)) return 1;
    return PutToFragment(w, packed, packedLength);
}

// Writes out the oldest outputs in the queue until `keep` are left (waiting
// for the worker), or with `ready` only those that need no waiting. A
// failure empties the queue (the archive is given up then).
Status EmitOutputs(ArchiveWriter* w, bool ready, uint32_t keep = 0) {
    while (w->outCount > keep) {
        ArchiveWriter::Output& o = w->outputs[w->outHead];
        if (!o.raw) {
            if (ready && !w->worker->Done(o.ticket)) break;
            w->worker->WaitFor(o.ticket);
        }
        w->outHead = (w->outHead + 1) % ArchiveWriter::kOutputs;
        --w->outCount;
        Status s = o.raw ? PutToFragment(w, o.input, o.fill)
                         : EmitChunk(w, o.packed, o.packedLength, o.fill);
        if (s) {
            w->worker->Wait();
            w->outHead = w->outCount = 0;
            return 1;
        }
    }
    return 0;
}

// The next free place in the queue of outputs, counted as taken; the oldest
// output is written out first when the queue is full.
ArchiveWriter::Output* NewOutput(ArchiveWriter* w) {
    if (w->outCount == ArchiveWriter::kOutputs &&
        EmitOutputs(w, false, ArchiveWriter::kOutputs - 1))
        return nullptr;
    ArchiveWriter::Output& o = w->outputs[(w->outHead + w->outCount) % ArchiveWriter::kOutputs];
    ++w->outCount;
    return &o;
}

Status WriteTag(ArchiveWriter* w, uint16_t tag) {
    uint8_t raw[2];
    st16(raw, tag);
    return WriteToFragment(w, raw, 2);
}

Status WriteU32(ArchiveWriter* w, uint32_t value) {
    uint8_t raw[4];
    st32(raw, value);
    return WriteToFragment(w, raw, 4);
}

Status StartRun(ArchiveWriter* w, bool content) {
    w->contentRun = content;
    return RewriteCompressedChunk(w);
}

// Appends content bytes (boot sectors, file data) to the open run, cutting
// them into chunks of exactly kChunkData bytes whatever the caller's pieces:
// readers ask for min(remaining, kChunkData) bytes at a time.
Status WriteContent(ArchiveWriter* w, const uint8_t* data, uint32_t n) {
    while (n > 0) {
        uint32_t take = kChunkData - w->fill;
        if (take > n) take = n;
        std::memcpy(w->input + w->fill, data, take);
        w->fill = uint16_t(w->fill + take);
        data += take;
        n -= take;
        if (w->fill == kChunkData && FlushCompressedChunk(w)) return 1;
    }
    return 0;
}

// Writes one entry (fixed part, attributes, name and NUL) into the open run.
Status WriteEntry(ArchiveWriter* w, const uint8_t* entry, uint32_t fixed) {
    uint32_t attr = w->archive.dirAttr;
    int32_t nameLength = EntryNameLength(entry + fixed + attr, kEntryNameMax);
    if (nameLength < 0) return 1;
    return WriteCompressedChunk(w, entry, fixed + attr + uint32_t(nameLength) + 1);
}

Status WriteListEntry(ArchiveWriter* w, const uint8_t* entry, uint32_t fixed) {
    if (w->pending == 0) return 1;
    if (WriteEntry(w, entry, fixed)) return 1;
    if (--w->pending == 0) return DoneCompressedChunk(w);
    return 0;
}

// A file's size as the Files section and its entries carry it: the low
// half, where the driver's attributes carry the high half; a larger size
// that nothing carries is refused.
bool SizeFits(const ArchiveWriter* w, uint64_t size) {
    return size <= UINT32_MAX || w->sizeHighAt != 0;
}

void PrintNumber(uint32_t value) {
    char text[11];
    ultoa(value, text);
    PrintString(text);
}

Status PatchFragments(ArchiveWriter* w, uint64_t streamLength) {
    const uint32_t headerSize = w->header.Size();
    for (uint32_t n = 0; n <= w->fragment; ++n) {
        char name[kArchiveNameMax];
        if (FragmentName(w->name, n, name, sizeof name)) return 1;
        WriteIOHandle file;
        if (WriteIOResetFile(name, &file)) return 1;
        uint8_t raw[4];
        st32(raw, uint32_t(streamLength));
        Status s = WriteIOSeekFile(file, kStreamLengthAt);
        if (!s) s = WriteIOWriteFile(file, raw, 4);
        if (!s && w->header.Wide()) {
            st32(raw, uint32_t(streamLength >> 32));
            s = WriteIOSeekFile(file, kStreamLengthHighAt);
            if (!s) s = WriteIOWriteFile(file, raw, 4);
        }
        if (!s && n == 0 && w->firstLength >= ArchiveHeader::kSize) {
            st32(raw, w->archive.sumOfSizes);
            s = WriteIOSeekFile(file, headerSize + kSumOfSizesInData);
            if (!s) s = WriteIOWriteFile(file, raw, 4);
            uint32_t crc =
                CrcWithSumOfSizes(w->firstCrc, w->firstLength, w->firstSum, w->archive.sumOfSizes);
            st32(raw, crc);
            if (!s) s = WriteIOSeekFile(file, 16); // the fragment header's CRC
            if (!s) s = WriteIOWriteFile(file, raw, 4);
        }
        if (WriteIOCloseFile(file)) s = 1;
        if (s) return 1;
    }
    return 0;
}

} // namespace

// Fragment layer ------------------------------------------------------------

Status SelectFragment(ArchiveWriter* w) {
    if (FragmentName(w->name, w->fragment, w->fragmentName, sizeof w->fragmentName)) return 1;
    // A short name can make the digits of a later fragment spell an earlier
    // fragment's name; writing it would destroy that fragment.
    for (uint32_t n = 0; n < w->fragment; ++n) {
        char earlier[kArchiveNameMax];
        if (FragmentName(w->name, n, earlier, sizeof earlier) == 0 &&
            std::strcmp(earlier, w->fragmentName) == 0)
            return 1;
    }
    return 0;
}

Status RewriteFragment(ArchiveWriter* w) {
    if (SelectFragment(w)) {
        Log("ERROR: Could not rewrite file ");
        Log(w->name);
        Log(" (no name left for the next fragment)\r\n");
        return 1;
    }
    if (WriteIORewriteFile(w->fragmentName, &w->file)) {
        w->file = nullptr;
        LogCannotCreate(w->fragmentName);
        return 1;
    }
    FragmentHeader h;
    h.magic = w->fragment == 0 ? kFragmentMagic : w->header.magic;
    h.streamOffset = w->fragment == 0 ? 0 : w->header.streamOffset + w->header.dataLength;
    w->header = h;
    uint8_t raw[FragmentHeader::kWideSize];
    h.Store(raw);
    if (WriteIOWriteFile(w->file, raw, h.Size())) FatalError("Disk full, giving up !");
    w->written = 0;
    w->crc = 0;
    return 0;
}

Status WriteToFragment(ArchiveWriter* w, const void* data, uint32_t n) {
    // Chunks still being packed come first: a small item waits behind them
    // in the queue, a larger one until they are written.
    if (w->outCount > 0 && n <= kQueuedRawMax) {
        if (EmitOutputs(w, true)) return 1;
        if (w->outCount > 0) {
            ArchiveWriter::Output* o = NewOutput(w);
            if (!o) return 1;
            o->raw = true;
            o->fill = uint16_t(n);
            std::memcpy(o->input, data, n);
            return 0;
        }
    }
    if (EmitOutputs(w, false)) return 1;
    return PutToFragment(w, data, n);
}

Status DoneFragment(ArchiveWriter* w) {
    w->header.dataLength = w->written;
    w->header.crc = w->crc;
    if (w->fragment == 0) {
        w->firstLength = w->written;
        w->firstCrc = w->crc;
    }
    uint8_t raw[FragmentHeader::kWideSize];
    w->header.Store(raw);
    Status s = WriteIOSeekFile(w->file, 0);
    if (!s) s = WriteIOWriteFile(w->file, raw, w->header.Size());
    if (WriteIOCloseFile(w->file)) s = 1;
    w->file = nullptr;
    // Buffered items reach the host only here: a failure now is as much a
    // short write as one during the run.
    if (s) FatalError("Disk full, giving up !");
    return s;
}

Status StoreFragment(ArchiveWriter* w) {
    if (DoneFragment(w)) return 1;
    if (w->fragment == 0xFFFF) return 1;
    ++w->fragment;
    return RewriteFragment(w);
}

// Runs ------------------------------------------------------------------------

Status RewriteCompressedChunk(ArchiveWriter* w) {
    w->fill = 0;
    return 0;
}

Status WriteCompressedChunk(ArchiveWriter* w, const void* data, uint32_t n) {
    if (n > kChunkData) return 1;
    if (w->fill + n > kChunkData && FlushCompressedChunk(w)) return 1;
    std::memcpy(w->input + w->fill, data, n);
    w->fill = uint16_t(w->fill + n);
    return 0;
}

Status FlushCompressedChunk(ArchiveWriter* w) {
    if (w->fill == 0) return 0;
    // The predictor runs through the chunks in order: the worker packs them
    // one after the other as they are queued. A small chunk is packed here
    // when nothing is queued (the worker is idle then): handing it over
    // would cost more than it saves.
    if (w->worker && w->fill < kHandOverMin && EmitOutputs(w, true)) return 1;
    if (w->worker && (w->fill >= kHandOverMin || w->outCount > 0)) {
        ArchiveWriter::Output* o = NewOutput(w);
        if (!o) return 1;
        std::swap(o->input, w->input);
        o->fill = w->fill;
        o->raw = false;
        w->fill = 0;
        o->ticket = w->worker->Run([w, o] {
            o->packedLength = ZipData(o->input, o->packed, o->fill, &w->context, w->table);
        });
        return EmitOutputs(w, true);
    }
    uint8_t* out = w->work + kChunkData;
    uint16_t packed = ZipData(w->input, out, w->fill, &w->context, w->table);
    uint16_t unpacked = w->fill;
    w->fill = 0;
    return EmitChunk(w, out, packed, unpacked);
}

Status DoneCompressedChunk(ArchiveWriter* w) {
    w->contentRun = false;
    return FlushCompressedChunk(w);
}

// Full archive ----------------------------------------------------------------

Status RewriteArchive(const char* name, uint32_t limit, ArchiveWriter* w) {
    *w = ArchiveWriter{};
    if (std::strlen(name) >= sizeof w->name) {
        LogCannotCreate(name);
        return 1;
    }
    std::strcpy(w->name, name);
    w->limit = limit;
    w->table = static_cast<uint8_t*>(Malloc(ParagraphsFor(kZipTableSize)));
    InitZipTable(w->table);
    w->input = static_cast<uint8_t*>(Malloc(ParagraphsFor(kChunkData)));
    w->work = static_cast<uint8_t*>(Malloc(ParagraphsFor(kWriterWorkSize)));
    for (ArchiveWriter::Output& o : w->outputs) {
        o.input = static_cast<uint8_t*>(Malloc(ParagraphsFor(kChunkData)));
        o.packed = static_cast<uint8_t*>(Malloc(ParagraphsFor(ZipBound(kChunkData))));
    }
    w->worker = new ChunkWorker;
    w->context = 0;
    if (RewriteFragment(w)) {
        FreeBuffers(w);
        return 1;
    }
    return 0;
}

Status WriteArchiveHeader(ArchiveWriter* w, const ArchiveHeader& header) {
    w->archive = header;
    w->archive.sumOfSizes = 0;
    w->bytesStored = 0;
    const FsHandler* h = FindFsID(header.fsId);
    w->sizeHighAt = h != nullptr ? h->sizeHighAt : 0;
    w->firstSum = header.sumOfSizes;
    // Drivers whose files may reach 4 GB get fragments with the wide
    // header: the first fragment's header grows before its first data byte.
    if (w->sizeHighAt != 0) {
        if (w->fragment != 0 || w->written != 0 || w->outCount != 0 || w->file == nullptr) return 1;
        static constexpr uint8_t kHighHalves[FragmentHeader::kWideSize - FragmentHeader::kSize] =
            {};
        if (WriteIOWriteFile(w->file, kHighHalves, sizeof kHighHalves))
            FatalError("Disk full, giving up !");
        w->header.magic = kFragmentMagicWide;
    }
    uint8_t raw[ArchiveHeader::kSize];
    header.Store(raw);
    return WriteToFragment(w, raw, sizeof raw);
}

Status RewriteBootSectors(ArchiveWriter* w, uint32_t size) {
    if (WriteTag(w, kTagBootSectors) || WriteU32(w, size)) return 1;
    w->pending = size;
    return size > 0 ? StartRun(w, true) : 0;
}

Status WriteBootSectorsChunk(ArchiveWriter* w, const uint8_t* data, uint32_t n) {
    if (n > w->pending || !w->contentRun) return 1;
    if (WriteContent(w, data, n)) return 1;
    w->pending -= n;
    return w->pending == 0 ? DoneCompressedChunk(w) : 0;
}

Status DoneBootSectors(ArchiveWriter* w) {
    return w->pending != 0;
}

Status RewriteDirSummary(ArchiveWriter* w) {
    if (WriteTag(w, kTagDirSummary)) return 1;
    return StartRun(w, false);
}

Status WriteDirSummaryEntry(ArchiveWriter* w, const uint8_t* entry) {
    return WriteCompressedChunk(w, entry, DirSummary::kSize + w->archive.summaryAttr);
}

Status DoneDirSummary(ArchiveWriter* w) {
    return DoneCompressedChunk(w);
}

Status RewriteFileSummary(ArchiveWriter* w) {
    if (WriteTag(w, kTagFileSummary)) return 1;
    return StartRun(w, false);
}

Status WriteFileSummaryEntry(ArchiveWriter* w, const uint8_t* entry) {
    return WriteCompressedChunk(w, entry, kFileSummarySize + w->archive.summaryAttr);
}

Status DoneFileSummary(ArchiveWriter* w) {
    return DoneCompressedChunk(w);
}

Status RewriteDirectories(ArchiveWriter* w) {
    w->pending = 0;
    return WriteTag(w, kTagDirectories);
}

Status WriteDirectory(ArchiveWriter* w, const DirectoryRecord& record) {
    if (w->pending != 0) return 1;
    uint64_t entries = uint64_t(record.subdirs) + record.files;
    if (entries > 0xFFFFFFFFull) return 1;
    uint8_t raw[DirectoryRecord::kSize];
    record.Store(raw);
    if (WriteToFragment(w, raw, sizeof raw)) return 1;
    w->pending = uint32_t(entries);
    return w->pending > 0 ? StartRun(w, false) : 0;
}

Status WriteDirEntryDir(ArchiveWriter* w, const uint8_t* entry) {
    return WriteListEntry(w, entry, SubdirEntry::kSize);
}

Status WriteDirEntryFile(ArchiveWriter* w, const uint8_t* entry) {
    return WriteListEntry(w, entry, kFileEntrySize);
}

Status DoneDirectories(ArchiveWriter* w) {
    return w->pending != 0;
}

Status RewriteFiles(ArchiveWriter* w) {
    w->pending = 0;
    return WriteTag(w, kTagFiles);
}

Status WriteFileHeader(ArchiveWriter* w, uint64_t size) {
    if (w->pending != 0 || !SizeFits(w, size)) return 1;
    if (WriteU32(w, uint32_t(size))) return 1;
    w->archive.sumOfSizes = AddToSumOfSizes(w->archive.sumOfSizes, size);
    w->bytesStored += size;
    w->pending = size;
    return size > 0 ? StartRun(w, true) : 0;
}

Status WriteFileContent(ArchiveWriter* w, const uint8_t* data, uint32_t n) {
    return WriteBootSectorsChunk(w, data, n);
}

Status DoneFiles(ArchiveWriter* w) {
    if (w->pending != 0) return 1;
    return WriteTag(w, kTagEnd);
}

Status DoneArchive(ArchiveWriter* w) {
    if (EmitOutputs(w, false) || w->file == nullptr) {
        FreeBuffers(w);
        return 1;
    }
    const uint64_t streamLength = w->header.streamOffset + w->written;
    if (DoneFragment(w)) {
        FreeBuffers(w);
        return 1;
    }
    {
        LogScope scope;
        PrintString("Archive size is ");
        PrintNumber(uint32_t(streamLength >> 20));
        PrintString(" Mb, stored in ");
        if (w->fragment > 0) {
            PrintNumber(uint32_t(w->fragment) + 1);
            PrintString(" fragments\r\n");
        } else {
            PrintString("one fragment\r\n");
        }
        PrintString("The sum of all file sizes is ");
        PrintNumber(uint32_t(w->bytesStored >> 20));
        PrintString(" Mb\r\n");
    }
    Status s = PatchFragments(w, streamLength);
    FreeBuffers(w);
    return s;
}

void AbortArchive(ArchiveWriter* w) {
    if (w->file) WriteIOCloseFile(w->file);
    w->file = nullptr;
    FreeBuffers(w);
}

// Incremental archive ---------------------------------------------------------

Status RewriteIArchive(const char* name, uint32_t limit, ArchiveWriter* w) {
    return RewriteArchive(name, limit, w);
}

Status WriteIArchiveHeader(ArchiveWriter* w, const ArchiveHeader& header) {
    return WriteArchiveHeader(w, header);
}

Status RewriteIFiles(ArchiveWriter* w) {
    w->pending = 0;
    return WriteTag(w, kTagIFiles);
}

Status WriteIDirectory(ArchiveWriter* w, IDirectoryRecord record, const char* name) {
    record.tag = kTagIDirectory;
    if (w->pending != 0) return 1;
    size_t nameLength = strnlen(name, kEntryNameMax);
    if (nameLength >= kEntryNameMax) return 1;
    uint8_t raw[IDirectoryRecord::kSize];
    record.Store(raw);
    if (WriteToFragment(w, raw, sizeof raw)) return 1;
    if (StartRun(w, false)) return 1;
    if (WriteCompressedChunk(w, name, uint32_t(nameLength) + 1)) return 1;
    w->pending = record.subdirs;
    return w->pending == 0 ? DoneCompressedChunk(w) : 0;
}

Status WriteIDirEntryDir(ArchiveWriter* w, const uint8_t* entry) {
    return WriteDirEntryDir(w, entry);
}

Status WriteIDirEntryFile(ArchiveWriter* w, const uint8_t* entry) {
    if (w->pending != 0) return 1;
    if (StartRun(w, false) || WriteEntry(w, entry, kFileEntrySize) || DoneCompressedChunk(w))
        return 1;
    const uint64_t size =
        FullSize(ld32(entry), entry + kFileEntrySize, w->archive.dirAttr, w->sizeHighAt);
    w->archive.sumOfSizes = AddToSumOfSizes(w->archive.sumOfSizes, size);
    w->bytesStored += size;
    w->pending = size;
    return size > 0 ? StartRun(w, true) : 0;
}

Status WriteIFileContent(ArchiveWriter* w, const uint8_t* data, uint32_t n) {
    return WriteFileContent(w, data, n);
}

Status DoneIFiles(ArchiveWriter* w) {
    return DoneFiles(w);
}

Status DoneIArchive(ArchiveWriter* w) {
    return DoneArchive(w);
}

} // namespace vk
