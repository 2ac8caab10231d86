// The archive reader: walks a full or incremental archive strictly front to
// back, opening its fragment files in turn, checking their headers and
// unpacking the compressed runs. Records and data are handed out as
// pointers into the reader's own buffers, valid until its next call. Every
// operation returns 0 on success; failures log their message (or fail
// silently for section-order errors, which the caller reports).
//
// Full archive, in calling order:
//   OpenArchive, ReadArchiveHeader,
//   OpenBootSectors, ReadBootSectorsChunk..., CloseBootSectors,
//   OpenDirSummary, ReadDirSummaryEntry x dirs, CloseDirSummary,
//   OpenFileSummary, ReadFileSummaryEntry x files, CloseFileSummary,
//   OpenDirectories, per directory ReadDirectory, ReadDirEntryDir x S,
//   ReadDirEntryFile x F, CloseDirectories,
//   OpenFiles, per file ReadFileHeader + ReadFileContent... or ReadSkipFile,
//   CloseFiles, CloseArchive.
// Incremental archive:
//   OpenIArchive, ReadIArchiveHeader, OpenIFiles, per directory
//   ReadIDirectory and ReadIDirEntryDir x S, per file ReadIDirEntryFile +
//   ReadIFileContent... or ReadISkipFile, CloseIFiles, CloseIArchive;
//   ReopenIArchive rewinds for a second pass.
#pragma once

#include <cstdint>

#include "archive/format.h"
#include "archive/worker.h"
#include "disk/files.h"

