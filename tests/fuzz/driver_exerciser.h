// Drives a file-system driver over a hostile volume the way the programs
// do: walks every directory, reads every file, and, when asked, creates,
// writes, grows, shrinks and removes a file and a directory. Whatever the
// volume holds, all of it must end, stay inside the partition and never
// crash.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "platform/types.h"

namespace vk::fuzz {

// Bounds the walk however the directories nest or loop.
struct WalkBudget {
    int dirs = 40;
    int entries = 2000;
};

// Reads up to 64 chunks of the file; no chunk may exceed the largest.
inline void ReadWholeFile(FsState& part, const FsHandler* h, FsEntry* entry) {
    uint64_t size = 0;
    FsFileHandle* file = nullptr;
    if (h->OpenFile(part, entry, &size, &file) != 0) return;
    static uint8_t buffer[kChunkMax];
    for (int chunk = 0; chunk < 64; ++chunk) {
        uint16_t n = h->ReadFileChunk(part, file, buffer);
        if (n == 0) break;
        if (n > kChunkMax) __builtin_trap();
    }
    h->CloseFile(part, file);
}

// Lists the directory (the root for null), completing each entry with the
// driver's file information as the programs do, reads its files and
// descends into up to 8 subdirectories, 3 levels deep. Every entry's name
// must point into its terminated path.
inline void WalkTree(FsState& part, const FsHandler* h, FsEntry* dirEntry, int depth,
                     WalkBudget& budget) {
    if (--budget.dirs < 0) return;
    FsDirHandle* dir = nullptr;
    if (h->OpenDir(part, dirEntry, &dir) != 0) return;
    std::vector<FsEntry> subdirs;
    FsEntry entry{};
    while (budget.entries-- > 0 && h->NextDirEntry(part, dir, &entry) == 0) {
        if (entry.name < entry.path || entry.name > entry.path + kPathMax ||
            std::memchr(entry.path, 0, kPathMax) == nullptr)
            __builtin_trap();
        if (h->GetFileInfo && h->GetFileInfo(part, &entry) != 0) continue;
        if (entry.kind == kKindDir) {
            if (depth < 3 && subdirs.size() < 8) {
                subdirs.emplace_back();
                CopyEntry(subdirs.back(), entry);
            }
        } else {
            ReadWholeFile(part, h, &entry);
        }
    }
    h->CloseDir(part, dir);
    for (FsEntry& sub : subdirs)
        WalkTree(part, h, &sub, depth + 1, budget);
}

// Creates a file and a directory in the root. The file is rewritten with up
// to 4 full chunks of `how`, grown to 70000 bytes, written on, cut to `how`
// bytes, read back and, with bit 0 of `how`, removed; with bit 1 the new
// directory is walked and removed.
inline void WriteOnVolume(FsState& part, const FsHandler* h, uint8_t how) {
    FsDirHandle* dir = nullptr;
    if (h->OpenDir(part, nullptr, &dir) != 0) return;
    FsEntry file{}, sub{};
    Status made = h->CreateFile(part, dir, "A fuzzed file name.txt", nullptr, &file);
    Status madeDir = h->CreateDir(part, dir, "sub dir", nullptr, &sub);
    h->CloseDir(part, dir);
    if (made == 0) {
        FsFileHandle* handle = nullptr;
        if (h->RewriteFile(part, &file, 1000u * (how + 1u), &handle) == 0) {
            static uint8_t buffer[kChunkMax];
            std::memset(buffer, how, sizeof buffer);
            for (int i = 0; i < 4; ++i)
                if (h->WriteFileChunk(part, handle, buffer, kChunkMax) == 0) break;
            h->AdjustFileSize(part, handle, &file, 70000);
            h->WriteFileChunk(part, handle, buffer, 100);
            h->AdjustFileSize(part, handle, &file, how);
            h->CloseFile(part, handle);
        }
        ReadWholeFile(part, h, &file);
        if (how & 1) h->RemoveFile(part, &file);
    }
    if (madeDir == 0 && (how & 2)) {
        WalkBudget budget;
        WalkTree(part, h, &sub, 0, budget);
        h->RemoveDir(part, &sub);
    }
}

// Adds the disk and mounts its first primary partition; when a driver takes
// it, walks the volume and, with `writes`, writes on it (see WriteOnVolume),
// then flushes. Sector 0, outside the partition, must not change.
inline void ExerciseFirstPartition(std::unique_ptr<MemoryDisk> disk, bool writes, uint8_t how) {
    MemoryDisk* image = disk.get();
    AddDiskDevice(std::move(disk));
    const std::vector<uint8_t> mbr = image->Sector(0);
    FsState* selected = SelectPart(0x80, 1);
    if (selected && selected->valid && selected->handler) {
        FsState& part = *selected;
        const FsHandler* h = part.handler;
        WalkBudget budget;
        WalkTree(part, h, nullptr, 0, budget);
        if (writes) WriteOnVolume(part, h, how);
        FlushParts();
    }
    if (image->Sector(0) != mbr) __builtin_trap();
}

} // namespace vk::fuzz
