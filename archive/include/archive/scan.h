// The archive source that reads a live file tree: a partition named through
// the file layer or a host directory. NewArchive walks the whole tree
// depth-first, sorts each directory (subdirectories first, then files, each
// in name order with the DOS system files first) through an external merge
// sort kept in virtual files, and records the tree in three virtual files.
// The producer steps then hand out what an archive reader would: boot
// sectors, directories in pre-order with their entries, file contents.
//
// Producer order:
//   GetFsInfos; NewBootSectors, GetBootSectorsChunk..., FinishBootSectors;
//   NewDirectories, GetRootDirEntry, per directory GetDirectory,
//   GetDirEntryDir x subdirs, GetDirEntryFile x files, FinishDirectories;
//   NewFiles, per file GetFileHeader + GetFileContent... or DismissFile,
//   FinishFiles; FinishArchive.
// Entries come in their archive shape with the driver's attribute size A:
// subdirectory entries with A attribute bytes at offset 16, file entries at
// offset 4, the name right after them.
#pragma once

#include <cstdint>

#include "archive/reader.h"
#include "disk/dirref.h"
#include "platform/types.h"

namespace vk {

constexpr uint32_t kScanPathMax = kPathMax; // full paths, with the NUL
constexpr uint32_t kScanDepthMax = 64;      // directory levels below the root
constexpr uint32_t kSortPageBytes = 32768;

// Name order of the scan: the DOS system files first (compared with case),
// then without case, then with case.
bool NameIsSmaller(const char* a, const char* b);

// External sort of one directory's entries (E bytes each: u32 key, where
// 0xFFFFFFFF marks a directory, A attribute bytes, 128-byte name). Pages of
// P index bytes and P entries live in the virtual file "SWAP".
struct SortState {
    uint32_t nEntries = 0;
    uint16_t attrLen = 0;
    uint16_t entSize = 0;
    uint16_t entPerPage = 0;
    uint16_t pageSize = 0;
    uint16_t currPage = 0;
    uint8_t* page = nullptr;
    int16_t swapFile = -1;
};
// extra: bytes of the caller's own behind each entry, carried along unsorted.
Status InitSort(SortState* s, uint16_t attrLen, uint16_t extra = 0);
Status SortEntry(SortState* s, const uint8_t* entry);
// Hands the sorted entries to emit in order, then frees the sort.
using SortSink = Status (*)(void* user, const uint8_t* entry);
Status FlushSort(SortState* s, SortSink sink, void* user);
void AbandonSort(SortState* s);

struct ScanState {
    char path[kScanPathMax] = {}; // the source path without a trailing "/"
    FsDirRef root;
    const FsHandler* handler = nullptr;
    char fsId[4] = {};
    uint16_t attrSize = 0;
    bool wholeFs = false; // the scan root is its file system's root
    uint32_t dirs = 0;
    uint32_t files = 0;
    int16_t newd = -1, newf = -1, news = -1;
    SortState sort;
    // Copy phase.
    uint32_t pending = 0;
    uint8_t* buffer = nullptr; // kChunkData entry / data bytes
    uint32_t bootRead = 0;     // boot sectors delivered so far
    ReadIOBuffer io;
    bool fileOpen = false;
    bool readError = false;
    uint32_t unreadable = 0; // files whose content could not be read whole
    bool preloaded = false;  // the whole content is in the buffer already
    char current_filename[kScanPathMax] = {};
    uint32_t entryAt = 0;          // where its listed entry lies in "NEWS"
    const char* failure = nullptr; // why the scan failed
};

// Scans path; on failure everything the scan took is released and
// s->failure says why.
Status NewArchive(const char* path, ScanState* s);
Status GetFsInfos(ScanState* s, char id[4], uint16_t* attrSize);
Status NewBootSectors(ScanState* s, uint32_t* size);
Status GetBootSectorsChunk(ScanState* s, const uint8_t** ptr, uint32_t* len);
uint32_t FinishBootSectors(ScanState* s); // the bytes not delivered
Status NewDirectories(ScanState* s);
Status GetRootDirEntry(ScanState* s, const uint8_t** ptr);
Status GetDirectory(ScanState* s, uint16_t* pops, uint32_t* subdirs, uint32_t* files);
Status GetDirEntryDir(ScanState* s, const uint8_t** ptr);
Status GetDirEntryFile(ScanState* s, const uint8_t** ptr);
Status FinishDirectories(ScanState* s);
Status NewFiles(ScanState* s);
Status GetFileHeader(ScanState* s, uint32_t* size);
Status GetFileContent(ScanState* s, const uint8_t** ptr, uint32_t* len);
Status DismissFile(ScanState* s, uint32_t* size);
Status FinishFiles(ScanState* s);
// Releases whatever is still held (also after a failed step).
Status FinishArchive(ScanState* s);

} // namespace vk
