// Feeds random sectors to the GUID partition table reader: the input sets
// the disk's size and the contents of its first and last sectors (where
// both headers and arrays lie). A table that reads must build again into
// sectors that stay inside the disk and read back to the same entries.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "disk/gpt.h"

using namespace vk::gpt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint64_t sectors = 6 + (uint64_t(data[0]) | uint64_t(data[1]) << 8) % 4096;
    data += 2;
    size -= 2;
    std::vector<uint8_t> disk(sectors * kSector);
    // The first half of the input from sector 0 on, the rest ending at the
    // last sector.
    size_t head = std::min(size / 2, disk.size());
    std::memcpy(disk.data(), data, head);
    size_t tail = std::min(size - head, disk.size());
    std::memcpy(disk.data() + disk.size() - tail, data + head, tail);
    auto reader = [&](uint64_t lba, uint32_t count, uint8_t* out) {
        if (lba > sectors || count > sectors - lba) return false;
        std::memcpy(out, disk.data() + lba * kSector, size_t(count) * kSector);
        return true;
    };
    std::string why;
    auto table = ReadTable(reader, sectors, &why);
    if (!table) return 0;
    for (const SectorRun& run : BuildTable(table->header, table->entries, sectors)) {
        if (run.lba > sectors || run.bytes.size() / kSector > sectors - run.lba) __builtin_trap();
        std::memcpy(disk.data() + run.lba * kSector, run.bytes.data(), run.bytes.size());
    }
    auto again = ReadTable(reader, sectors, &why);
    if (!again || again->entries.size() != table->entries.size()) __builtin_trap();
    for (size_t i = 0; i < again->entries.size(); ++i)
        if (again->entries[i].first != table->entries[i].first ||
            again->entries[i].last != table->entries[i].last)
            __builtin_trap();
    return 0;
}
