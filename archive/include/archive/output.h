// The destination adapter: one step sequence for the copy engine whatever
// the destination (full or incremental archive, dump, path). A full archive
// stores its summaries and every directory's block counts ahead of the
// directories, so the adapter collects the whole tree in virtual files,
// computes the counts with the driver's AddEntrySize while directories
// close, and writes summaries and directories once the tree is complete.
// For incremental destinations it emits each directory record just before
// the files that belong to it.
//
// Calling order: OutputArchive, OutputFsInfos, OutputBootSectors,
// OutputBootSectorsChunk..., OutputedBootSectors, OutputDirectories,
// OutputRootDirEntry, per directory OutputDirectory and its
// OutputDirEntryDir / OutputDirEntryFile, OutputedDirectories, OutputFiles,
// per file OutputFileHeader and OutputFileContent..., OutputedFiles,
// OutputedArchive. Entries arrive in their archive shape with attribute
// size A: attributes at offset 16 (subdirectory entries) or 4 (file
// entries), the name right after them. Every step returns 0 on success.
#pragma once

#include <cstdint>

#include "archive/copy.h"
#include "archive/format.h"
#include "archive/sink.h"
#include "disk/fsdriver.h"
#include "platform/types.h"

namespace vk {

// "OUDC" layout: a directory record, then its entries.
constexpr uint32_t kOudcRecord = 152;
constexpr uint32_t kOudcName = kEntryNameMax;

struct OutputLevel {
    uint32_t number = 0;   // directory number in pre-order
    uint32_t recordAt = 0; // its "OUDC" record
    uint32_t attrsAt = 0;  // where its subdirectories' attributes start in "OUDA"
    uint32_t subdirEntries = 0;
    uint32_t fileEntries = 0;
    uint32_t entered = 0; // subdirectories entered
    uint32_t descendants = 1;
    uint32_t bytes[kBlockSizes] = {};
    uint32_t totals[kBlockSizes] = {};
};

struct OutputContext {
    uint8_t type = kEndNone;
    SectionSink* sink = nullptr; // the destination behind the adapter
    ArchiveHeader header;
    const FsHandler* handler = nullptr;
    uint16_t attrSize = 0; // A of the incoming entries
    uint32_t bootSize = 0;
    int16_t oubs = -1, ouds = -1, oufs = -1, oudc = -1, ouda = -1;
    uint32_t dirsToEmit = 0;
    uint32_t filesDue = 0;
    uint64_t fileSize = 0; // incremental: content bytes the current file still takes
    OutputLevel stack[kCopyDepthMax];
    uint32_t depth = 0;
    uint8_t* scratch = nullptr; // kChunkData bytes
};

// Driver tables by identifier: the partition drivers, then the given one
// (the source's own driver, e.g. the host directory driver).
const FsHandler* FindHandlerById(const char id[4], const FsHandler* also);

Status OutputArchive(OutputContext* o, uint8_t type, const char* name, uint32_t param);
// Fails when no driver has the identifier.
Status OutputFsInfos(OutputContext* o, const char id[4], uint16_t attrSize,
                     const FsHandler* sourceHandler);
Status OutputBootSectors(OutputContext* o, uint32_t size);
Status OutputBootSectorsChunk(OutputContext* o, const uint8_t* data, uint32_t n);
Status OutputedBootSectors(OutputContext* o);
Status OutputDirectories(OutputContext* o);
Status OutputRootDirEntry(OutputContext* o, const uint8_t* entry);
Status OutputDirectory(OutputContext* o, uint16_t pops);
Status OutputDirEntryDir(OutputContext* o, const uint8_t* entry);
Status OutputDirEntryFile(OutputContext* o, const uint8_t* entry);
Status OutputedDirectories(OutputContext* o);
Status OutputFiles(OutputContext* o);
Status OutputFileHeader(OutputContext* o, uint64_t size);
Status OutputFileContent(OutputContext* o, const uint8_t* data, uint32_t n);
Status OutputedFiles(OutputContext* o);
Status OutputedArchive(OutputContext* o);
// Releases everything after a failed step; an unfinished archive stays
// marked unfinished.
void AbandonOutput(OutputContext* o);

} // namespace vk
