// Internals shared by the FAT driver's files.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "disk/fsdriver.h"
#include "platform/types.h"
#include "records.h"
#include "shortname.h"

namespace vk {

// Quick format and full restore (the two slots that differ between the
// FAT16 and FAT32 tables).
Status Clean16(FsState& part, const char* label);
Status Clean32(FsState& part, const char* label);
Status FullUnzip16(FsState& part, IArchive* archive);
Status FullUnzip32(FsState& part, IArchive* archive);

// The layout of the current FAT partition, kept in FsState::driverArea.
struct FatArea {
    uint8_t widthCode;         // 1 = FAT16 (2-byte entries), 2 = FAT32 (4-byte entries)
    uint8_t sectorsPerCluster; // 1, 2, 4, ..., 64
    uint16_t reservedSectors;  // first sector of FAT number 1
    uint16_t rootEntries;      // FAT16: root slots (16 per sector); FAT32: 0
    uint16_t fsInfoSector;     // FAT32: FSInfo sector, 0 for none; FAT16: 0
    uint16_t backupBootSector; // FAT32: first backup boot sector, 0 for none; FAT16: 0
    uint32_t rootCluster;      // FAT32: first cluster of the root directory; FAT16: 0
    uint32_t sectorsPerFat;    // size of one FAT copy
    uint32_t firstDataSector;  // reservedSectors + 2 * sectorsPerFat + rootEntries / 16
    uint32_t maxCluster;       // clusters 2 to maxCluster are usable
    uint32_t freeCount;        // free clusters (FAT16: 65536, never written)
    uint32_t nextFree;         // where the next allocation search starts
    // Sectors [fatDirtyFirst, fatDirtyEnd) of FAT number 1 written since the
    // second FAT was last brought up to date (none when first >= end).
    // LoadBootSectInfos marks the whole FAT, a selected volume none.
    uint32_t fatDirtyFirst;
    uint32_t fatDirtyEnd;

