// The file access layer: one way to name and reach every file. A name of the
// form "{" [disk digit] ":" partition "}" path lies on a partition; any other
// name is not on a partition and goes to the registered non-partition route
// (host directories in the archiver, remote files in the batch program).
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/fsdriver.h"
#include "platform/types.h"

namespace vk {

// Open flags.
constexpr uint16_t kOpenCacheAlways = 1; // copy a remote file into the cache first
constexpr uint16_t kOpenRetry = 2;       // this call is the single retry
constexpr uint16_t kOpenReadAhead = 4;   // a local file may be read ahead

struct FileRecord {
    uint8_t remote = 0;
    uint8_t writing = 0;
    uint8_t readAhead = 0;
    FsState* state = nullptr;
    FsFileHandle* handle = nullptr;
    // Reading: a file the archive's scan opens may be 4 GB and more; script
    // opens (OpenFILE) refuse such files, and writes stay below 4 GB.
    uint64_t size = 0;
    uint64_t remaining = 0;
    uint32_t allocated = 0; // writing: the size last given to the driver
    uint8_t replaced = 0;   // writing: the file existed before this write
    FsEntry entry{};
};

// Remote files (names that are not partition paths in the batch program):
// one open at a time. The routing table is registered by the program.
struct RemoteFileOps {
    int (*Open)(const char* name, uint8_t* gateway, uint8_t* server, uint16_t port);
    int (*Create)(const char* name);
    int (*Read)(uint8_t* buffer); // bytes read, 0 at the end, negative on error
    int (*Write)(const uint8_t* data, uint16_t length);
    int (*Close)();
};

// How names that are not partition paths are served.
enum class HostRoute {
    HostDirectory, // through the host directory driver
    Remote,        // through the remote-file routing table
};
void SetHostRoute(HostRoute route, const RemoteFileOps* remote, FsState* hostState);
// True when remote names reach a server over the network (not host files).
bool RemoteNamesCrossTheNetwork();

// The host-file column of the remote-file routing: the batch program without
// a boot PROM serves its remote names from host files (one open at a time,
// names with "\" turned into "/", reads of at most 1408 bytes).
extern const RemoteFileOps HostRemoteFileOps;
constexpr uint16_t kHostRemoteBlock = 1408;

// The remote-file cache and the extended-memory read-ahead of the batch
// program, registered by it; absent hooks mean no cache and no read-ahead.
struct RemoteCacheOps {
    // Copies a remote file into the cache partition; cacheName (kPathMax
    // bytes) receives the local name. 0 ready, -2 network timeout (retried),
    // anything else a failure.
    int (*CacheRemoteFile)(const char* name, char* cacheName, uint32_t* size, int force);
    // Read-ahead of a local file opened with kOpenReadAhead: granted or not
    // at open, then serves the reads (at most kChunkMax bytes), released at
    // close. ReadAhead may call ReadFILE after clearing file->readAhead.
    bool (*StartReadAhead)(FileRecord* file);
    uint16_t (*ReadAhead)(FileRecord* file, uint8_t* buffer);
    void (*StopReadAhead)(FileRecord* file);
};
void SetRemoteCache(const RemoteCacheOps* ops);

// 0: no remote file open, 1: one open, 2: its transfer broke off.
extern uint8_t RemoteFileOpen;

Status OpenFILE(const char* name, FileRecord* file, uint16_t flags);
// Opens the file of an entry that a directory listing of state handed out,
// without looking its name up again (a walk of the tree opens its files so).
Status OpenFILEEntry(FsState* state, const FsEntry& entry, FileRecord* file);
Status CreateFILE(const char* name, FileRecord* file, uint32_t size);
uint16_t ReadFILE(FileRecord* file, uint8_t* buffer); // buffer: kChunkMax bytes
uint16_t WriteFILE(FileRecord* file, const uint8_t* data, uint16_t length);
Status CloseFILE(FileRecord* file);
// Removes the target of a write that failed (name as given to CreateFILE,
// the record closed first), so that no truncated or empty file stays behind
// looking complete: a file the write created, or an existing one whose old
// content was already written over. Remote targets stay as they are.
void DiscardFILE(const FileRecord* file, const char* name);
// What a failed write did with its target, for the message that reports it;
// reading it resets it to None.
enum class TargetFate : uint8_t {
    None,       // nothing was made, or nothing can be said (a remote target)
    Removed,    // the file this write created was removed again
    OldKept,    // the existing file was not changed: it keeps its old content
    OldRemoved, // the existing file had lost its old content and was removed
    Left,       // the partial file could not be removed
};
TargetFate TakeTargetFate();
int FILEExists(const char* name);
Status DeleteFILE(const char* name);
// The name that reaches a file record's file on its partition again,
// "{" disk digit ":" partition "}" path (for a copy kept by the remote-file
// cache, the local copy). False for records not on a partition, or when the
// name does not fit into size bytes.
bool LocalFileName(const FileRecord* file, char* out, size_t size);
// The host descriptor of an open regular host file that ReadFILE reads
// straight through, for positional reads from another thread while the
// record stays open; -1 for any other record (remote, cached, on a
// partition).
int FILEDescriptor(const FileRecord* file);
Status CreateDIR(const char* name);
Status DelTREE(const char* name);
Status LogDIR(const char* path);
Status LogTREE(const char* name);
Status AppendFILE(const char* first, const char* second, const char* destination, uint16_t flags);
Status CopyFILE(const char* source, const char* destination, uint16_t flags);
Status PatchFILE(const char* source, const char* destination, const char* start, const char* end,
                 uint16_t flags);

// Temporary host names of the archiver: TempPath/TMP~<suffix>.<3 letters>.
// Index 0 asks for a new index; the index used (1 to 728) is returned. out
// holds outSize bytes; a name that does not fit gives "" and -1.
constexpr size_t kTempNameMax = 320;
int GetTempName(const char* suffix, int index, char* out, size_t outSize = kTempNameMax);

// Whole-file loading (at most 65535 bytes plus a NUL) and buffered reading.
constexpr uint32_t kLoadBlock = 65536;
Status LoadFile(const char* name, uint32_t* size, char** buffer, bool raw);
int ReadBufferFILE(FileRecord* file, uint8_t* buffer, uint8_t** start, uint8_t** end);
Status FindWordInFile(const char* word, const char* fileName, int ignoreCase, int* found);

} // namespace vk