namespace vk {

constexpr uint32_t kReadBufferSize = 69632;    // a remainder below 36864 plus one delivery
constexpr uint32_t kReadMax = kChunkPackedMax; // largest contiguous raw read
constexpr uint32_t kSavedEntryMax = 1024;      // room for an entry kept across a skip
constexpr uint32_t kReaderNameMax = 256;       // archive names, with the NUL
constexpr uint32_t kUnknownSize = 0xFFFFFFFF;  // file size the file layer does not know

// How the reader reaches fragment files: the file layer, unless a test puts
// something else behind it.
struct ReadIOOps {
    Status (*open)(const char* name, FileRecord* file, uint16_t flags);
    uint16_t (*read)(FileRecord* file, uint8_t* buffer); // kChunkMax bytes at most; 0 = none
    Status (*close)(FileRecord* file);
    Status (*remove)(const char* name);
    // True when the open file is a copy kept in the remote-file cache.
    bool (*cached)(const FileRecord* file);
};
void SetReadIOOps(const ReadIOOps* ops); // null restores the file layer

struct ReadIOBuffer {
    FileRecord file;
    bool open = false;
    uint8_t* buffer = nullptr; // kReadBufferSize bytes
    uint32_t cursor = 0;       // next byte to hand out
    uint32_t count = 0;        // buffered bytes not yet handed out
};

Status ReadIOOpenFileBuffer(const char* name, ReadIOBuffer* io, uint32_t* size);
// The same for a file a directory listing of state handed out (OpenFILEEntry).
Status ReadIOOpenEntryBuffer(FsState* state, const FsEntry& entry, ReadIOBuffer* io,
                             uint32_t* size);
Status ReadIOReadFileBuffer(ReadIOBuffer* io, const uint8_t** ptr, uint32_t n);
// True when the open file is a copy kept in the remote-file cache.
bool ReadIOCachedCopy(const ReadIOBuffer* io);
// Closes the file; a damaged copy in the remote-file cache is dropped so that
// the next attempt fetches it again (true then).
bool ReadIOCloseDroppingCachedCopy(ReadIOBuffer* io, const char* name);
Status ReadIOCloseFileBuffer(ReadIOBuffer* io);
Status ReadIOStopFileBuffer(ReadIOBuffer* io);

// One open archive (the drivers' full restore receives it as IArchive).
struct IArchive {
    char name[kReaderNameMax] = {};
    char fragmentName[kReaderNameMax] = {};
    uint16_t fragment = 0;
    ReadIOBuffer io;
    FragmentHeader header;             // the current fragment's
    uint32_t consumed = 0;             // its data bytes read so far
    FragmentCrc crc{FragmentHeader{}}; // the CRC check of those bytes
    uint32_t itemAt = 0;               // data offset where the last raw item began
    ArchiveHeader archive;             // SA and DA size the entries
    uint32_t pending = 0;              // what the current section part still holds
    uint8_t* unpack = nullptr;         // kChunkData bytes
    uint32_t cursor = 0;
    uint32_t unpacked = 0; // unpacked bytes not yet handed out
    uint8_t* table = nullptr;
    uint16_t context = 0;
    uint8_t saved[kSavedEntryMax] = {};
    // Content chunks follow one another: while the caller uses one, the
    // worker unpacks the next into `ahead` (its packed bytes copied from
    // the fragment in order first).
    ChunkWorker* worker = nullptr;
    uint8_t* ahead = nullptr;       // kChunkData bytes
    uint8_t* aheadPacked = nullptr; // kChunkPackedMax bytes
    enum class Ahead : uint8_t { None, Unpacking, Failed } aheadState = Ahead::None;
    uint16_t aheadPackedLength = 0;
    uint16_t aheadLength = 0;
    int32_t aheadUsed = 0;
};
using ArchiveReader = IArchive;

// Fragment layer.
Status OpenFragment(IArchive* r);
Status ReadFromFragment(IArchive* r, const uint8_t** ptr, uint32_t n);
Status CopyFromFragment(IArchive* r, void* dst, uint32_t n);
Status CloseFragment(IArchive* r);
Status StopFragment(IArchive* r);
Status NextFragment(IArchive* r, bool keep);
Status ScanFragments(IArchive* r);

// Runs of compressed chunks.
Status OpenCompressedChunk(IArchive* r);
Status ReadCompressedChunk(IArchive* r, const uint8_t** ptr, uint32_t n);
Status SkipCompressedChunk(IArchive* r, uint32_t n);
// Non-zero when the run held more data than was read.
Status CloseCompressedChunk(IArchive* r);

// Full archive.
Status OpenArchive(const char* name, IArchive* r);
Status ReadArchiveHeader(IArchive* r, const ArchiveHeader** header);
Status OpenBootSectors(IArchive* r, uint32_t* size);
Status ReadBootSectorsChunk(IArchive* r, const uint8_t** ptr, uint32_t* len);
Status CloseBootSectors(IArchive* r);
Status OpenDirSummary(IArchive* r);
Status ReadDirSummaryEntry(IArchive* r, const uint8_t** ptr);
Status CloseDirSummary(IArchive* r);
Status OpenFileSummary(IArchive* r);
Status ReadFileSummaryEntry(IArchive* r, const uint8_t** ptr);
Status CloseFileSummary(IArchive* r);
Status OpenDirectories(IArchive* r);
Status ReadDirectory(IArchive* r, DirectoryRecord* record);
Status ReadDirEntryDir(IArchive* r, const uint8_t** ptr);
Status ReadDirEntryFile(IArchive* r, const uint8_t** ptr);
Status CloseDirectories(IArchive* r);
Status OpenFiles(IArchive* r);
Status ReadFileHeader(IArchive* r, uint32_t* size);
Status ReadFileContent(IArchive* r, const uint8_t** ptr, uint32_t* len);
Status ReadSkipFile(IArchive* r, uint32_t* size);
Status CloseFiles(IArchive* r);
Status CloseArchive(IArchive* r);

// Incremental archive.
Status OpenIArchive(const char* name, IArchive* r);
Status ReadIArchiveHeader(IArchive* r, const ArchiveHeader** header);
Status OpenIFiles(IArchive* r);
Status ReadIDirectory(IArchive* r, IDirectoryRecord* record, const char** name);
Status ReadIDirEntryDir(IArchive* r, const uint8_t** ptr);
Status ReadIDirEntryFile(IArchive* r, const uint8_t** ptr);
Status ReadIFileContent(IArchive* r, const uint8_t** ptr, uint32_t* len);
Status ReadISkipFile(IArchive* r, const uint8_t** ptr);
Status CloseIFiles(IArchive* r);
Status CloseIArchive(IArchive* r);
Status ReopenIArchive(IArchive* r);

// Releases everything an archive holds, whatever its state (for callers
// that give up half-way).
void AbandonArchive(IArchive* r);

} // namespace vk