    bool Fat32() const { return widthCode == 2; }
    uint32_t ClusterBytes() const { return uint32_t(sectorsPerCluster) * 512u; }
    uint32_t EntriesPerSector() const { return 512u >> widthCode; }
    // First sector of the FAT16 fixed root area and its length in sectors.
    uint32_t RootSector() const { return reservedSectors + 2 * sectorsPerFat; }
    uint32_t RootSectors() const { return rootEntries / 16u; }
    // First sector of a data cluster (2 .. maxCluster).
    uint32_t ClusterSector(uint32_t cluster) const {
        return (cluster - 2) * sectorsPerCluster + firstDataSector;
    }
    bool IsDataCluster(uint32_t cluster) const { return cluster >= 2 && cluster <= maxCluster; }
};
static_assert(std::is_trivially_copyable_v<FatArea>);
static_assert(sizeof(FatArea) <= kDriverAreaSize);

// Copies of the partition's driver area.
inline FatArea LoadFatArea(FsState& part) {
    FatArea area;
    std::memcpy(&area, part.driverArea, sizeof area);
    return area;
}
inline void StoreFatArea(FsState& part, const FatArea& area) {
    std::memcpy(part.driverArea, &area, sizeof area);
}

// Checks a FAT16 or FAT32 boot sector (512 bytes) against the size of the
// partition and loads its layout into the driver area. freeCount
// and nextFree start at 65536 and 2 (FAT16) or unknown (0xFFFFFFFF) and 2
// (FAT32, until the FSInfo sector is read). 0, or 1 after logging why the
// boot sector is refused.
Status LoadBootSectInfos(FsState& part, const uint8_t* bootSector);

// Cluster access. Each returns -1 for a cluster outside 2..maxCluster (or a
// run reaching past it) and for a disk error.
Status SeekCluster(FsState& part, uint32_t cluster);
Status ReadClusters(FsState& part, uint32_t cluster, uint8_t* buffer, uint16_t count);
Status WriteClusters(FsState& part, uint32_t cluster, const uint8_t* buffer, uint16_t count);

// A cluster-chain reader: the FAT file handle and the chain of an open
// directory. It caches the run of links that lie in one FAT sector.
constexpr int kChainCache = 256;
struct ClusterChain {
    int16_t position = 0; // next cached cluster to hand out
    int16_t count = 0;    // cached clusters
    uint32_t start = 0;   // first cluster (0: empty chain)
    uint32_t next = 0;    // next cluster to fetch, 0 when the chain ended
    uint32_t last = 0;    // last cluster handed out
    uint32_t walked = 0;  // clusters fetched so far (bounds looping chains)
    uint8_t damaged = 0;  // 1 after a bad link, a loop or a read error
    uint32_t cache[kChainCache] = {};
};
ClusterChain* OpenClusters(uint32_t start);
// The next cluster of the chain, 0 at its end (or when it is damaged: then
// `damaged` is set and the reason logged).
uint32_t NextClust(FsState& part, ClusterChain* chain);
// The next cached cluster without consuming it, 0 if none is cached.
uint32_t PeekClust(ClusterChain* chain);
void CloseClusters(ClusterChain* chain);

// Reads the FAT entry of a cluster (masked to 28 bits on FAT32); 0 and -1
// status on a read error or a cluster outside the FAT.
Status ReadFatEntry(FsState& part, uint32_t cluster, uint32_t* value);
// Writes one FAT entry (FAT number 1) at once.
Status WriteFatEntry(FsState& part, uint32_t cluster, uint32_t value);

// Takes `count` free clusters from nextFree upward (no wrap-around), links
// them into one chain ending in the terminator and returns the number still
// missing (0 on success); *first receives the first one (0 if none).
uint32_t AllocateClusters(FsState& part, uint32_t count, uint32_t* first);
// AllocateClusters that also reports the last cluster taken (optional).
uint32_t AllocateRun(FsState& part, uint32_t count, uint32_t* first, uint32_t* last);
// Allocates `count` clusters and links them behind *last; *last becomes the
// first new cluster. 1 (nothing kept) on failure.
Status GrowClusters(FsState& part, uint32_t* last, uint32_t count);
// Gives a chain back. freeAll 0 keeps `start` as the chain's end.
Status FreeClusters(FsState& part, uint32_t start, uint8_t freeAll);
// Records that delta clusters were taken (negative: given back): the free
// count falls by delta and the partition is marked modified.
void RegisterAllocation(FsState& part, int32_t delta);

// Fills one directory slot. ordinal 0: the short slot, from the 11 bytes of
// shortName, with the attribute, tenths, times and dates of the packed
// attributes when given and their byte 10 is non-zero (otherwise attribute
// 0x10 for kind kKindDir or 0x20, and the current date and time), cluster
// and size. ordinal 1..slots: the long-name slot with that ordinal (the
// last flag on ordinal == slots), 13 characters of longName from
// (ordinal - 1) * 13 and the checksum of shortName.
void BuildFATDirEnt(uint8_t* slot, const char* longName, const char* shortName, uint8_t ordinal,
                    uint16_t slots, const uint8_t* attributes, uint8_t kind, uint32_t cluster,
                    uint32_t size);
// The short-name tail number in packed attributes (bytes 12 to 14).
uint32_t PackedTail(const uint8_t* attributes);

// Rewrites an entry's short slot: first cluster and size, and the
// modification date and time while TouchFiles is set.
Status UpdateDirEntry(FsState& part, FsEntry* entry);
// Marks an entry's short slot and its long-name slots deleted.
Status DeleteDirEntry(FsState& part, FsEntry* entry);

// The table operations of the directory and file code.
Status FatOpenDir(FsState& part, FsEntry* entry, FsDirHandle** dir);
Status FatNextDirEntry(FsState& part, FsDirHandle* dir, FsEntry* entry);
Status FatGetFileInfo(FsState& part, FsEntry* entry);
Status FatCreateFile(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                     FsEntry* entry);
Status FatCreateDir(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                    FsEntry* entry);
Status FatCloseDir(FsState& part, FsDirHandle* dir);
Status FatRemoveFile(FsState& part, FsEntry* entry);
Status FatRemoveDir(FsState& part, FsEntry* entry);
Status FatOpenFile(FsState& part, FsEntry* entry, uint64_t* size, FsFileHandle** file);
Status FatRewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file);
uint16_t FatReadFileChunk(FsState& part, FsFileHandle* file, uint8_t* buffer);
uint16_t FatWriteFileChunk(FsState& part, FsFileHandle* file, const uint8_t* buffer,
                           uint16_t length);
Status FatCloseFile(FsState& part, FsFileHandle* file);
Status FatAdjustFileSize(FsState& part, FsFileHandle* file, FsEntry* entry, uint32_t newSize);
// Forgets what the driver remembers of directories (after a format or a
// restore rewrote the partition).
void ForgetDirectories();

} // namespace vk
