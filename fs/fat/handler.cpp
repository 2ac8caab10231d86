// The FAT16 and FAT32 operation tables, boot-sector acceptance, the flush of
// the second FAT and the FSInfo sector, and the boot-area access.
#include <algorithm>
#include <vector>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "fat_internal.h"
#include "fs/fat.h"
#include "geometry.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

uint8_t TouchFiles = 1;

namespace {

constexpr uint16_t kSlotsPerSector = kSectorSize / fatdir::kSlotSize;
// The largest FAT16 root area accepted: its slots are counted in 16 bits.
constexpr uint16_t kMaxRootEntries = 32768 - kSlotsPerSector;

// Refusals are only reported for sectors that claim to be boot sectors, so
// that selecting a blank or foreign partition stays quiet.
Status Refuse(const uint8_t* boot, const char* why) {
    if (boot[pte::kSignature] == 0x55 && boot[pte::kSignature + 1] == 0xAA &&
        ld16(boot + fatboot::kBytesPerSector) != 0) {
        Log("ERROR: [FAT] Boot sector refused: ");
        Log(why);
        Log("\r\n");
    }
    return 1;
}

} // namespace

Status LoadBootSectInfos(FsState& part, const uint8_t* boot) {
    using namespace fatboot;
    FatArea a{};
    if (ld16(boot + kBytesPerSector) != kSectorSize) return Refuse(boot, "sector size");
    uint8_t spc = boot[kSectorsPerCluster];
    if (spc == 0 || spc > 64 || (spc & (spc - 1)) != 0) return Refuse(boot, "cluster size");
    if (boot[kNumFats] != 2) return Refuse(boot, "number of FATs");
    a.sectorsPerCluster = spc;
    a.reservedSectors = ld16(boot + kReservedSectors);
    a.rootEntries = ld16(boot + kRootEntries);
    // Volumes of other formatters are accepted in any layout that holds
    // together: the reserved sectors hold the boot sector (and on FAT32 the
    // FSInfo sector and the backup boot sectors where the BPB puts them),
    // the FAT16 root area is a whole number of sectors.
    if (a.reservedSectors == 0) return Refuse(boot, "reserved sectors");
    if (a.rootEntries != 0) {
        if (a.rootEntries % kSlotsPerSector != 0 || a.rootEntries > kMaxRootEntries)
            return Refuse(boot, "FAT16 root directory size");
        a.widthCode = 1;
        a.sectorsPerFat = ld16(boot + kSectorsPerFat16);
    } else {
        a.widthCode = 2;
        a.sectorsPerFat = ld32(boot + kSectorsPerFat32);
        a.fsInfoSector = ld16(boot + kInfoSector);
        a.backupBootSector = ld16(boot + kBackupBoot);
        a.rootCluster = ld32(boot + kRootCluster) & kFat32Mask;
        // 0 or 0xFFFF: no FSInfo sector, no backup.
        if (a.fsInfoSector == 0xFFFF) a.fsInfoSector = 0;
        if (a.backupBootSector == 0xFFFF) a.backupBootSector = 0;
        if (a.fsInfoSector >= a.reservedSectors) return Refuse(boot, "FSInfo sector");
        // The backup follows the sectors it copies (as many of the boot
        // sector and the two after it as the reserved sectors hold).
        if (a.backupBootSector != 0 &&
            (a.backupBootSector >= a.reservedSectors || a.backupBootSector <= a.fsInfoSector))
            return Refuse(boot, "backup boot sector");
    }
    if (a.sectorsPerFat == 0) return Refuse(boot, "FAT size");
    // A volume counts its sectors in 32 bits: it lies within the first
    // 2^32 sectors of its partition whatever the partition's size.
    uint32_t sectors = uint32_t(std::min<uint64_t>(part.sizeSectors, UINT32_MAX));
    uint32_t total = ld16(boot + kSmallSectors);
    if (total == 0) total = ld32(boot + kTotalSectors);
    if (total != 0) sectors = std::min(sectors, total);
    uint64_t firstData = uint64_t(a.reservedSectors) + 2ull * a.sectorsPerFat + a.rootEntries / 16;
    if (firstData >= sectors) return Refuse(boot, "partition too small for its layout");
    a.firstDataSector = uint32_t(firstData);
    uint64_t maxCluster = (sectors - a.firstDataSector) / spc + 1;
    // Fewer clusters make a FAT12 volume of the same boot-sector layout.
    if (a.widthCode == 1 && maxCluster - 1 < kFat16MinClusters)
        return Refuse(boot, "too few clusters for FAT16");
    // Clusters beyond what one FAT copy can describe are not usable.
    uint64_t entries = (uint64_t(a.sectorsPerFat) * kSectorSize) >> a.widthCode;
    maxCluster = std::min<uint64_t>(maxCluster, entries - 1);
    if (maxCluster < 2) return Refuse(boot, "no data clusters");
    if (a.widthCode == 1 && maxCluster - 1 > kFat16MaxClusters)
        return Refuse(boot, "too many clusters for FAT16");
    if (a.widthCode == 2 && maxCluster >= kFat32MaxCluster)
        return Refuse(boot, "too many clusters for FAT32");
    // Cluster numbers that read as chain ends are never used.
    a.maxCluster = uint32_t(
        std::min<uint64_t>(maxCluster, a.widthCode == 1 ? kFat16EndAbove : kFat32EndAbove));
    if (a.widthCode == 2 && !a.IsDataCluster(a.rootCluster)) return Refuse(boot, "root cluster");
    a.freeCount = a.widthCode == 1 ? 65536 : 0xFFFFFFFF;
    a.nextFree = 2;
    a.fatDirtyFirst = 0;
    a.fatDirtyEnd = a.sectorsPerFat;
    StoreFatArea(part, a);
    return 0;
}

