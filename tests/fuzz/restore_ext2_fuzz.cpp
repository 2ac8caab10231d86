// Full restore onto ext2 from fuzzed archives: the input is one fragment
// file, held in memory behind the reader's file access table, restored onto
// the ext2 partition of an in-memory disk. Whatever it holds, the restore
// must end, stay within its buffers and never write outside its partition
// (the partition table in sector 0 stays as it was).
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "archive/reader.h"
#include "archive/reader_source.h"
#include "disk/disk.h"
#include "disk/partitions.h"
#include "fs/ext2.h"
#include "fs/mbr.h"
#include "memory_fragment.h"
#include "platform/console.h"
#include "platform/settings.h"

using namespace vk;
using namespace vk::fuzz;

namespace {

constexpr uint32_t kCylinders = 8;
constexpr uint64_t kSectors = uint64_t(kCylinders) * 64 * 63;
constexpr uint32_t kStart = 63;
uint8_t capture[kCaptureSize];

const char* Setting(const char*) {
    return "";
}

void PutTable(MemoryDisk* disk) {
    uint8_t sector[512] = {};
    uint8_t* e = sector + pte::kTableOffset;
    e[pte::kStartHead] = 1;
    st16(e + pte::kStartSectCyl, 1);
    e[pte::kType] = 0x83;
    e[pte::kEndHead] = 63;
    st16(e + pte::kEndSectCyl, uint16_t(63 | ((kCylinders - 1) << 8)));
    st32(e + pte::kStartLBA, kStart);
    st32(e + pte::kSizeLBA, uint32_t(kSectors - kStart));
    sector[510] = 0x55;
    sector[511] = 0xAA;
    disk->PutSector(0, sector);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = false;
    if (!started) {
        SetReadIOOps(&kMemoryFragmentOps);
        SetSettingReader(Setting);
        RegisterFullArchiveReader();
        started = true;
    }
    FlushParts();
    ResetDisks();
    SetFsHandler(FsKind::Mbr, &MBRHandler);
    SetFsHandler(FsKind::Ext2, &EXT2Handler);
    InitFsHandlers();
    LogFileBuff = capture;
    LogFileAvail = 0;
    AllowDiskWrite = 1;
    SetFragment(data, size);
    auto disk = std::make_unique<MemoryDisk>(kSectors * 512);
    PutTable(disk.get());
    MemoryDisk* image = disk.get();
    AddDiskDevice(std::move(disk));
    const std::vector<uint8_t> mbr = image->Sector(0);
    if (SelectPart(0x80, 1) == 0 && fsstate->handler == &EXT2Handler) {
        FsState* target = fsstate;
        auto archive = std::make_unique<IArchive>();
        if (OpenArchive("m.000", archive.get()) == 0) {
            fsstate = target;
            EXT2Handler.FullUnzip(archive.get());
        }
        AbandonArchive(archive.get());
        fsstate = target;
        FlushParts();
    }
    if (image->Sector(0) != mbr) abort();
    return 0;
}
