// The ext2 operation table and its boot-area access.
#include "disk/disk.h"
#include "ext2_internal.h"
#include "fs/ext2.h"

namespace vk {

namespace {

uint16_t GetNumBootSectors(FsEntry*) {
    return 2;
}

Status ReadBootSectors(FsEntry*, uint16_t first, uint16_t count, uint8_t* buffer) {
    if (Seek(first) != 0) return -1;
    return ReadSects(count, buffer) == 0 ? 0 : -1;
}

} // namespace

const FsHandler EXT2Handler = {
    .id = {'E', 'X', 'T', '2'},
    .attrSize = ext2attr::kTotal,
    .flags = kFsAttrWithSummaries,
    .reserved = 0,
    .GetNumBootSectors = GetNumBootSectors,
    .ReadBootSectors = ReadBootSectors,
    .InitFsSpecific = Ext2InitFsSpecific,
    .FlushFsSpecific = Ext2FlushFsSpecific,
    .OpenDir = Ext2OpenDir,
    .NextDirEntry = Ext2NextDirEntry,
    .GetFileInfo = Ext2GetFileInfo,
    .AddEntrySize = Ext2AddEntrySize,
    .CreateFile = Ext2CreateFile,
    .CreateDir = Ext2CreateDir,
    .CloseDir = Ext2CloseDir,
    .RemoveFile = Ext2RemoveFile,
    .RemoveDir = Ext2RemoveDir,
    .OpenFile = Ext2OpenFile,
    .RewriteFile = Ext2RewriteFile,
    .ReadFileChunk = Ext2ReadFileChunk,
    .WriteFileChunk = Ext2WriteFileChunk,
    .CloseFile = Ext2CloseFile,
    .AdjustFileSize = Ext2AdjustFileSize,
    .Clean = Ext2Clean,
    .FullUnzip = Ext2FullUnzip,
};

} // namespace vk
