// The NTFS operation table and its registration for Windows partitions.
#include "fs/ntfs.h"
#include "ntfs_internal.h"
#include "records.h"

namespace vk {

// Entries carry the packed attributes of ext2 volumes and host
// directories followed by what only NTFS has (fs/ntfs/records.h), with the
// summaries of archives; the boot area of its archives is the boot sectors
// and the volume table of security descriptors and record metadata.
// Names and entries are made only where they are free (a directory
// handle holds only its record, so it stays usable while they are made);
// an incremental archive of an NTFS volume is applied with the volume's
// names, its named streams included.
const FsHandler NTFSHandler = {
    .id = {'N', 'T', 'F', 'S'},
    .attrSize = ntfsrec::kTotal,
    .flags = kFsCaseInsensitive | kFsAttrWithSummaries | kFsExclusiveCreate | kFsVolumeNames,
    .sizeHighAt = ntfsrec::kSizeHigh,
    .GetNumBootSectors = NtfsGetNumBootSectors,
    .ReadBootSectors = NtfsReadBootSectors,
    .InitFsSpecific = NtfsInitFsSpecific,
    .FlushFsSpecific = NtfsFlushFsSpecific,
    .OpenDir = NtfsOpenDir,
    .NextDirEntry = NtfsNextDirEntry,
    .GetFileInfo = NtfsGetFileInfo,
    .AddEntrySize = NtfsAddEntrySize,
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
    .FullUnzip = NtfsFullUnzip,
    .FileDescriptor = nullptr,
    .InitDriver = InitNtfsDriver,
    .DescribeAttributes = NtfsDescribeAttributes,
    .DescribeBootArea = NtfsDescribeBootArea,
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
