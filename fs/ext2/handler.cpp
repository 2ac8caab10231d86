// The ext2 operation table and its boot-area access.
#include "disk/disk.h"
#include "ext2_internal.h"
#include "fs/ext2.h"

namespace vk {

namespace {

uint16_t GetNumBootSectors(FsState&, FsEntry*) {
    return 2;
}

Status ReadBootSectors(FsState& part, FsEntry*, uint16_t first, uint16_t count, uint8_t* buffer) {
    if (Seek(part, first) != 0) return -1;
    return ReadSects(part, count, buffer) == 0 ? 0 : -1;
}

// An operation that changes the volume fails when a cached block could
// not be written back while it ran (an eviction it caused), even where
// the lost block was not its own: later commands must not build on it.
template <auto Op, auto kFailure, typename... Args>
auto Checked(Args... args) -> decltype(Op(args...)) {
    const uint32_t before = WriteBackFailures();
    const auto result = Op(args...);
    return WriteBackFailures() != before ? decltype(result)(kFailure) : result;
}

} // namespace

const FsHandler EXT2Handler = {
    .id = {'E', 'X', 'T', '2'},
    .attrSize = ext2attr::kTotal,
    .flags = kFsAttrWithSummaries,
    .sizeHighAt = 0,
    .GetNumBootSectors = GetNumBootSectors,
    .ReadBootSectors = ReadBootSectors,
    .InitFsSpecific = Ext2InitFsSpecific,
    .FlushFsSpecific = Ext2FlushFsSpecific,
    .OpenDir = Ext2OpenDir,
    .NextDirEntry = Ext2NextDirEntry,
    .GetFileInfo = Ext2GetFileInfo,
    .AddEntrySize = Ext2AddEntrySize,
    .CreateFile = Checked<Ext2CreateFile, 1>,
    .CreateDir = Checked<Ext2CreateDir, 1>,
    .CloseDir = Ext2CloseDir,
    .RemoveFile = Checked<Ext2RemoveFile, 1>,
    .RemoveDir = Checked<Ext2RemoveDir, 1>,
    .OpenFile = Ext2OpenFile,
    .RewriteFile = Ext2RewriteFile,
    .ReadFileChunk = Ext2ReadFileChunk,
    .WriteFileChunk = Checked<Ext2WriteFileChunk, 0>,
    .CloseFile = Ext2CloseFile,
    .AdjustFileSize = Checked<Ext2AdjustFileSize, 1>,
    .Clean = Ext2Clean,
    .FullUnzip = Ext2FullUnzip,
    .FileDescriptor = nullptr,
    .InitDriver = InitCache,
    .DescribeAttributes = nullptr,
    .DescribeBootArea = nullptr,
};

namespace {
constexpr uint8_t kTypes[] = {0x83};
} // namespace

const FsDriver EXT2Driver = {&EXT2Handler, kTypes};

} // namespace vk
