// Cluster access, FAT entries, chain reading, allocation and freeing.
#include <algorithm>
#include <vector>

#include "disk/disk.h"
#include "fat_internal.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr uint16_t kFatBlock = 16; // FAT sectors scanned per read while allocating

bool IsEnd(const FatArea& a, uint32_t value) {
    return a.Fat32() ? value > kFat32EndAbove : value > kFat16EndAbove;
}

uint32_t GetEntry(const FatArea& a, const uint8_t* sector, uint32_t cluster) {
    uint32_t index = cluster % a.EntriesPerSector();
    if (a.Fat32()) return ld32(sector + index * 4) & kFat32Mask;
    return ld16(sector + index * 2);
}

// FAT32 entries keep their top four bits.
void PutEntry(const FatArea& a, uint8_t* sector, uint32_t cluster, uint32_t value) {
    uint32_t index = cluster % a.EntriesPerSector();
    if (a.Fat32()) {
        uint8_t* p = sector + index * 4;
        st32(p, (ld32(p) & ~kFat32Mask) | (value & kFat32Mask));
    } else {
        st16(sector + index * 2, uint16_t(value));
    }
}

Status ReadFatSectors(FsState& part, const FatArea& a, uint32_t index, uint16_t count,
                      uint8_t* buffer) {
    if (index >= a.sectorsPerFat || count > a.sectorsPerFat - index) return -1;
    if (Seek(part, a.reservedSectors + index) != 0) return -1;
    return ReadSects(part, count, buffer);
}

Status WriteFatSectors(FsState& part, const FatArea& a, uint32_t index, uint16_t count,
                       const uint8_t* buffer) {
    if (index >= a.sectorsPerFat || count > a.sectorsPerFat - index) return -1;
    FatArea current = LoadFatArea(part);
    if (current.fatDirtyFirst >= current.fatDirtyEnd) {
        current.fatDirtyFirst = index;
        current.fatDirtyEnd = index + count;
    } else {
        current.fatDirtyFirst = std::min(current.fatDirtyFirst, index);
        current.fatDirtyEnd = std::max(current.fatDirtyEnd, index + count);
    }
    StoreFatArea(part, current);
    part.state = kStateModified;
    if (Seek(part, a.reservedSectors + index) != 0 || WriteSects(part, count, buffer) != 0) {
        Log("ERROR: [FAT] Cannot write the allocation table\r\n");
        return -1;
    }
    return 0;
}

// Checks that a run of clusters lies inside the data area and fits one
// transfer.
bool ValidRun(const FatArea& a, uint32_t cluster, uint16_t count) {
    return count > 0 && a.IsDataCluster(cluster) && count - 1u <= a.maxCluster - cluster &&
           uint32_t(count) * a.sectorsPerCluster <= 0xFFFFu;
}

void Damaged(ClusterChain* chain, const char* why) {
    if (!chain->damaged) {
        Log("ERROR: [FAT] Damaged cluster chain: ");
        Log(why);
        Log("\r\n");
    }
    chain->damaged = 1;
    chain->next = 0;
}

// Caches the links that follow chain->next within its FAT sector.
void FillChain(FsState& part, ClusterChain* chain) {
    FatArea a = LoadFatArea(part);
    chain->position = chain->count = 0;
    uint32_t cluster = chain->next;
    chain->next = 0;
    if (!a.IsDataCluster(cluster)) {
        Damaged(chain, "cluster out of range");
        return;
    }
    uint32_t eps = a.EntriesPerSector();
    uint32_t sector = cluster / eps;
    uint8_t buffer[kSectorSize];
    if (ReadFatSectors(part, a, sector, 1, buffer) != 0) {
        Damaged(chain, "allocation table unreadable");
        return;
    }
    for (;;) {
        uint32_t value = GetEntry(a, buffer, cluster);
        if (value == 0) return; // a free cluster ends the chain before it
        if (++chain->walked > a.maxCluster - 1) {
            Damaged(chain, "chain loops");
            return;
        }
        chain->cache[chain->count++] = cluster;
        if (IsEnd(a, value)) return;
        if (!a.IsDataCluster(value)) {
            Damaged(chain, "link out of range");
            return;
        }
        if (value / eps != sector || chain->count == kChainCache) {
            chain->next = value;
            return;
        }
        cluster = value;
    }
}

} // namespace

