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

#include <utility>
#include <vector>

#include <cstdint>

#include "archive/format.h"
#include "archive/worker.h"
#include "disk/files.h"

namespace vk {

// Room for a remainder below 36864 and eight deliveries: the remainder is
// moved to the start only when the next delivery would not fit behind it.
constexpr uint32_t kReadBufferSize = 36864 + 8 * 32768;
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
    // Its host descriptor for positional reads from another thread, or -1
    // (a null slot: never).
    int (*descriptor)(const FileRecord* file);
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
                             uint64_t* size);
Status ReadIOReadFileBuffer(ReadIOBuffer* io, const uint8_t** ptr, uint32_t n);
// Reads the header a fragment file begins with, narrow or wide.
enum class FragmentHead { kRead, kCutShort, kNoFragment };
FragmentHead ReadFragmentHeader(ReadIOBuffer* io, FragmentHeader* header);
// True when the open file is a copy kept in the remote-file cache.
bool ReadIOCachedCopy(const ReadIOBuffer* io);
// The open file's host descriptor, which another thread may read with
// pread while the buffer stays open; -1 when it has none.
int ReadIODescriptor(const ReadIOBuffer* io);
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
    uint64_t pending = 0;              // what the current section part still holds
    // Sizes of 4 GB and more: where the archive's driver keeps the high half
    // in the attributes (FsHandler::sizeHighAt of the identifier's driver,
    // 0: nowhere), and, for a full archive, the files whose summary gave a
    // high half (file number, high half; in file order), which the Files
    // section's u32 sizes are completed from.
    uint8_t sizeHighAt = 0;
    std::vector<std::pair<uint32_t, uint32_t>> highSizes;
    uint32_t summariesRead = 0; // file summary entries handed out
    uint32_t headersRead = 0;   // file sizes of the Files section taken
    uint32_t headersAhead = 0;  // file sizes of the Files section read ahead
    uint8_t* unpack = nullptr;  // kChunkData bytes
    uint32_t cursor = 0;
    uint32_t unpacked = 0; // unpacked bytes not yet handed out
    uint8_t* table = nullptr;
    uint16_t context = 0;
    uint8_t saved[kSavedEntryMax] = {};
    // Chunks read ahead: where the stream's layout is known (file contents,
    // the files section of a full archive: sizes and contents, and the file
    // section of an incremental archive: directory records, the runs of
    // their names and subdirectory entries, the files' entries and
    // contents), the packed bytes of the chunks are copied out of the
    // fragment in order and the worker unpacks them, while the caller uses
    // the ones before them. They are taken from the head in stream order; a
    // raw item read ahead (a directory record, a file's size) is kept as it
    // was read.
    ChunkWorker* worker = nullptr;
    struct Ahead {
        uint8_t* packed = nullptr; // kChunkPackedMax bytes (or the raw item)
        uint8_t* data = nullptr;   // kChunkData bytes
        uint16_t packedLength = 0;
        uint16_t length = 0;
        int32_t used = 0;    // packed bytes the unpacker consumed
        uint32_t itemAt = 0; // data offset of the last raw item read for it
        bool record = false; // a raw item (`length` bytes), not a chunk
        bool failed = false; // reading it failed: taking it fails
        uint64_t ticket = 0; // the worker's job
    };
    static constexpr uint32_t kAhead = 32;
    Ahead ahead[kAhead];
    uint32_t aheadHead = 0;  // index of the oldest item read ahead
    uint32_t aheadCount = 0; // items read ahead and not yet taken
    // What the stream holds after the last item read ahead (or, with none,
    // at the caller's position).
    enum class Plan : uint8_t {
        None,      // not known here: nothing is read ahead
        Files,     // content chunks, then entries and contents of files
        DirRecord, // an incremental directory record
        DirRun,    // a chunk of a directory's name and subdirectory entries
        FileSize,  // the size of a full archive's file
    } plan = Plan::None;
    uint32_t planUnresolved = 0; // chunks read ahead last, not yet accounted for
    bool planName = false;       // the directory's name is still to come in its run
    uint32_t planContent = 0;    // content chunks still to come of the current file
    uint32_t planFiles = 0;      // files whose entry chunk is still to come
    uint32_t planDirs = 0;       // directory records still to come
    uint32_t planSizes = 0;      // full archive files still to come
    uint32_t planSubdirs = 0;    // subdirectory entries still to come in the run
    uint32_t planDirFiles = 0;   // files of the directory whose run is read
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
Status ReadFileHeader(IArchive* r, uint64_t* size);
Status ReadFileContent(IArchive* r, const uint8_t** ptr, uint32_t* len);
Status ReadSkipFile(IArchive* r, uint64_t* size);
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
