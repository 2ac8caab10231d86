// Builders of a fresh master boot record program and of a FAT boot sector.
#include <cstring>

#include "disk/disk.h"
#include "disk/partitions.h"

namespace vk {

namespace {
#include "boot/bootcode.inc"
} // namespace

Status BuildMBRBoot() {
    if (RewindPart() != 0 || ReadSects(1, Sect) != 0) return -1;
    memcpy(Sect, kMbrProgram, sizeof kMbrProgram);
    memset(Sect + sizeof kMbrProgram, 0, pte::kTableOffset - sizeof kMbrProgram);
    Sect[pte::kSignature] = 0x55;
    Sect[pte::kSignature + 1] = 0xAA;
    return 0;
}

Status BuildFATBoot(bool fat32, uint8_t sectorsPerCluster, uint32_t sectorsPerFat,
                    const char* label) {
    using namespace fatboot;
    memset(Sect, 0, kSectorSize);
    const uint8_t jump[3] = {0xEB, 0x58, 0x90};
    memcpy(Sect + kJump, jump, sizeof jump);
    memcpy(Sect + kOemName, "VESKLOR!", 8);
    st16(Sect + kBytesPerSector, kSectorSize);
    Sect[kSectorsPerCluster] = sectorsPerCluster;
    st16(Sect + kReservedSectors, fat32 ? 32 : 1);
    Sect[kNumFats] = 2;
    st16(Sect + kRootEntries, fat32 ? 0 : 512);
    st16(Sect + kSmallSectors, 0);
    Sect[kMedia] = 0xF8;
    st16(Sect + kSectorsPerFat16, fat32 ? 0 : uint16_t(sectorsPerFat));
    st16(Sect + kSectorsPerTrack, fsstate->geometry.sectors);
    st16(Sect + kHeads, uint16_t(fsstate->geometry.heads()));
    st32(Sect + kHiddenSectors, fsstate->start - fsstate->extendedBase);
    st32(Sect + kTotalSectors, fsstate->sizeSectors);
    size_t e = kExtendedFat16;
    if (fat32) {
        st32(Sect + kSectorsPerFat32, sectorsPerFat);
        st32(Sect + kRootCluster, 2);
        st16(Sect + kInfoSector, 1);
        st16(Sect + kBackupBoot, 6);
        e = kExtendedFat32;
    }
    Sect[e + kDriveNumber] = fsstate->disk;
    Sect[e + kBootSignature] = 0x29;
    Sect[e + kSerial] = uint8_t(fsstate->partition);
    Sect[e + kSerial + 1] = fsstate->disk;
    Sect[e + kSerial + 2] = 'V';
    Sect[e + kSerial + 3] = 'K';
    size_t n = strnlen(label ? label : "", kLabelSize);
    memset(Sect + e + kLabel, ' ', kLabelSize);
    memcpy(Sect + e + kLabel, label ? label : "", n);
    memset(Sect + e + kFsType, ' ', 8);
    memcpy(Sect + e + kFsType, fat32 ? "FAT32" : "FAT16", 5);
    memcpy(Sect + kBootProgram, kFatBootProgram, sizeof kFatBootProgram);
    Sect[pte::kSignature] = 0x55;
    Sect[pte::kSignature + 1] = 0xAA;
    return 0;
}

} // namespace vk
