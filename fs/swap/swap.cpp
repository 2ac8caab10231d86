// The swap driver's operation table.
#include "fs/swap.h"
#include "disk/disk.h"
#include "platform/util.h"

namespace vk {

namespace {

uint16_t GetNumBootSectors(FsState&, FsEntry*) {
    return 0;
}
// A swap partition holds no files to browse.
Status InitFsSpecific(FsState&) {
    return 1;
}
Status FlushFsSpecific(FsState&) {
    return 0;
}

Status Clean(FsState& s, const char*) {
    uint8_t page[kSwapPage];
    int version = BuildSwapHeader(s.sizeSectors, page);
    if (version < 0) return 1;
    if (version == 1)
        Log("Warning : Swap partitions bigger than 128Mb are only support with Linux kernel "
            ">2.1.x\r\n");
    if (Seek(s, 0) != 0 || WriteSects(s, kSwapPage / kSectorSize, page) != 0) return 1;
    return 0;
}

} // namespace

// Everything but Clean is unsupported.
const FsHandler SWAPHandler = {
    .id = {'S', 'W', 'A', 'P'},
    .attrSize = 0,
    .flags = 0,
    .sizeHighAt = 0,
    .GetNumBootSectors = GetNumBootSectors,
    .ReadBootSectors = nullptr,
    .InitFsSpecific = InitFsSpecific,
    .FlushFsSpecific = FlushFsSpecific,
    .OpenDir = nullptr,
    .NextDirEntry = nullptr,
    .GetFileInfo = nullptr,
    .AddEntrySize = nullptr,
    .CreateFile = nullptr,
    .CreateDir = nullptr,
    .CloseDir = nullptr,
    .RemoveFile = nullptr,
    .RemoveDir = nullptr,
    .OpenFile = nullptr,
    .RewriteFile = nullptr,
    .ReadFileChunk = nullptr,
    .WriteFileChunk = nullptr,
    .CloseFile = nullptr,
    .AdjustFileSize = nullptr,
    .Clean = Clean,
    .FullUnzip = nullptr,
    .FileDescriptor = nullptr,
    .InitDriver = nullptr,
    .DescribeAttributes = nullptr,
    .DescribeBootArea = nullptr,
};

namespace {
constexpr uint8_t kTypes[] = {0x82};
} // namespace

const FsDriver SWAPDriver = {&SWAPHandler, kTypes};

} // namespace vk
