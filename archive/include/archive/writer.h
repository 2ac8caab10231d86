// The archive writer: produces full and incremental archives as host files,
// packs the variable data into compressed runs, cuts the stream into
// fragment files of a chosen size and patches the totals in when the archive
// is finished. Every operation returns 0 on success.
//
// Full archive, in calling order:
//   RewriteArchive, WriteArchiveHeader,
//   RewriteBootSectors, WriteBootSectorsChunk..., DoneBootSectors,
//   RewriteDirSummary, WriteDirSummaryEntry x dirs, DoneDirSummary,
//   RewriteFileSummary, WriteFileSummaryEntry x files, DoneFileSummary,
//   RewriteDirectories, per directory WriteDirectory, WriteDirEntryDir x S,
//   WriteDirEntryFile x F, DoneDirectories,
//   RewriteFiles, per file WriteFileHeader, WriteFileContent..., DoneFiles,
//   DoneArchive.
// Incremental archive:
//   RewriteIArchive, WriteIArchiveHeader, RewriteIFiles, per directory
//   WriteIDirectory and WriteIDirEntryDir x S, per file WriteIDirEntryFile and
//   WriteIFileContent..., DoneIFiles, DoneIArchive.
//
// Entries are passed in their archive layout (fixed part, attributes, name
// with its NUL); the attribute sizes come from the archive header.
#pragma once

#include <cstdint>

#include "archive/format.h"
#include "archive/worker.h"
#include "archive/writeio.h"

namespace vk {

constexpr uint32_t kArchiveNameMax = 256; // with the NUL
constexpr uint32_t kWriterWorkSize = 69632;

struct ArchiveWriter {
    char name[kArchiveNameMax] = {};         // the first fragment's host path
    char fragmentName[kArchiveNameMax] = {}; // the current fragment's path
    uint16_t fragment = 0;
    uint32_t limit = 0; // data a fragment should take at most
    WriteIOHandle file = nullptr;
    FragmentHeader header;
    uint32_t written = 0;  // data bytes in the current fragment
    uint32_t crc = 0;      // CRC32 of them
    ArchiveHeader archive; // sum of file sizes recounted from the files written
    uint64_t pending = 0;  // what the current section part still expects
    // Where the archive's driver keeps the high half of a file's size in
    // the attributes (FsHandler::sizeHighAt; 0: files stay below 4 GB).
    uint8_t sizeHighAt = 0;
    uint64_t bytesStored = 0; // file sizes in all, for the closing message
    uint8_t* input = nullptr; // kChunkData bytes of unpacked run data
    uint16_t fill = 0;
    // From offset kChunkData on, the packed output; the first kChunkData
    // bytes are scratch space for the writer's callers.
    uint8_t* work = nullptr;
    uint8_t* table = nullptr;
    uint16_t context = 0;
    bool contentRun = false; // the open run holds boot sectors or file content
    // Fragment 0 as closed, for the final patch of the sum of file sizes: its
    // data length, its CRC and the sum field as first written.
    uint32_t firstLength = 0;
    uint32_t firstCrc = 0;
    uint32_t firstSum = 0;
    // Packing in the background: every chunk is packed by the worker while
    // the caller fills `input` with the next. The chunks and the raw items
    // between them wait in a queue of outputs and are written to the
    // fragments in stream order, by the caller, once packed.
    ChunkWorker* worker = nullptr;
    struct Output {
        uint8_t* input = nullptr;  // kChunkData bytes: the chunk, or the raw item
        uint8_t* packed = nullptr; // ZipBound(kChunkData) bytes
        uint16_t fill = 0;         // bytes in input
        uint16_t packedLength = 0;
        bool raw = false; // written as it is, not packed
        uint64_t ticket = 0;
    };
    static constexpr uint32_t kOutputs = 16;
    Output outputs[kOutputs];
    uint32_t outHead = 0;  // the oldest output not yet written
    uint32_t outCount = 0; // outputs not yet written
};

// Fragment layer.
Status SelectFragment(ArchiveWriter* w);
Status RewriteFragment(ArchiveWriter* w);
Status WriteToFragment(ArchiveWriter* w, const void* data, uint32_t n);
Status DoneFragment(ArchiveWriter* w);
Status StoreFragment(ArchiveWriter* w);

// Runs of compressed chunks.
Status RewriteCompressedChunk(ArchiveWriter* w);
Status WriteCompressedChunk(ArchiveWriter* w, const void* data, uint32_t n);
Status FlushCompressedChunk(ArchiveWriter* w);
Status DoneCompressedChunk(ArchiveWriter* w);

// Full archive.
Status RewriteArchive(const char* name, uint32_t limit, ArchiveWriter* w);
Status WriteArchiveHeader(ArchiveWriter* w, const ArchiveHeader& header);
Status RewriteBootSectors(ArchiveWriter* w, uint32_t size);
Status WriteBootSectorsChunk(ArchiveWriter* w, const uint8_t* data, uint32_t n);
Status DoneBootSectors(ArchiveWriter* w);
Status RewriteDirSummary(ArchiveWriter* w);
Status WriteDirSummaryEntry(ArchiveWriter* w, const uint8_t* entry);
Status DoneDirSummary(ArchiveWriter* w);
Status RewriteFileSummary(ArchiveWriter* w);
Status WriteFileSummaryEntry(ArchiveWriter* w, const uint8_t* entry);
Status DoneFileSummary(ArchiveWriter* w);
Status RewriteDirectories(ArchiveWriter* w);
Status WriteDirectory(ArchiveWriter* w, const DirectoryRecord& record);
Status WriteDirEntryDir(ArchiveWriter* w, const uint8_t* entry);
Status WriteDirEntryFile(ArchiveWriter* w, const uint8_t* entry);
Status DoneDirectories(ArchiveWriter* w);
Status RewriteFiles(ArchiveWriter* w);
Status WriteFileHeader(ArchiveWriter* w, uint64_t size);
Status WriteFileContent(ArchiveWriter* w, const uint8_t* data, uint32_t n);
Status DoneFiles(ArchiveWriter* w);
Status DoneArchive(ArchiveWriter* w);

// Incremental archive.
Status RewriteIArchive(const char* name, uint32_t limit, ArchiveWriter* w);
Status WriteIArchiveHeader(ArchiveWriter* w, const ArchiveHeader& header);
Status RewriteIFiles(ArchiveWriter* w);
Status WriteIDirectory(ArchiveWriter* w, IDirectoryRecord record, const char* name);
Status WriteIDirEntryDir(ArchiveWriter* w, const uint8_t* entry);
Status WriteIDirEntryFile(ArchiveWriter* w, const uint8_t* entry);
Status WriteIFileContent(ArchiveWriter* w, const uint8_t* data, uint32_t n);
Status DoneIFiles(ArchiveWriter* w);
Status DoneIArchive(ArchiveWriter* w);

// Gives up an unfinished archive: closes the current fragment and frees the
// buffers. The fragments written so far stay on the host, unfinished (their
// stream length is 0), so no reader takes them for a whole archive.
void AbortArchive(ArchiveWriter* w);

} // namespace vk
