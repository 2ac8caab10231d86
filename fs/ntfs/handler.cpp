// The NTFS operation table and its registration for Windows partitions.
#include "fs/ntfs.h"
#include "ntfs_internal.h"

namespace vk {

// Entries carry no packed attributes yet; the table has no boot-area and
// archive slots (full and incremental archives of these volumes are
// refused), nor a full restore.
const FsHandler NTFSHandler = {
    .id = {'N', 'T', 'F', 'S'},
    .attrSize = 0,
    .flags = kFsCaseInsensitive,
    .sizeHighAt = 0,
    .GetNumBootSectors = nullptr,
    .ReadBootSectors = nullptr,
    .InitFsSpecific = NtfsInitFsSpecific,
    .FlushFsSpecific = NtfsFlushFsSpecific,
    .OpenDir = NtfsOpenDir,
    .NextDirEntry = NtfsNextDirEntry,
    .GetFileInfo = NtfsGetFileInfo,
    .AddEntrySize = nullptr,
    .CreateFile = NtfsCreateFile,
    .CreateDir = NtfsCreateDir,
    .CloseDir = NtfsCloseDir,
    .RemoveFile = NtfsRemoveFile,
    .RemoveDir = NtfsRemoveFile,
    .OpenFile = NtfsOpenFile,
    .RewriteFile = NtfsRewriteFile,
    .ReadFileChunk = NtfsReadFileChunk,
    .WriteFileChunk = NtfsWriteFileChunk,
    .CloseFile = NtfsCloseFile,
    .AdjustFileSize = NtfsAdjustFileSize,
    .Clean = NtfsClean,
    .FullUnzip = nullptr,
    .FileDescriptor = nullptr,
    .InitDriver = InitNtfsDriver,
    .DescribeAttributes = nullptr,
    .DescribeBootArea = nullptr,
};

namespace {
constexpr uint8_t kTypes[] = {0x07};
} // namespace

const FsDriver NTFSDriver = {&NTFSHandler, kTypes, false};

namespace {
constexpr uint8_t kDataTypes[] = {0x0C, 0x0E};
} // namespace

// A Windows data partition of a GUID partition table (basic data) holds
// FAT or NTFS and reaches the drivers with a FAT type: the NTFS volumes
// among these are this driver's.
const FsDriver NTFSDataDriver = {&NTFSHandler, kDataTypes, true};

} // namespace vk
