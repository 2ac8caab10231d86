// Internals shared by the NTFS driver's files: the volume kept with the
// partition's state, the device through which libntfs-3g reaches the
// partition's sectors, names, and the table operations.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "block_cache.h"
#include "disk/fsdriver.h"
#include "fs/ntfs_table.h"
#include "platform/types.h"

// The library's headers include what they need only when told that the
// system has it.
#define HAVE_STDARG_H 1
#define HAVE_STDDEF_H 1
#define HAVE_STDINT_H 1
#define HAVE_STRING_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_TIME_H 1
extern "C" {
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/types.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
// Its min and max macros would replace the standard library's.
#undef min
#undef max

namespace vk {

// What the partition's device keeps between mounts: its partition and,
// while disk writes are off (a dry run), the sectors the library wrote, so
// that it reads back what it believes written and the run goes on as it
// would with writes.
struct PartitionIo {
    FsState* part = nullptr;
    int64_t position = 0;
    std::unordered_map<uint64_t, std::array<uint8_t, 512>> unwritten;
    // With `cached` set (a full restore's mount), small transfers go
    // through a write-back cache of 4 KB blocks, written back in block
    // order when it is full, at the library's sync and at the close: the
    // library's many small record and index updates become few large
    // writes.
    bool cached = false;
    NtfsBlockCache blocks;
};

// An open file: its record and data stream on the current mount.
struct NtfsFile {
    uint64_t record = 0;
    uint32_t stream = 0;      // 0 the unnamed stream, else the n-th named one
    ntfs_inode* ni = nullptr; // null when it could not be opened again
    ntfs_attr* na = nullptr;  // null for a record without a data stream
    uint64_t position = 0;
    bool written = false;
};

// What a walk that makes an archive gathers: the volume table (security
// descriptors and per-record metadata), what was gathered per record, and
// the boot area once built.
struct NtfsArchive {
    NtfsTableBuilder table;
    std::unordered_map<uint64_t, uint32_t> descriptorOf; // record: descriptor index + 1
    std::unordered_map<uint64_t, uint16_t> metaFlags;    // record: its metadata bits
    // Record and directory of each DOS name noted: a directory listed again
    // (a lookup by name while an incremental archive is applied) adds none.
    std::set<std::pair<uint64_t, uint64_t>> dosNamesNoted;
    std::vector<uint8_t> bootArea;
    std::vector<char> buffer; // a record's metadata while it is read
};

// The volume libntfs-3g has mounted on one partition, held in its
// FsState::driverData: read-only until the first change, then read-write
// until the flush, which unmounts it (the library writes its state only
// then) and mounts it read-only again. Files open across such a switch
// are closed before it and opened again after it.
struct NtfsVolume : FsDriverData {
    PartitionIo io;
    ntfs_volume* vol = nullptr;
    bool writable = false;
    std::vector<NtfsFile*> open;
    std::unique_ptr<NtfsArchive> archive; // while an archive is made
    ~NtfsVolume() override;
};
NtfsVolume* NtfsVolumeOf(FsState& part);
// Opens the file's record and stream on the volume's current mount; false
// after logging why.
bool NtfsAttachFile(ntfs_volume* vol, NtfsFile* f);
// Closes them, writing what changed; false when that failed.
bool NtfsDetachFile(NtfsFile* f);

// The mounted volume of a partition this driver accepted, or null.
ntfs_volume* NtfsMounted(FsState& part);
// The volume mounted read-write, the partition marked modified, for an
// operation that changes it; null after logging why.
ntfs_volume* NtfsWritable(FsState& part);

// Mounts the partition through a device whose reads and writes are sector
// transfers of the partition (ReadSects and WriteSects: images, offsets
// and the write switch stay the disk layer's), bounded by its size; null
// with errno set when the library refuses it. The library frees the
// device when it unmounts; `io` stays the caller's.
ntfs_volume* MountPartition(PartitionIo& io, bool writable);

// Logs "NTFS ERROR: <what>: <the system's message for errno>".
void LogNtfsError(const char* what);
// One-time start-up: the library's own messages go nowhere (ours say what
// failed).
void InitNtfsDriver();

// Marks an entry whose attributes were packed as it was listed with the
// volume's names (in FsEntry::location2); location1 then numbers the named
// stream it stands for (0: the file itself).
constexpr uint32_t kNtfsPacked = 0x4E544653; // "NTFS"

// ---- Names -------------------------------------------------------------------
// Names are UTF-16 on disk and the PC code page in scripts; a name that
// does not come back as it was given cannot be made.
std::string NtfsNameFromDisk(const ntfschar* name, int length);
// The on-disk form of a valid name, or an empty string after logging why.
std::u16string NtfsNameToDisk(const char* name);
// The on-disk form of a name given as the volume stores it (UTF-8), or an
// empty string after logging why.
std::u16string NtfsVolumeNameToDisk(const char* name);

// ---- Archives --------------------------------------------------------------
// A named data stream of a file: its name (host-order units), sizes, and
// the sparse and compressed bits of records.h.
struct NtfsStream {
    std::u16string name;
    uint64_t size = 0;
    uint64_t allocated = 0;
    uint16_t flags = 0;
};
NtfsArchive& NtfsArchiveOf(NtfsVolume& volume);
// The named data streams of a record, in the order of its attributes.
void NtfsListStreams(ntfs_inode* ni, std::vector<NtfsStream>& streams);
// The fixed attributes of a record (records.h); its metadata goes to the
// volume's archive table when `collect`. The unnamed stream's size in
// *size.
Status NtfsPackInode(NtfsVolume& volume, ntfs_inode* ni, uint8_t* attributes, uint64_t* size,
                     bool collect);
// The attributes of a named stream's entry, from those of its file.
void NtfsPackStream(const uint8_t* file, const NtfsStream& stream, uint8_t* attributes);
void NtfsNoteDosName(NtfsVolume& volume, uint64_t record, uint64_t parent, const std::string& name);
uint16_t NtfsGetNumBootSectors(FsState& part, FsEntry* entry);
Status NtfsReadBootSectors(FsState& part, FsEntry* entry, uint16_t first, uint16_t count,
                           uint8_t* buffer);
uint32_t NtfsAddEntrySize(uint32_t size, FsEntry* entry, uint16_t blockSize);
void NtfsDescribeAttributes(const uint8_t* attributes, char* out, size_t capacity);
void NtfsDescribeBootArea(const uint8_t* area, size_t size, void (*line)(const char* text));
Status NtfsFullUnzip(FsState& part, IArchive* archive);

// A fresh volume of the partition's size made by mkntfs in a scratch file
// (label, cluster size: 0 for mkntfs' choice, the partition's start and
// geometry in the boot sector); its descriptor, or -1 after logging why.
// Nothing is written to the partition.
int NtfsMakeScratch(FsState& part, const char* label, uint32_t clusterSize);
// A path through which other code (the library, mkntfs) opens the scratch.
std::string NtfsScratchPath(int fd);
// Copies what the scratch file holds (its data regions) onto the partition.
bool NtfsCopyScratch(int fd, FsState& part);

// ---- Table operations -------------------------------------------------------
Status NtfsInitFsSpecific(FsState& part);
Status NtfsFlushFsSpecific(FsState& part);
Status NtfsClean(FsState& part, const char* label);
Status NtfsOpenDir(FsState& part, FsEntry* entry, FsDirHandle** dir);
Status NtfsNextDirEntry(FsState& part, FsDirHandle* dir, FsEntry* entry);
Status NtfsGetFileInfo(FsState& part, FsEntry* entry);
Status NtfsCreateFile(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                      FsEntry* entry);
Status NtfsCreateDir(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                     FsEntry* entry);
Status NtfsCloseDir(FsState& part, FsDirHandle* dir);
Status NtfsRemoveFile(FsState& part, FsEntry* entry);
Status NtfsOpenFile(FsState& part, FsEntry* entry, uint64_t* size, FsFileHandle** file);
Status NtfsRewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file);
uint16_t NtfsReadFileChunk(FsState& part, FsFileHandle* file, uint8_t* buffer);
uint16_t NtfsWriteFileChunk(FsState& part, FsFileHandle* file, const uint8_t* buffer,
                            uint16_t length);
Status NtfsCloseFile(FsState& part, FsFileHandle* file);
Status NtfsAdjustFileSize(FsState& part, FsFileHandle* file, FsEntry* entry, uint32_t newSize);

} // namespace vk
