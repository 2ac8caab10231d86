#include "disk_fixture.h"

#include <cstring>

#include "fs/mbr.h"
#include "fs/swap.h"
#include "platform/console.h"

namespace vk::test {

uint8_t DiskTest::capture_[kCaptureSize];

void DiskTest::SetUp() {
    FlushParts();
    ResetDisks();
    ResetFsDrivers();
    RegisterFsDriver(MBRDriver);
    RegisterFsDriver(SWAPDriver);
    InitFsHandlers();
    AllowDiskWrite = 1;
    LBAMode = 1;
    FDAMode = 0;
    LogFileBuff = capture_;
    LogFileAvail = 0;
}

void DiskTest::TearDown() {
    FlushParts();
    ResetDisks();
    LogFileBuff = nullptr;
    LogFileAvail = 0;
    AllowDiskWrite = 0;
    LBAMode = 1;
}

MemoryDisk* DiskTest::AddMemoryDisk(uint32_t cylinders) {
    auto disk = std::make_unique<MemoryDisk>(uint64_t(cylinders) * kCylinder * 512);
    return static_cast<MemoryDisk*>(AddDiskDevice(std::move(disk)));
}

void PutTable(MemoryDisk* disk, uint64_t sector, std::vector<RawEntry> entries, bool signature) {
    std::vector<uint8_t> s = disk->Sector(sector);
    memset(s.data() + 446, 0, 64);
    for (size_t i = 0; i < entries.size() && i < 4; ++i) {
        const RawEntry& e = entries[i];
        uint8_t* p = s.data() + 446 + 16 * i;
        p[0] = e.boot;
        p[1] = e.h0;
        st16(p + 2, uint16_t(e.s0 | ((e.c0 >> 2) & 0xC0) | ((e.c0 & 0xFF) << 8)));
        p[4] = e.type;
        p[5] = e.h1;
        st16(p + 6, uint16_t(e.s1 | ((e.c1 >> 2) & 0xC0) | ((e.c1 & 0xFF) << 8)));
        if (e.type != 0) {
            st32(p + 8, e.startField);
            st32(p + 12, Lba(e.c1, e.h1, e.s1) - Lba(e.c0, e.h0, e.s0) + 1);
        }
    }
    s[510] = signature ? 0x55 : 0;
    s[511] = signature ? 0xAA : 0;
    disk->PutSector(sector, s.data());
}

std::string DiskTest::Logged() const {
    return std::string(reinterpret_cast<const char*>(capture_), LogFileAvail);
}

void DiskTest::ClearLog() {
    LogFileAvail = 0;
}

RawEntry Part(uint8_t type, uint16_t c0, uint8_t h0, uint16_t c1, uint8_t boot, uint32_t base) {
    RawEntry e;
    e.type = type;
    e.c0 = c0;
    e.h0 = h0;
    e.s0 = 1;
    e.c1 = c1;
    e.h1 = 63;
    e.s1 = 63;
    e.boot = boot;
    e.startField = Lba(c0, h0, 1) - base;
    return e;
}

} // namespace vk::test