Status SeekCluster(FsState& part, uint32_t cluster) {
    FatArea a = LoadFatArea(part);
    if (!a.IsDataCluster(cluster)) return -1;
    return Seek(part, a.ClusterSector(cluster));
}

Status ReadClusters(FsState& part, uint32_t cluster, uint8_t* buffer, uint16_t count) {
    FatArea a = LoadFatArea(part);
    if (!ValidRun(a, cluster, count) || Seek(part, a.ClusterSector(cluster)) != 0) return -1;
    return ReadSects(part, uint16_t(count * a.sectorsPerCluster), buffer) == 0 ? 0 : -1;
}

Status WriteClusters(FsState& part, uint32_t cluster, const uint8_t* buffer, uint16_t count) {
    FatArea a = LoadFatArea(part);
    if (!ValidRun(a, cluster, count) || Seek(part, a.ClusterSector(cluster)) != 0) return -1;
    return WriteSects(part, uint16_t(count * a.sectorsPerCluster), buffer) == 0 ? 0 : -1;
}

ClusterChain* OpenClusters(uint32_t start) {
    ClusterChain* chain = new ClusterChain;
    chain->start = start;
    chain->next = start;
    return chain;
}

uint32_t NextClust(FsState& part, ClusterChain* chain) {
    if (chain->position >= chain->count) {
        if (chain->next == 0) return 0;
        FillChain(part, chain);
        if (chain->position >= chain->count) return 0;
    }
    chain->last = chain->cache[chain->position++];
    return chain->last;
}

uint32_t PeekClust(ClusterChain* chain) {
    return chain->position < chain->count ? chain->cache[chain->position] : 0;
}

void CloseClusters(ClusterChain* chain) {
    delete chain;
}

Status ReadFatEntry(FsState& part, uint32_t cluster, uint32_t* value) {
    FatArea a = LoadFatArea(part);
    *value = 0;
    uint8_t buffer[kSectorSize];
    if (cluster > a.maxCluster ||
        ReadFatSectors(part, a, cluster / a.EntriesPerSector(), 1, buffer) != 0)
        return -1;
    *value = GetEntry(a, buffer, cluster);
    return 0;
}

Status WriteFatEntry(FsState& part, uint32_t cluster, uint32_t value) {
    FatArea a = LoadFatArea(part);
    uint8_t buffer[kSectorSize];
    uint32_t sector = cluster / a.EntriesPerSector();
    if (!a.IsDataCluster(cluster) || ReadFatSectors(part, a, sector, 1, buffer) != 0) return -1;
    PutEntry(a, buffer, cluster, value);
    return WriteFatSectors(part, a, sector, 1, buffer);
}

void RegisterAllocation(FsState& part, int32_t delta) {
    FatArea a = LoadFatArea(part);
    if (a.freeCount != 0xFFFFFFFF) {
        int64_t count = int64_t(a.freeCount) - delta;
        a.freeCount = uint32_t(std::clamp<int64_t>(count, 0, 0xFFFFFFFE));
    }
    StoreFatArea(part, a);
    part.state = kStateModified;
}

