// Feeds random partition tables to the partition layer: the input is a
// sparse disk of 64 cylinders given as (sector index, 512 bytes) records;
// GUID partition tables reach the selection through the same records.
// Every partition number is selected, every table read and written back,
// and the active partition looked for and set; all of it must end, stay
// inside the disk and never crash.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "fs/mbr.h"
#include "fs/swap.h"
#include "platform/console.h"

using namespace vk;

namespace {

constexpr uint32_t kCylinders = 64;
constexpr uint64_t kSectors = uint64_t(kCylinders) * 64 * 63;
uint8_t capture[kCaptureSize];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    FlushParts();
    ResetDisks();
    RegisterFsDriver(MBRDriver);
    RegisterFsDriver(SWAPDriver);
    InitFsHandlers();
    LogFileBuff = capture;
    LogFileAvail = 0;
    AllowDiskWrite = 1;
    LBAMode = data[0] & 1;
    const bool writeTables = data[0] & 2;
    // Sectors by number (from the end for hints of 0x8000 and up), where
    // a GUID partition table's headers and arrays lie.
    const bool exactSectors = data[0] & 4;
    ++data;
    --size;

    auto disk = std::make_unique<MemoryDisk>(kSectors * 512);
    // Records: 2-byte sector hint (spread over the disk at table-like
    // positions), then up to 512 bytes.
    while (size >= 2) {
        uint32_t hint = uint32_t(data[0] | (data[1] << 8));
        uint64_t sector = (uint64_t(hint) * 63) % kSectors;
        if (exactSectors)
            sector = hint < 0x8000 ? hint % kSectors : kSectors - 1 - (hint - 0x8000) % kSectors;
        data += 2;
        size -= 2;
        uint8_t sect[512] = {};
        size_t n = size < 512 ? size : 512;
        memcpy(sect, data, n);
        disk->PutSector(sector, sect);
        data += n;
        size -= n;
    }
    AddDiskDevice(std::move(disk));

    uint8_t buffer[kChunkMax];
    for (int p = -1; p <= kMaxPartition; ++p) {
        if (FsState* selected = SelectPart(0x80, p)) {
            FsState& part = *selected;
            // Everything selected lies inside the disk, and every entry's
            // partition behind the master boot record.
            if (uint64_t(part.start) + part.sizeSectors > kSectors) __builtin_trap();
            if (p != 0 && part.start == 0) __builtin_trap();
            if (part.sizeSectors >= 1) ReadSects(part, 1, buffer);
            const FsHandler* h = part.handler;
            if (h == &MBRHandler) {
                FsDirHandle* dir = nullptr;
                if (h->OpenDir(part, nullptr, &dir) == 0) {
                    FsEntry e{};
                    while (h->NextDirEntry(part, dir, &e) == 0) {
                        uint64_t bytes = 0;
                        FsFileHandle* file = nullptr;
                        if (h->OpenFile(part, &e, &bytes, &file) == 0) {
                            while (h->ReadFileChunk(part, file, buffer) != 0) {
                            }
                            h->CloseFile(part, file);
                        }
                    }
                    h->CloseDir(part, dir);
                }
            }
        }
        PartInfo r[4];
        if (GetPartInfos(0x80, p, r) == 0 && writeTables) SetPartInfos(0x80, p, r);
        if (p % 8 == 0) FlushParts();
    }
    GetBootPart(0x80);
    SetBootPart(0x80, 9);
    GetBootPart(0x80);
    FlushParts();
    ResetDisks();
    LogFileBuff = nullptr;
    return 0;
}