namespace {

bool FsInfoValid(const uint8_t* sector) {
    return ld32(sector + fsinfo::kLeadSig) == fsinfo::kLeadValue &&
           ld32(sector + fsinfo::kStructSig) == fsinfo::kStructValue;
}

Status InitFsSpecific(FsState& part) {
    ForgetDirectories();
    uint8_t boot[kSectorSize];
    if (Seek(part, 0) != 0 || ReadSects(part, 1, boot) != 0) return 1;
    if (LoadBootSectInfos(part, boot) != 0) return 1;
    // The two FATs of a volume found on disk are taken to agree, unless a
    // flush is still due: then all of the second FAT is brought up to date.
    FatArea a = LoadFatArea(part);
    if (part.state != kStateModified) a.fatDirtyFirst = a.fatDirtyEnd = 0;
    StoreFatArea(part, a);
    uint8_t sector[kSectorSize];
    if (a.Fat32() && a.fsInfoSector != 0) {
        if (Seek(part, a.fsInfoSector) != 0 || ReadSects(part, 1, sector) != 0) return 1;
        if (FsInfoValid(sector)) {
            a.freeCount = ld32(sector + fsinfo::kFreeCount);
            a.nextFree = ld32(sector + fsinfo::kNextFree);
            // A count larger than the volume is as good as unknown.
            if (a.freeCount != 0xFFFFFFFF && a.freeCount > a.maxCluster - 1)
                a.freeCount = 0xFFFFFFFF;
        }
        StoreFatArea(part, a);
    }
    if (Seek(part, a.reservedSectors) != 0 || ReadSects(part, 1, sector) != 0) return 1;
    return sector[0] == kFatMedia ? 0 : 1;
}

Status FlushFsSpecific(FsState& part) {
    if (part.state != kStateModified) return 0;
    FatArea a = LoadFatArea(part);
    uint8_t sector[kSectorSize];
    Status status = 0;
    if (a.Fat32()) {
        if (a.fsInfoSector != 0) {
            if (Seek(part, a.fsInfoSector) != 0 || ReadSects(part, 1, sector) != 0) return 1;
            if (FsInfoValid(sector)) {
                st32(sector + fsinfo::kFreeCount, a.freeCount);
                st32(sector + fsinfo::kNextFree, a.nextFree);
                if (Seek(part, a.fsInfoSector) != 0 || WriteSects(part, 1, sector) != 0) status = 1;
                if (a.backupBootSector != 0 &&
                    a.fsInfoSector + a.backupBootSector < a.reservedSectors &&
                    (Seek(part, a.fsInfoSector + a.backupBootSector) != 0 ||
                     WriteSects(part, 1, sector) != 0))
                    status = 1;
            }
        }
        if (a.backupBootSector != 0) {
            // Sectors 0 to 2, as far as the reserved sectors reach.
            uint8_t area[3 * kSectorSize];
            uint16_t n = uint16_t(std::min(3, a.reservedSectors - a.backupBootSector));
            if (Seek(part, 0) != 0 || ReadSects(part, n, area) != 0 ||
                Seek(part, a.backupBootSector) != 0 || WriteSects(part, n, area) != 0)
                status = 1;
        }
    }
    // The second FAT becomes a copy of the first where the first changed.
    constexpr uint16_t kStep = 16;
    std::vector<uint8_t> block(size_t(kStep) * kSectorSize);
    uint32_t end = std::min(a.fatDirtyEnd, a.sectorsPerFat);
    for (uint32_t done = a.fatDirtyFirst; done < end && status == 0; done += kStep) {
        MonitorESC();
        uint16_t n = uint16_t(std::min<uint32_t>(kStep, end - done));
        if (Seek(part, a.reservedSectors + done) != 0 || ReadSects(part, n, block.data()) != 0 ||
            Seek(part, a.reservedSectors + a.sectorsPerFat + done) != 0 ||
            WriteSects(part, n, block.data()) != 0)
            status = 1;
    }
    if (status != 0) {
        Log("ERROR: [FAT] Cannot bring the second FAT and FSInfo up to date\r\n");
        return 1;
    }
    a = LoadFatArea(part);
    a.fatDirtyFirst = a.fatDirtyEnd = 0;
    StoreFatArea(part, a);
    part.state = kStateClean;
    return 0;
}

uint16_t GetNumBootSectors(FsState& part, FsEntry*) {
    return LoadFatArea(part).reservedSectors;
}

Status ReadBootSectors(FsState& part, FsEntry*, uint16_t first, uint16_t count, uint8_t* buffer) {
    if (Seek(part, first) != 0) return -1;
    return ReadSects(part, count, buffer) == 0 ? 0 : -1;
}

uint32_t AddEntrySize(uint32_t size, FsEntry* entry, uint16_t) {
    if (size == 0) size = 64;
    if (entry && entry->name) {
        char shortName[kShortNameBuffer];
        size += 32u * (GetShortName(entry->name, shortName, nullptr) + 1u);
    }
    return size;
}

} // namespace

