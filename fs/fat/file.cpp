// File data: opening, chunked reading and writing over the cluster chain,
// and resizing a file's allocation.
#include <algorithm>
#include <cstring>
#include <vector>

#include "disk/disk.h"
#include "fat_internal.h"
#include "fs/fat.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

// Contiguous clusters are read ahead and written behind in runs of up to
// this many bytes, so that large files cost few disk transfers while the
// interface hands out at most 32768 bytes per call.
constexpr uint32_t kRunBytes = 256 * 1024;

// An open file: its chain reader, once known the end of its allocation (so
// that repeated growth does not walk the chain again), and the run buffer:
// clusters read ahead but not handed out yet, or clusters written but not
// yet on disk.
struct FatFile {
    ClusterChain* chain = nullptr;
    uint32_t start = 0;       // first cluster the tail below belongs to
    uint32_t tailCluster = 0; // last cluster of the allocation (0: unknown)
    uint32_t tailCount = 0;   // clusters in the allocation
    std::vector<uint8_t> run;
    uint32_t runCluster = 0; // first cluster in the buffer
    uint32_t runCount = 0;   // clusters in the buffer
    uint32_t runServed = 0;  // reading: clusters already handed out
    bool runPending = false; // writing: the buffer still has to be written
    bool failed = false;     // a delayed write failed
    uint32_t handedOut = 0;  // clusters read or written so far
};

// Writes the clusters waiting in the run buffer.
Status FlushRun(FsState& part, FatFile* f) {
    if (!f->runPending) return f->failed ? -1 : 0;
    f->runPending = false;
    uint32_t count = f->runCount;
    f->runCount = 0;
    if (WriteClusters(part, f->runCluster, f->run.data(), uint16_t(count)) != 0) {
        Log("ERROR: [FAT] Cannot write file data\r\n");
        f->failed = true;
        return -1;
    }
    return f->failed ? -1 : 0;
}

FatFile* AsFile(FsFileHandle* handle) {
    return reinterpret_cast<FatFile*>(handle);
}

FsFileHandle* OpenHandle(uint32_t start) {
    FatFile* f = new FatFile;
    f->chain = OpenClusters(start);
    return reinterpret_cast<FsFileHandle*>(f);
}

// Clusters taken per transfer: contiguous ones, at most 32768 bytes.
uint16_t TakeRun(FsState& part, ClusterChain* chain, uint32_t first, uint16_t limit) {
    uint16_t count = 1;
    while (count < limit && PeekClust(chain) == first + count) {
        NextClust(part, chain);
        ++count;
    }
    return count;
}

// After the chain reader reached the end, links added since behind the
// last cluster (a grown allocation) are followed.
void ResumeChain(FsState& part, ClusterChain* chain) {
    if (chain->next != 0 || chain->damaged || chain->last == 0) return;
    if (chain->position < chain->count) return;
    uint32_t value = 0;
    FatArea a = LoadFatArea(part);
    if (ReadFatEntry(part, chain->last, &value) == 0 && a.IsDataCluster(value)) chain->next = value;
}

} // namespace

Status FatOpenFile(FsState& part, FsEntry* entry, uint64_t* size, FsFileHandle** file) {
    if (entry->kind != kKindFile) return -1;
    FatArea a = LoadFatArea(part);
    if (entry->start != 0 && !a.IsDataCluster(entry->start)) return -1;
    *size = entry->start == 0 ? 0 : entry->size;
    *file = OpenHandle(entry->start);
    return 0;
}

Status FatRewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file) {
    if (entry->kind != kKindFile) return -1;
    FsFileHandle* handle = OpenHandle(0);
    if (FatAdjustFileSize(part, handle, entry, newSize) != 0) {
        FatCloseFile(part, handle);
        return 1;
    }
    FatFile* f = AsFile(handle);
    CloseClusters(f->chain);
    f->chain = OpenClusters(entry->start);
    *file = handle;
    return 0;
}

uint16_t FatReadFileChunk(FsState& part, FsFileHandle* file, uint8_t* buffer) {
    FatFile* f = AsFile(file);
    FatArea a = LoadFatArea(part);
    const uint32_t perChunk = 64 / a.sectorsPerCluster;
    if (f->runPending) return 0; // opened for writing
    if (f->runServed >= f->runCount) {
        uint32_t first = NextClust(part, f->chain);
        if (first == 0) return 0;
        if (f->run.empty()) f->run.resize(kRunBytes);
        uint16_t count = TakeRun(part, f->chain, first, uint16_t(kRunBytes / a.ClusterBytes()));
        f->runCluster = first;
        f->runCount = f->runServed = 0;
        if (ReadClusters(part, first, f->run.data(), count) != 0) return 0;
        f->runCount = count;
    }
    uint32_t count = std::min(perChunk, f->runCount - f->runServed);
    std::memcpy(buffer, f->run.data() + size_t(f->runServed) * a.ClusterBytes(),
                count * a.ClusterBytes());
    f->runServed += count;
    f->handedOut += count;
    return uint16_t(count * a.ClusterBytes());
}

