// A disk-layer test set-up: no disks but those a test adds (in-memory
// images or temporary image files), the MBR and swap drivers attached, a
// fresh partition-state cache, writes enabled and the log captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/partitions.h"

namespace vk::test {

constexpr uint32_t kTrack = 63;
constexpr uint32_t kCylinder = 64 * 63;

// Sector of a location on a 64-head, 63-sector disk.
constexpr uint32_t Lba(uint32_t c, uint32_t h, uint32_t s) {
    return c * kCylinder + h * kTrack + s - 1;
}

// One raw partition table entry, packed the standard way (LBA mode).
struct RawEntry {
    uint8_t type = 0;
    uint16_t c0 = 0;
    uint8_t h0 = 0, s0 = 0;
    uint16_t c1 = 0;
    uint8_t h1 = 0, s1 = 0;
    uint8_t boot = 0;
    uint32_t startField = 0; // the 32-bit start as stored
};

class DiskTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // An in-memory disk of `cylinders` cylinders of 64 x 63 sectors.
    MemoryDisk* AddMemoryDisk(uint32_t cylinders);
    // Everything logged since the start of the test (or the last ClearLog).
    std::string Logged() const;
    void ClearLog();

    static uint8_t capture_[];
};

// Writes a table sector: the given entries (up to 4) and the signature.
void PutTable(MemoryDisk* disk, uint64_t sector, std::vector<RawEntry> entries,
              bool signature = true);

// A raw entry from CHS start and end on the 64 x 63 geometry.
RawEntry Part(uint8_t type, uint16_t c0, uint8_t h0, uint16_t c1, uint8_t boot = 0,
              uint32_t base = 0);

} // namespace vk::test
