// The ext4 operation table and its registration as the second driver of
// Linux partitions.
#include "ext4_internal.h"
#include "fs/ext4.h"
#include "platform/hostfile.h"
#include "records.h"

namespace vk {

// Entries carry the packed attributes of ext2 volumes and host
// directories followed by the fields only ext4 has (fs/ext4/records.h);
// the boot area of its archives is the boot block, the superblock and the
// table of extended attributes.
const FsHandler EXT4Handler = {
    .id = {'E', 'X', 'T', '4'},
    .attrSize = ext4rec::kTotal,
    .flags = kFsAttrWithSummaries,
    .sizeHighAt = ext4rec::kSizeHigh,
    .GetNumBootSectors = Ext4GetNumBootSectors,
    .ReadBootSectors = Ext4ReadBootSectors,
    .InitFsSpecific = Ext4InitFsSpecific,
    .FlushFsSpecific = Ext4FlushFsSpecific,
    .OpenDir = Ext4OpenDir,
    .NextDirEntry = Ext4NextDirEntry,
    .GetFileInfo = Ext4GetFileInfo,
    .AddEntrySize = Ext4AddEntrySize,
    .CreateFile = Ext4CreateFile,
    .CreateDir = Ext4CreateDir,
    .CloseDir = Ext4CloseDir,
    .RemoveFile = Ext4RemoveFile,
    .RemoveDir = Ext4RemoveFile,
    .OpenFile = Ext4OpenFile,
    .RewriteFile = Ext4RewriteFile,
    .ReadFileChunk = Ext4ReadFileChunk,
    .WriteFileChunk = Ext4WriteFileChunk,
    .CloseFile = Ext4CloseFile,
    .AdjustFileSize = Ext4AdjustFileSize,
    .Clean = Ext4Clean,
    .FullUnzip = Ext4FullUnzip,
    .FileDescriptor = nullptr,
    .InitDriver = InitExt4Driver,
    .DescribeAttributes = Ext4DescribeAttributes,
    .DescribeBootArea = Ext4DescribeBootArea,
};

namespace {
constexpr uint8_t kTypes[] = {0x83};
} // namespace

const FsDriver EXT4Driver = {&EXT4Handler, kTypes, true};

} // namespace vk
