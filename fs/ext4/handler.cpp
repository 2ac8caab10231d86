// The ext4 operation table and its registration as the second driver of
// Linux partitions.
#include "ext4_internal.h"
#include "fs/ext4.h"
#include "platform/hostfile.h"

namespace vk {

// Entries carry the packed attributes of ext2 volumes and host
// directories. The table has no boot-area and archive slots (full and
// incremental archives of these volumes are refused), nor a full restore.
const FsHandler EXT4Handler = {
    .id = {'E', 'X', 'T', '4'},
    .attrSize = kPackedAttrSize,
    .flags = kFsAttrWithSummaries,
    .reserved = 0,
    .GetNumBootSectors = nullptr,
    .ReadBootSectors = nullptr,
    .InitFsSpecific = Ext4InitFsSpecific,
    .FlushFsSpecific = Ext4FlushFsSpecific,
    .OpenDir = Ext4OpenDir,
    .NextDirEntry = Ext4NextDirEntry,
    .GetFileInfo = Ext4GetFileInfo,
    .AddEntrySize = nullptr,
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
    .FullUnzip = nullptr,
    .FileDescriptor = nullptr,
    .InitDriver = InitExt4Driver,
};

namespace {
constexpr uint8_t kTypes[] = {0x83};
} // namespace

const FsDriver EXT4Driver = {&EXT4Handler, kTypes, true};

} // namespace vk
