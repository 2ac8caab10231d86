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
#include "memory_fragment.h"
#include "partition_disk.h"
#include "platform/settings.h"

using namespace vk;
using namespace vk::fuzz;

namespace {

constexpr uint32_t kCylinders = 8;

const char* Setting(const char*) {
    return "";
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
    StartDrivers({EXT2Driver});
    SetFragment(data, size);
    auto disk = PartitionedDisk(kCylinders, 0x83);
    MemoryDisk* image = disk.get();
    AddDiskDevice(std::move(disk));
    const std::vector<uint8_t> mbr = image->Sector(0);
    FsState* target = SelectPart(0x80, 1);
    if (target && target->handler == &EXT2Handler) {
        auto archive = std::make_unique<IArchive>();
        if (OpenArchive("m.000", archive.get()) == 0) EXT2Handler.FullUnzip(*target, archive.get());
        AbandonArchive(archive.get());
        FlushParts();
    }
    if (image->Sector(0) != mbr) abort();
    return 0;
}
