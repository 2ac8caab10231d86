// Fuzz target: the volume table of NTFS archives. Any input either is
// refused with a reason or loads into descriptors and record items that
// all lie inside it; a loaded table, written again by the builder, loads
// to the same contents. Names from the input go through the UTF-8 and
// UTF-16 conversions and come back as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fs/ntfs_table.h"

using vk::NtfsTable;
using vk::NtfsTableBuilder;

namespace {

void Inside(const uint8_t* p, size_t n, const std::vector<uint8_t>& input) {
    if (p < input.data() || n > input.size() || p + n > input.data() + input.size()) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Its own copy, so that reads beyond the input show.
    std::vector<uint8_t> input(data, data + size);

    // Names: what converts one way converts back.
    std::u16string units;
    if (vk::NtfsUtf8ToUtf16(reinterpret_cast<const char*>(input.data()), input.size(), units)) {
        std::string again;
        if (!vk::NtfsUtf16ToUtf8(units.data(), units.size(), again) ||
            again != std::string(input.begin(), input.end()))
            std::abort();
    }

    NtfsTable table;
    const char* why = nullptr;
    if (!table.Load(input.data(), input.size(), &why)) {
        if (why == nullptr) std::abort();
        return 0;
    }
    NtfsTableBuilder builder;
    builder.SetVolume(table.Volume());
    for (uint32_t i = 0; i < table.Descriptors(); ++i) {
        uint32_t length = 0;
        const uint8_t* d = table.Descriptor(i, &length);
        if (d == nullptr) std::abort();
        Inside(d, length, input);
        builder.AddDescriptor(d, length);
    }
    size_t items = 0;
    for (uint64_t record : table.RecordNumbers()) {
        const bool whole = table.ForEach(record, [&](uint8_t type, const uint8_t* p, size_t n) {
            Inside(p, n, input);
            if (!builder.AddItem(record, type, p, n)) std::abort();
            ++items;
            return true;
        });
        if (!whole) std::abort();
    }
    const std::vector<uint8_t> again = builder.Finish(8192);
    NtfsTable reloaded;
    if (!reloaded.Load(again.data(), again.size(), &why)) std::abort();
    // Equal descriptors are stored once by the builder.
    if (reloaded.Records() != table.Records() || reloaded.Descriptors() > table.Descriptors() ||
        reloaded.Volume().serial != table.Volume().serial ||
        reloaded.Volume().label != table.Volume().label)
        std::abort();
    size_t reloadedItems = 0;
    for (uint64_t record : reloaded.RecordNumbers())
        reloaded.ForEach(record, [&](uint8_t, const uint8_t*, size_t) {
            ++reloadedItems;
            return true;
        });
    if (reloadedItems != items) std::abort();
    return 0;
}