namespace {

constexpr FsHandler FatTable(Status (*clean)(FsState&, const char*),
                             Status (*unzip)(FsState&, IArchive*)) {
    return FsHandler{
        .id = {'F', 'A', 'T', 'x'},
        .attrSize = fatattr::kSize,
        .flags = kFsCaseInsensitive | kFsAttrWithEntries,
        .sizeHighAt = 0,
        .GetNumBootSectors = GetNumBootSectors,
        .ReadBootSectors = ReadBootSectors,
        .InitFsSpecific = InitFsSpecific,
        .FlushFsSpecific = FlushFsSpecific,
        .OpenDir = FatOpenDir,
        .NextDirEntry = FatNextDirEntry,
        .GetFileInfo = FatGetFileInfo,
        .AddEntrySize = AddEntrySize,
        .CreateFile = FatCreateFile,
        .CreateDir = FatCreateDir,
        .CloseDir = FatCloseDir,
        .RemoveFile = FatRemoveFile,
        .RemoveDir = FatRemoveDir,
        .OpenFile = FatOpenFile,
        .RewriteFile = FatRewriteFile,
        .ReadFileChunk = FatReadFileChunk,
        .WriteFileChunk = FatWriteFileChunk,
        .CloseFile = FatCloseFile,
        .AdjustFileSize = FatAdjustFileSize,
        .Clean = clean,
        .FullUnzip = unzip,
        .FileDescriptor = nullptr,
        .InitDriver = nullptr,
        .DescribeAttributes = nullptr,
        .DescribeBootArea = nullptr,
    };
}

} // namespace

const FsHandler FAT16Handler = FatTable(Clean16, FullUnzip16);
const FsHandler FAT32Handler = FatTable(Clean32, FullUnzip32);

namespace {
constexpr uint8_t kFat16Types[] = {0x04, 0x06, 0x0E};
constexpr uint8_t kFat32Types[] = {0x0B, 0x0C};
} // namespace

const FsDriver FAT16Driver = {&FAT16Handler, kFat16Types};
const FsDriver FAT32Driver = {&FAT32Handler, kFat32Types};

} // namespace vk
