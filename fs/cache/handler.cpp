// The cache partition driver's operation table.
#include "cache_internal.h"
#include "fs/cache.h"

namespace vk {

namespace {

uint16_t GetNumBootSectors(FsState&, FsEntry*) {
    return 0;
}

// The area must hold the directory, its end sector and one data chunk.
Status InitFsSpecific(FsState& part) {
    return part.sizeSectors >= cachedir::kDataStart + cachechunk::kSectors ? 0 : 1;
}

Status FlushFsSpecific(FsState&) {
    return 0;
}

Status GetFileInfo(FsState&, FsEntry* entry) {
    entry->kind = kKindFile;
    return 0;
}

uint32_t AddEntrySize(uint32_t size, FsEntry*, uint16_t) {
    return size;
}

Status NoDirectories(FsState&, FsDirHandle*, const char*, const uint8_t*, FsEntry*) {
    return 1;
}

Status NoDirectoryRemoval(FsState&, FsEntry*) {
    return 1;
}

} // namespace

const FsHandler CacheHandler = {
    .id = {'C', 'A', 'C', 'H'},
    .attrSize = 0,
    .flags = 0,
    .sizeHighAt = 0,
    .GetNumBootSectors = GetNumBootSectors,
    .ReadBootSectors = nullptr,
    .InitFsSpecific = InitFsSpecific,
    .FlushFsSpecific = FlushFsSpecific,
    .OpenDir = cache::OpenDir,
    .NextDirEntry = cache::NextDirEntry,
    .GetFileInfo = GetFileInfo,
    .AddEntrySize = AddEntrySize,
    .CreateFile = cache::CreateFile,
    .CreateDir = NoDirectories,
    .CloseDir = cache::CloseDir,
    .RemoveFile = cache::RemoveFile,
    .RemoveDir = NoDirectoryRemoval,
    .OpenFile = cache::OpenFile,
    .RewriteFile = cache::RewriteFile,
    .ReadFileChunk = cache::ReadFileChunk,
    .WriteFileChunk = cache::WriteFileChunk,
    .CloseFile = cache::CloseFile,
    .AdjustFileSize = cache::AdjustFileSize,
    .Clean = cache::Clean,
    .FullUnzip = nullptr,
    .FileDescriptor = nullptr,
    .InitDriver = nullptr,
    .DescribeAttributes = nullptr,
    .DescribeBootArea = nullptr,
};

namespace {
constexpr uint8_t kTypes[] = {0xFF};
} // namespace

const FsDriver CacheDriver = {&CacheHandler, kTypes};

} // namespace vk