uint16_t FatWriteFileChunk(FsState& part, FsFileHandle* file, const uint8_t* buffer,
                           uint16_t length) {
    FatFile* f = AsFile(file);
    if (length == 0 || f->failed) return 0;
    FatArea a = LoadFatArea(part);
    uint32_t first = NextClust(part, f->chain);
    if (first == 0) {
        ResumeChain(part, f->chain);
        first = NextClust(part, f->chain);
        if (first == 0) return 0;
    }
    // Whole clusters, but no more of them than the bytes offered need, so
    // that a short write does not use up allocation it leaves empty.
    uint32_t need = (uint32_t(length) + a.ClusterBytes() - 1) / a.ClusterBytes();
    uint16_t limit = uint16_t(std::min<uint32_t>(need, 64 / a.sectorsPerCluster));
    uint16_t count = TakeRun(part, f->chain, first, limit);
    const uint32_t bytes = count * a.ClusterBytes();
    if (f->run.empty()) f->run.resize(kRunBytes);
    // Contiguous with the waiting clusters and room left: join them.
    bool joins = f->runPending && first == f->runCluster + f->runCount &&
                 (f->runCount + count) * a.ClusterBytes() <= kRunBytes;
    if (!joins) {
        if (FlushRun(part, f) != 0) return 0;
        f->runCluster = first;
        f->runCount = 0;
    }
    std::memcpy(f->run.data() + size_t(f->runCount) * a.ClusterBytes(), buffer, bytes);
    f->runCount += count;
    f->runServed = 0;
    f->runPending = true;
    f->handedOut += count;
    return uint16_t(bytes);
}

Status FatCloseFile(FsState& part, FsFileHandle* file) {
    FatFile* f = AsFile(file);
    Status status = FlushRun(part, f);
    if (f->chain) CloseClusters(f->chain);
    delete f;
    return status;
}

Status FatAdjustFileSize(FsState& part, FsFileHandle* file, FsEntry* entry, uint32_t newSize) {
    FatArea a = LoadFatArea(part);
    FatFile* f = file ? AsFile(file) : nullptr;
    // Written data reaches its clusters before any of them may be freed.
    if (f && FlushRun(part, f) != 0) return 1;
    const uint32_t clusterBytes = a.ClusterBytes();
    const uint32_t want = uint32_t((uint64_t(newSize) + clusterBytes - 1) / clusterBytes);
    uint32_t start = entry->start;
    uint32_t tail = 0;
    if (start != 0 && !a.IsDataCluster(start)) return 1;
    if (newSize != 0 && IsLabelAttr(entry->attributes[fatattr::kAttr])) {
        Log("ERROR: [FAT] A volume label holds no data\r\n");
        return 1;
    }
    if (want == 0) {
        if (start != 0 && FreeClusters(part, start, 1) != 0) return 1;
        start = 0;
    } else if (start == 0) {
        if (AllocateRun(part, want, &start, &tail) != 0) return 1;
    } else {
        uint32_t have = 0;
        bool more = false;
        if (f && f->tailCluster != 0 && f->start == start && f->tailCount <= want) {
            have = f->tailCount;
            tail = f->tailCluster;
        } else {
            ClusterChain* chain = OpenClusters(start);
            while (have < want) {
                uint32_t c = NextClust(part, chain);
                if (c == 0) break;
                tail = c;
                ++have;
            }
            more = have == want && (PeekClust(chain) != 0 || chain->next != 0);
            bool damaged = chain->damaged != 0;
            CloseClusters(chain);
            if (damaged || have == 0) return 1;
        }
        if (have < want) {
            uint32_t first = 0, last = 0;
            if (AllocateRun(part, want - have, &first, &last) != 0) return 1;
            if (WriteFatEntry(part, tail, first) != 0) {
                FreeClusters(part, first, 1);
                return 1;
            }
            tail = last;
        } else if (more && FreeClusters(part, tail, 0) != 0) {
            return 1;
        }
    }
    // A shrink under an open handle: its chain reader must not hand out
    // clusters that were given back, so it is set up again at the same place.
    if (f && want < f->handedOut + uint32_t(f->chain->count - f->chain->position)) {
        CloseClusters(f->chain);
        f->chain = OpenClusters(start);
        f->runCount = f->runServed = 0;
        uint32_t skip = std::min(f->handedOut, want);
        for (uint32_t i = 0; i < skip && NextClust(part, f->chain) != 0; ++i) {
        }
        f->handedOut = skip;
    }
    if (f) {
        f->start = start;
        f->tailCluster = tail;
        f->tailCount = want;
    }
    entry->start = start;
    entry->size = newSize;
    return UpdateDirEntry(part, entry) == 0 ? 0 : 1;
}

} // namespace vk
