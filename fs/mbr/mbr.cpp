// The MBR driver: BootCode and BootData of the first track.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "fs/mbr.h"

namespace vk {

namespace {

enum MbrFile : uint32_t { kBootCode = 0, kBootData = 1, kFileCount = 2 };
const char* const kNames[kFileCount] = {"BootCode", "BootData"};

struct MbrDir {
    uint32_t next = 0;
};

// An open file: its index, and for writing the bytes received so far, which
// are written out whole after every chunk (so chunks of any size work).
struct MbrFileHandle {
    uint32_t index = 0;
    bool done = false;
    std::vector<uint8_t> data;
    uint32_t written = 0;
};

MbrDir* AsDir(FsDirHandle* h) {
    return reinterpret_cast<MbrDir*>(h);
}
MbrFileHandle* AsFile(FsFileHandle* h) {
    return reinterpret_cast<MbrFileHandle*>(h);
}

uint32_t BootDataSectors(const FsState& s) {
    return s.geometry.sectors - 1u;
}

// Sectors of BootData (counted from sector 1) that a restore leaves as they
// are: on a disk with a GUID partition table, the primary header and array
// up to the first usable sector (the usual 33 when the header is damaged),
// as BootCode leaves the partition table; none otherwise.
uint32_t KeptSectors(FsState& s) {
    uint8_t sector[kSectorSize];
    if (Seek(s, 0) != 0 || ReadSects(s, 1, sector) != 0 || !gpt::HasProtectiveEntry(sector))
        return 0;
    uint64_t kept = 1 + gpt::kEntryCount * gpt::kEntrySize / kSectorSize;
    std::string why;
    if (Seek(s, 1) == 0 && ReadSects(s, 1, sector) == 0)
        if (auto header = gpt::ParseHeader(sector, 1, DiskSizeSectors(s.disk), &why))
            kept = header->firstUsable - 1;
    return uint32_t(std::min<uint64_t>(kept, BootDataSectors(s)));
}

uint32_t FileSize(const FsState& s, uint32_t index) {
    return index == kBootCode ? kBootCodeSize : BootDataSectors(s) * kSectorSize;
}

uint16_t GetNumBootSectors(FsState&, FsEntry*) {
    return 0;
}
Status InitFsSpecific(FsState&) {
    return 0;
}
Status FlushFsSpecific(FsState&) {
    return 0;
}

Status OpenDir(FsState&, FsEntry* entry, FsDirHandle** dir) {
    if (entry != nullptr) return -1; // no subdirectories
    *dir = reinterpret_cast<FsDirHandle*>(new MbrDir);
    return 0;
}

Status NextDirEntry(FsState& s, FsDirHandle* dir, FsEntry* entry) {
    MbrDir* d = AsDir(dir);
    if (d->next >= kFileCount) return 1;
    uint32_t index = d->next++;
    *entry = FsEntry{};
    int root =
        snprintf(entry->path, sizeof entry->path, "{%d:%d}", s.disk & 0x7F, int(s.partition));
    snprintf(entry->path + root, sizeof entry->path - size_t(root), "%s", kNames[index]);
    entry->name = entry->path + root;
    entry->kind = kKindFile;
    entry->size = FileSize(s, index);
    entry->start = index;
    return 0;
}

Status GetFileInfo(FsState& s, FsEntry* entry) {
    if (entry->start >= kFileCount) return -1;
    entry->kind = kKindFile;
    entry->size = FileSize(s, entry->start);
    return 0;
}

uint32_t AddEntrySize(uint32_t, FsEntry*, uint16_t) {
    return 0;
}
Status Refuse(FsState&, FsDirHandle*, const char*, const uint8_t*, FsEntry*) {
    return 1;
}
Status RefuseRemove(FsState&, FsEntry*) {
    return 1;
}

Status CloseDir(FsState&, FsDirHandle* dir) {
    delete AsDir(dir);
    return 0;
}

Status OpenFile(FsState& s, FsEntry* entry, uint64_t* size, FsFileHandle** file) {
    if (entry->start >= kFileCount) return -1;
    MbrFileHandle* h = new MbrFileHandle;
    h->index = entry->start;
    *size = FileSize(s, h->index);
    *file = reinterpret_cast<FsFileHandle*>(h);
    return 0;
}

Status RewriteFile(FsState& s, FsEntry* entry, uint32_t newSize, FsFileHandle** file) {
    if (entry->start >= kFileCount) return -1;
    if (newSize > FileSize(s, entry->start)) return 1;
    MbrFileHandle* h = new MbrFileHandle;
    h->index = entry->start;
    h->data.assign(FileSize(s, h->index), 0);
    *file = reinterpret_cast<FsFileHandle*>(h);
    return 0;
}

uint16_t ReadFileChunk(FsState& s, FsFileHandle* file, uint8_t* buffer) {
    MbrFileHandle* h = AsFile(file);
    if (h->done) return 0;
    h->done = true;
    if (h->index == kBootCode) {
        uint8_t sector[kSectorSize];
        if (Seek(s, 0) != 0 || ReadSects(s, 1, sector) != 0) return 0;
        memcpy(buffer, sector, kBootCodeSize);
        return uint16_t(kBootCodeSize);
    }
    if (Seek(s, 1) != 0 || ReadSects(s, uint16_t(BootDataSectors(s)), buffer) != 0) return 0;
    return uint16_t(BootDataSectors(s) * kSectorSize);
}

uint16_t WriteFileChunk(FsState& s, FsFileHandle* file, const uint8_t* buffer, uint16_t length) {
    MbrFileHandle* h = AsFile(file);
    if (h->data.empty()) return 0; // opened for reading
    uint32_t room = uint32_t(h->data.size()) - h->written;
    uint32_t take = std::min<uint32_t>(room, length);
    if (take == 0) return 0;
    memcpy(h->data.data() + h->written, buffer, take);
    h->written += take;
    if (h->index == kBootCode) {
        // Keep the partition table and the signature of the sector.
        uint8_t sector[kSectorSize];
        if (Seek(s, 0) != 0 || ReadSects(s, 1, sector) != 0) return 0;
        memcpy(sector, h->data.data(), kBootCodeSize);
        if (Seek(s, 0) != 0 || WriteSects(s, 1, sector) != 0) return 0;
    } else {
        // The rest of the track after the data is written as zeros.
        const uint32_t kept = KeptSectors(s);
        if (kept < BootDataSectors(s) &&
            (Seek(s, 1 + kept) != 0 ||
             WriteSects(s, uint16_t(BootDataSectors(s) - kept),
                        h->data.data() + size_t(kept) * kSectorSize) != 0))
            return 0;
    }
    return uint16_t(take);
}

Status CloseFile(FsState&, FsFileHandle* file) {
    delete AsFile(file);
    return 0;
}

Status AdjustFileSize(FsState&, FsFileHandle*, FsEntry*, uint32_t) {
    return 0;
}

// A fresh boot program in front of the kept partition table.
Status Clean(FsState& s, const char*) {
    uint8_t sector[kSectorSize];
    if (BuildMBRBoot(s, sector) != 0) return 1;
    return WriteBootSect(s, sector) != 0 ? 1 : 0;
}

} // namespace

const FsHandler MBRHandler = {
    .id = {'B', 'R', 'E', 'C'},
    .attrSize = 0,
    .flags = kFsCaseInsensitive,
    .sizeHighAt = 0,
    .GetNumBootSectors = GetNumBootSectors,
    .ReadBootSectors = nullptr,
    .InitFsSpecific = InitFsSpecific,
    .FlushFsSpecific = FlushFsSpecific,
    .OpenDir = OpenDir,
    .NextDirEntry = NextDirEntry,
    .GetFileInfo = GetFileInfo,
    .AddEntrySize = AddEntrySize,
    .CreateFile = Refuse,
    .CreateDir = Refuse,
    .CloseDir = CloseDir,
    .RemoveFile = RefuseRemove,
    .RemoveDir = RefuseRemove,
    .OpenFile = OpenFile,
    .RewriteFile = RewriteFile,
    .ReadFileChunk = ReadFileChunk,
    .WriteFileChunk = WriteFileChunk,
    .CloseFile = CloseFile,
    .AdjustFileSize = AdjustFileSize,
    .Clean = Clean,
    .FullUnzip = nullptr,
    .FileDescriptor = nullptr,
    .InitDriver = nullptr,
    .DescribeAttributes = nullptr,
    .DescribeBootArea = nullptr,
};

namespace {
constexpr uint8_t kTypes[] = {0x05, 0x0F};
} // namespace

const FsDriver MBRDriver = {&MBRHandler, kTypes};

} // namespace vk
