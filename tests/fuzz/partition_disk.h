// An in-memory hard disk of 64 heads and 63 sectors per track whose
// partition table holds one primary partition from sector 63 to the end,
// and fresh driver states for the fuzz targets that mount it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "fs/mbr.h"
#include "platform/console.h"
#include "platform/types.h"

namespace vk::fuzz {

constexpr uint32_t kPartitionStart = 63;

// Log output of the driver goes here, so that nothing reaches a host file.
inline uint8_t logCapture[kCaptureSize];

constexpr uint64_t DiskSectors(uint32_t cylinders) {
    return uint64_t(cylinders) * 64 * 63;
}

// The disk with its partition table in sector 0; the partition's type byte
// picks its driver.
inline std::unique_ptr<MemoryDisk> PartitionedDisk(uint32_t cylinders, uint8_t type) {
    const uint64_t sectors = DiskSectors(cylinders);
    auto disk = std::make_unique<MemoryDisk>(sectors * 512);
    uint8_t sector[512] = {};
    uint8_t* e = sector + pte::kTableOffset;
    e[pte::kStartHead] = 1;
    st16(e + pte::kStartSectCyl, 1);
    e[pte::kType] = type;
    e[pte::kEndHead] = 63;
    st16(e + pte::kEndSectCyl, uint16_t(63 | ((cylinders - 1) << 8)));
    st32(e + pte::kStartLBA, kPartitionStart);
    st32(e + pte::kSizeLBA, uint32_t(sectors - kPartitionStart));
    sector[510] = 0x55;
    sector[511] = 0xAA;
    disk->PutSector(0, sector);
    return disk;
}

// Forgets every disk and partition state and registers the partition-table
// driver and the given ones; log output is captured and writes are allowed.
inline void StartDrivers(std::initializer_list<FsDriver> drivers) {
    ResetDisks();
    RegisterFsDriver(MBRDriver);
    for (const FsDriver& driver : drivers)
        RegisterFsDriver(driver);
    InitFsHandlers();
    LogFileBuff = logCapture;
    LogFileAvail = 0;
    AllowDiskWrite = 1;
}

} // namespace vk::fuzz
