// Feeds hostile FAT volumes to the FAT driver. The input chooses the FAT
// width and a few boot-sector fields of an otherwise plausible boot sector,
// then gives (sector, 512 bytes) records that land in the first sectors of
// the partition: the boot sector itself, FSInfo, the FATs, the root area
// and the first data clusters. The driver then walks every directory,
// reads every file, and creates, writes, shrinks and removes a file and a
// directory; all of it must end, stay inside the partition and never crash.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver_exerciser.h"
#include "fs/fat.h"
#include "partition_disk.h"
#include "platform/types.h"

using namespace vk;
using namespace vk::fuzz;

namespace {

constexpr uint32_t kCylinders = 64;
constexpr uint64_t kSectors = DiskSectors(kCylinders);
constexpr uint32_t kStart = kPartitionStart;
constexpr uint32_t kRecordSectors = 4096; // records land in this many first sectors

void PutBoot(MemoryDisk* disk, bool fat32, const uint8_t* fields) {
    using namespace fatboot;
    uint8_t b[512] = {};
    st16(b + kBytesPerSector, 512);
    b[kSectorsPerCluster] = uint8_t(1u << (fields[0] % 8));
    b[kNumFats] = 2;
    b[kMedia] = 0xF8;
    st32(b + kTotalSectors, uint32_t(kSectors - kStart) - fields[1]);
    if (fat32) {
        st16(b + kReservedSectors, 32);
        st32(b + kSectorsPerFat32, 1u + ld16(fields + 2) % 2048);
        st32(b + kRootCluster, 2u + fields[4] % 8);
        st16(b + kInfoSector, 1);
        st16(b + kBackupBoot, 6);
    } else {
        st16(b + kReservedSectors, 1);
        st16(b + kRootEntries, 512);
        st16(b + kSectorsPerFat16, uint16_t(1u + ld16(fields + 2) % 256));
    }
    b[510] = 0x55;
    b[511] = 0xAA;
    disk->PutSector(kStart, b);
    uint16_t reserved = fat32 ? 32 : 1;
    uint8_t fat[512] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
    if (fat32) {
        uint8_t info[512] = {};
        st32(info + 0, 0x41615252);
        st32(info + 484, 0x61417272);
        st32(info + 488, ld32(fields + 5));
        st32(info + 492, ld32(fields + 9));
        disk->PutSector(kStart + 1, info);
    }
    disk->PutSector(kStart + reserved, fat);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kHeader = 14;
    if (size < kHeader) return 0;
    FlushParts();
    StartDrivers({FAT16Driver, FAT32Driver});
    const bool fat32 = data[0] & 1;
    const bool writes = data[0] & 2;
    const uint8_t how = data[13];

    auto disk = PartitionedDisk(kCylinders, fat32 ? 0x0C : 0x06);
    PutBoot(disk.get(), fat32, data + 1);
    data += kHeader;
    size -= kHeader;
    // Records: 2-byte sector of the partition, then up to 512 bytes.
    while (size >= 2) {
        uint32_t sector = ld16(data) % kRecordSectors;
        data += 2;
        size -= 2;
        uint8_t sect[512] = {};
        size_t n = std::min<size_t>(size, 512);
        std::memcpy(sect, data, n);
        data += n;
        size -= n;
        disk->PutSector(kStart + sector, sect);
    }
    ExerciseFirstPartition(std::move(disk), writes, how);
    FlushParts();
    ResetDisks();
    return 0;
}
