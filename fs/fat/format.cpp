// Quick format of FAT16 and FAT32 partitions: a fresh boot sector (and on
// FAT32 its backup, the FSInfo sector and its copy), two empty FATs and an
// empty root directory, optionally holding the volume label.
#include <cstdio>
#include <cstring>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "fat_internal.h"
#include "geometry.h"
#include "platform/util.h"
#include "restore.h"

namespace vk {

namespace {

// The FSInfo sector of a fresh FAT32 volume in `sector`.
void BuildFsInfo(uint8_t* sector, uint32_t freeCount, uint32_t nextFree) {
    std::memset(sector, 0, kSectorSize);
    st32(sector + fsinfo::kLeadSig, fsinfo::kLeadValue);
    st32(sector + fsinfo::kStructSig, fsinfo::kStructValue);
    st32(sector + fsinfo::kFreeCount, freeCount);
    st32(sector + fsinfo::kNextFree, nextFree);
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

Status WriteAt(FsState& part, uint32_t sector, const uint8_t* data) {
    return Seek(part, sector) != 0 || WriteSects(part, 1, data) != 0 ? 1 : 0;
}

} // namespace

Status PrepareFatBoot(FsState& part, const uint8_t* boot, const FatGeometry& g) {
    if (LoadBootSectInfos(part, boot) != 0) return 1;
    FatArea area = LoadFatArea(part);
    if (area.maxCluster > g.clusters + 1) area.maxCluster = g.clusters + 1;
    area.nextFree = 2;
    StoreFatArea(part, area);
    return 0;
}

bool FatAddressable(const char* who, uint64_t sizeSectors) {
    if (sizeSectors <= UINT32_MAX) return true;
    char text[160];
    snprintf(text, sizeof text,
             "%s: a partition of %llu sectors is too large for FAT (at most %u sectors)\r\n", who,
             static_cast<unsigned long long>(sizeSectors), unsigned(UINT32_MAX));
    Log(text);
    return false;
}

void LogFatGeometryRefusal(const char* who, bool fat32, uint64_t sizeSectors) {
    char text[200];
    if (fat32)
        snprintf(text, sizeof text,
                 "%s: a partition of %u sectors is too small for FAT32 (it needs %u clusters "
                 "of at least 2 sectors)\r\n",
                 who, unsigned(sizeSectors), unsigned(kFat32MinClusters));
    else
        snprintf(text, sizeof text, "%s: a partition of %u sectors is too small for FAT16\r\n", who,
                 unsigned(sizeSectors));
    Log(text);
}

Status CleanFat(FsState& part, bool fat32, const char* label) {
    FatGeometry g;
    if (!FatAddressable("FAT Clean", part.sizeSectors)) return -1;
    if (ComputeFatParams(fat32, uint32_t(part.sizeSectors), &g) != 0) {
        LogFatGeometryRefusal("FAT Clean", fat32, part.sizeSectors);
        return -1;
    }
    const bool labelled = label != nullptr && *label != 0;
    uint8_t boot[kSectorSize];
    if (BuildFATBoot(part, boot, fat32, uint8_t(g.spc), g.sectorsPerFat,
                     labelled ? label : "NO NAME") != 0)
        return -1;
    st32(boot + fatboot::kTotalSectors, VolumeSectors(g, uint32_t(part.sizeSectors)));
    if (PrepareFatBoot(part, boot, g) != 0) return -1;
    FatArea area = LoadFatArea(part);
    area.freeCount = g.clusters - 1; // the FAT32 root takes cluster 2
    StoreFatArea(part, area);
    // The volume is recognisable only once it is complete: the boot sector
    // (and the FAT32 backup) is blanked first and written last.
    uint8_t sector[kSectorSize] = {};
    if (WriteAt(part, 0, sector) != 0) return -1;
    if (fat32 &&
        (WriteAt(part, area.backupBootSector, sector) != 0 || WriteAt(part, 2, sector) != 0))
        return 1;

    // Two FATs: the media entry, the end-of-chain entry 1 and, on FAT32,
    // cluster 2 for the root directory; the rest free.
    if (fat32) {
        st32(sector, 0x0FFFFFF8);
        st32(sector + 4, 0x0FFFFFFF);
        st32(sector + 8, 0x0FFFFFFF);
    } else {
        st16(sector, 0xFFF8);
        st16(sector + 2, 0xFFFF);
    }
    for (int copy = 0; copy < 2; ++copy) {
        if (Seek(part, area.reservedSectors + copy * g.sectorsPerFat) != 0 ||
            WriteSects(part, 1, sector) != 0 || BlankSects(part, g.sectorsPerFat - 1) != 0)
            return 1;
    }

    // The root directory: the FAT16 fixed area or cluster 2.
    const uint32_t rootSectors = fat32 ? g.spc : area.RootSectors();
    if (Seek(part, fat32 ? area.ClusterSector(2) : area.RootSector()) != 0) return 1;
    uint32_t blank = rootSectors;
    if (labelled) {
        std::memset(sector, 0, sizeof sector);
        std::memset(sector, ' ', fatdir::kNameSize);
        std::memcpy(sector, label, strnlen(label, fatdir::kNameSize));
        sector[fatdir::kAttr] = kFatAttrVolume | kFatAttrArchive;
        if (WriteSects(part, 1, sector) != 0) return 1;
        --blank;
    }
    if (BlankSects(part, blank) != 0) return 1;

    if (fat32) {
        BuildFsInfo(sector, g.clusters - 1, 2);
        if (WriteAt(part, area.fsInfoSector, sector) != 0 ||
            WriteAt(part, area.backupBootSector + area.fsInfoSector, sector) != 0)
            return 1;
        std::memset(sector, 0, 510); // keeps the 0x55 0xAA signature
        if (WriteAt(part, area.backupBootSector + 2, sector) != 0 || WriteAt(part, 2, sector) != 0)
            return 1;
        if (WriteAt(part, area.backupBootSector, boot) != 0) return 1;
    }
    if (WriteAt(part, 0, boot) != 0) return 1;
    part.state = kStateClean;
    return 0;
}

Status Clean16(FsState& part, const char* label) {
    return CleanFat(part, false, label);
}
Status Clean32(FsState& part, const char* label) {
    return CleanFat(part, true, label);
}

} // namespace vk