// AllocateClusters, also reporting the last cluster taken.
uint32_t AllocateRun(FsState& part, uint32_t count, uint32_t* first, uint32_t* last) {
    *first = 0;
    if (last) *last = 0;
    if (count == 0) return 0;
    FatArea a = LoadFatArea(part);
    const uint32_t eps = a.EntriesPerSector();
    uint32_t cluster = a.IsDataCluster(a.nextFree) ? a.nextFree : 2;
    std::vector<uint8_t> block(size_t(kFatBlock) * kSectorSize);
    uint32_t blockStart = 0, blockCount = 0; // FAT sectors held in block
    bool dirty = false, failed = false;
    uint32_t previous = 0, taken = 0;
    auto inBlock = [&](uint32_t c) {
        uint32_t s = c / eps;
        return blockCount != 0 && s >= blockStart && s < blockStart + blockCount;
    };
    auto flush = [&]() {
        if (dirty && WriteFatSectors(part, a, blockStart, uint16_t(blockCount), block.data()) != 0)
            failed = true;
        dirty = false;
    };
    while (taken < count && cluster <= a.maxCluster && !failed) {
        if (!inBlock(cluster)) {
            flush();
            MonitorESC();
            blockStart = cluster / eps;
            blockCount = std::min<uint32_t>(kFatBlock, a.sectorsPerFat - blockStart);
            if (failed ||
                ReadFatSectors(part, a, blockStart, uint16_t(blockCount), block.data()) != 0) {
                failed = true;
                blockCount = 0;
                break;
            }
        }
        uint8_t* sector = block.data() + size_t(cluster / eps - blockStart) * kSectorSize;
        if (GetEntry(a, sector, cluster) == 0) {
            if (previous == 0) {
                *first = cluster;
            } else if (inBlock(previous)) {
                PutEntry(a, block.data() + size_t(previous / eps - blockStart) * kSectorSize,
                         previous, cluster);
                dirty = true;
            } else if (WriteFatEntry(part, previous, cluster) != 0) {
                failed = true;
            }
            // Mark it taken at once, so that the block never shows it free.
            PutEntry(a, sector, cluster, kFatEndOfChain);
            dirty = true;
            previous = cluster;
            ++taken;
        }
        ++cluster;
    }
    flush();
    if (taken == count && !failed) {
        FatArea current = LoadFatArea(part);
        current.nextFree = previous;
        StoreFatArea(part, current);
        RegisterAllocation(part, int32_t(taken));
        if (last) *last = previous;
        return 0;
    }
    // Nothing is kept of a failed allocation.
    if (taken > 0) {
        RegisterAllocation(part, int32_t(taken));
        FreeClusters(part, *first, 1);
    }
    if (!failed) {
        Log("ERROR: [FAT] Not enough free clusters\r\n");
        NoteDiskFull();
    }
    *first = 0;
    return failed ? count : count - taken;
}

uint32_t AllocateClusters(FsState& part, uint32_t count, uint32_t* first) {
    return AllocateRun(part, count, first, nullptr);
}

Status GrowClusters(FsState& part, uint32_t* last, uint32_t count) {
    uint32_t first = 0;
    if (AllocateClusters(part, count, &first) != 0) return 1;
    if (WriteFatEntry(part, *last, first) != 0) {
        FreeClusters(part, first, 1);
        return 1;
    }
    *last = first;
    return 0;
}

Status FreeClusters(FsState& part, uint32_t start, uint8_t freeAll) {
    FatArea a = LoadFatArea(part);
    if (start == 0) return 0;
    if (!a.IsDataCluster(start)) return -1;
    const uint32_t eps = a.EntriesPerSector();
    uint8_t buffer[kSectorSize];
    uint32_t loaded = UINT32_MAX;
    bool dirty = false;
    Status status = 0;
    uint32_t cluster = start, freed = 0, walked = 0;
    for (bool first = true;; first = false) {
        uint32_t sector = cluster / eps;
        if (sector != loaded) {
            if (dirty && WriteFatSectors(part, a, loaded, 1, buffer) != 0) status = -1;
            dirty = false;
            if (status != 0 || ReadFatSectors(part, a, sector, 1, buffer) != 0) {
                status = -1;
                break;
            }
            loaded = sector;
        }
        uint32_t value = GetEntry(a, buffer, cluster);
        if (value == 0) break;                 // already free: the chain looped back or ended
        if (!first && cluster == start) break; // looped back to the kept end
        if (first && !freeAll) {
            PutEntry(a, buffer, cluster, kFatEndOfChain);
        } else {
            PutEntry(a, buffer, cluster, 0);
            ++freed;
        }
        dirty = true;
        if (IsEnd(a, value)) break;
        if (!a.IsDataCluster(value) || ++walked > a.maxCluster) {
            Log("ERROR: [FAT] Damaged cluster chain: link out of range\r\n");
            status = -1;
            break;
        }
        cluster = value;
    }
    if (dirty && WriteFatSectors(part, a, loaded, 1, buffer) != 0) status = -1;
    if (freed > 0) RegisterAllocation(part, -int32_t(freed));
    return status;
}

} // namespace vk
