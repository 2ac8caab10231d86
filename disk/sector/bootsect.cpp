// Builders of a fresh master boot record program and of a FAT boot sector.
#include <algorithm>
#include <cstring>

#include "disk/disk.h"
#include "disk/partitions.h"

namespace vk {

namespace {
#include "boot/bootcode.inc"
} // namespace

Status BuildMBRBoot(FsState& s, uint8_t* sect) {
    if (RewindPart(s) != 0 || ReadSects(s, 1, sect) != 0) return -1;
    memcpy(sect, kMbrProgram, sizeof kMbrProgram);
    memset(sect + sizeof kMbrProgram, 0, pte::kTableOffset - sizeof kMbrProgram);
    sect[pte::kSignature] = 0x55;
    sect[pte::kSignature + 1] = 0xAA;
    return 0;
}

uint32_t HiddenSectors(const FsState& s) {
    const uint64_t hidden = s.start - s.extendedBase;
    return hidden <= UINT32_MAX ? uint32_t(hidden) : 0;
}

Status BuildFATBoot(const FsState& s, uint8_t* sect, bool fat32, uint8_t sectorsPerCluster,
                    uint32_t sectorsPerFat, const char* label) {
    using namespace fatboot;
    memset(sect, 0, kSectorSize);
    const uint8_t jump[3] = {0xEB, 0x58, 0x90};
    memcpy(sect + kJump, jump, sizeof jump);
    memcpy(sect + kOemName, "VESKLOR!", 8);
    st16(sect + kBytesPerSector, kSectorSize);
    sect[kSectorsPerCluster] = sectorsPerCluster;
    st16(sect + kReservedSectors, fat32 ? 32 : 1);
    sect[kNumFats] = 2;
    st16(sect + kRootEntries, fat32 ? 0 : 512);
    st16(sect + kSmallSectors, 0);
    sect[kMedia] = 0xF8;
    st16(sect + kSectorsPerFat16, fat32 ? 0 : uint16_t(sectorsPerFat));
    st16(sect + kSectorsPerTrack, s.geometry.sectors);
    st16(sect + kHeads, uint16_t(s.geometry.heads()));
    st32(sect + kHiddenSectors, HiddenSectors(s));
    // The FAT drivers refuse partitions whose size 32 bits cannot hold
    // before they build a boot sector.
    st32(sect + kTotalSectors, uint32_t(std::min<uint64_t>(s.sizeSectors, UINT32_MAX)));
    size_t e = kExtendedFat16;
    if (fat32) {
        st32(sect + kSectorsPerFat32, sectorsPerFat);
        st32(sect + kRootCluster, 2);
        st16(sect + kInfoSector, 1);
        st16(sect + kBackupBoot, 6);
        e = kExtendedFat32;
    }
    sect[e + kDriveNumber] = s.disk;
    sect[e + kBootSignature] = 0x29;
    sect[e + kSerial] = uint8_t(s.partition);
    sect[e + kSerial + 1] = s.disk;
    sect[e + kSerial + 2] = 'V';
    sect[e + kSerial + 3] = 'K';
    size_t n = strnlen(label ? label : "", kLabelSize);
    memset(sect + e + kLabel, ' ', kLabelSize);
    memcpy(sect + e + kLabel, label ? label : "", n);
    memset(sect + e + kFsType, ' ', 8);
    memcpy(sect + e + kFsType, fat32 ? "FAT32" : "FAT16", 5);
    memcpy(sect + kBootProgram, kFatBootProgram, sizeof kFatBootProgram);
    sect[pte::kSignature] = 0x55;
    sect[pte::kSignature + 1] = 0xAA;
    return 0;
}

} // namespace vk
