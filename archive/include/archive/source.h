// The reader's full-archive operations as a table, for the file-system
// drivers: they lie below the archive library and must not link it, yet
// their full restore reads the archive it hands them. The archive library
// fills the table and the programs register it at start-up
// (RegisterFullArchiveReader, archive/reader_source.h); drivers call
// through GetFullArchiveSource(). Each slot is the reader function of the
// same name (archive/reader.h) with its contract.
#pragma once

#include <cstdint>
#include <cstring>

#include "archive/format.h"
#include "platform/types.h"
#include "platform/util.h"

namespace vk {

struct IArchive;

struct FullArchiveSource {
    Status (*ReadArchiveHeader)(IArchive* r, const ArchiveHeader** header);
    Status (*OpenBootSectors)(IArchive* r, uint32_t* size);
    Status (*ReadBootSectorsChunk)(IArchive* r, const uint8_t** ptr, uint32_t* len);
    Status (*CloseBootSectors)(IArchive* r);
    Status (*OpenDirSummary)(IArchive* r);
    Status (*ReadDirSummaryEntry)(IArchive* r, const uint8_t** ptr);
    Status (*CloseDirSummary)(IArchive* r);
    Status (*OpenFileSummary)(IArchive* r);
    Status (*ReadFileSummaryEntry)(IArchive* r, const uint8_t** ptr);
    Status (*CloseFileSummary)(IArchive* r);
    Status (*OpenDirectories)(IArchive* r);
    Status (*ReadDirectory)(IArchive* r, DirectoryRecord* record);
    Status (*ReadDirEntryDir)(IArchive* r, const uint8_t** ptr);
    Status (*ReadDirEntryFile)(IArchive* r, const uint8_t** ptr);
    Status (*CloseDirectories)(IArchive* r);
    Status (*OpenFiles)(IArchive* r);
    Status (*ReadFileHeader)(IArchive* r, uint64_t* size);
    Status (*ReadFileContent)(IArchive* r, const uint8_t** ptr, uint32_t* len);
    Status (*CloseFiles)(IArchive* r);
};

// Null unregisters; a restore without a registered source fails.
void SetFullArchiveSource(const FullArchiveSource* source);
const FullArchiveSource* GetFullArchiveSource();

// The header of an archive that a driver's full restore takes: its
// file-system identifier, `attrSize` bytes of attributes with the
// summaries and none with the directory entries. Null after logging
// "<who>: no archive reader registered" or "<who>: Incompatible archive
// type" (or the reader's own message).
inline const ArchiveHeader* AcceptFullArchive(const FullArchiveSource* src, IArchive* archive,
                                              const char* fsId, uint16_t attrSize,
                                              const char* who) {
    if (src == nullptr) {
        LogFormat("%s: no archive reader registered\r\n", who);
        return nullptr;
    }
    const ArchiveHeader* header = nullptr;
    if (src->ReadArchiveHeader(archive, &header) != 0) return nullptr;
    if (std::memcmp(header->fsId, fsId, 4) != 0 || header->summaryAttr != attrSize ||
        header->dirAttr != 0) {
        LogFormat("%s: Incompatible archive type\r\n", who);
        return nullptr;
    }
    return header;
}

// A driver's full restore as a sink of the sections it reads through the
// table; the pumps below read, check lengths and counts, and feed it. A
// step that returns nonzero stops the pump (the sink has said why).
class FullRestoreSink {
  public:
    virtual ~FullRestoreSink() = default;
    virtual Status DirSummaryEntry(uint32_t, const uint8_t*) { return 0; }
    virtual Status FileSummaryEntry(uint32_t, const uint8_t*) { return 0; }
    // The directories section, a directory at a time in pre-order (index
    // 0 the root, its parent 0 too): the record, to check against the
    // summary and begin the directory; a name beyond what the walk refuses
    // itself; each subdirectory entry (`child`: the directory number it
    // names) and file entry (`file`: its number in file order, `dir` the
    // directory holding it), with their attributes and name; the end.
    virtual Status BeginDirectory(uint32_t, uint32_t, const DirectoryRecord&) { return 0; }
    virtual Status CheckName(const char*) { return 0; }
    virtual Status AddSubdirectory(uint32_t, const SubdirEntry&, const uint8_t*, const char*) {
        return 0;
    }
    virtual Status AddFile(uint32_t, uint32_t, uint32_t, const uint8_t*, const char*) { return 0; }
    virtual Status EndDirectory() { return 0; }
    virtual Status BeginFile(uint32_t, uint64_t) { return 0; }
    virtual Status FilePiece(const uint8_t*, uint32_t) { return 0; }
    virtual Status EndFile() { return 0; }
    virtual Status EndFiles() { return 0; }
};

// What a restore reads, and who it is in its messages ("FAT Unzip").
struct FullRestoreSource {
    const FullArchiveSource* src;
    IArchive* archive;
    const char* who;
    FullRestoreSink* sink;
};

// The boot sectors section: kept in `into` when it holds `keep` bytes
// (*kept set), passed otherwise.
Status PumpRestoreBootArea(const FullRestoreSource& in, uint32_t keep, uint8_t* into, bool* kept);
// Both summaries, entry by entry; the directory summary must count the
// header's directories and files.
Status PumpRestoreSummaries(const FullRestoreSource& in, uint32_t dirCount, uint32_t fileCount);
// The directories section: the tree's shape (pops within the open levels,
// at most 64 deep, every directory one its parent announced, the
// subdirectory entries' descendants covering the subtrees), names (one
// path component each) and file sizes against `sizes` are checked, and
// every directory goes to the sink. `attrSize`: the entries' attribute
// size (DA).
Status PumpRestoreDirectories(const FullRestoreSource& in, uint32_t dirCount, const uint32_t* sizes,
                              uint32_t fileCount, uint16_t attrSize);
// The files section: every file's size against `sizes`, its content in
// pieces; `total` bytes for the progress line.
Status PumpRestoreFiles(const FullRestoreSource& in, const uint32_t* sizes, uint32_t fileCount,
                        uint64_t total);

} // namespace vk
