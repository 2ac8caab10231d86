// Unpacks arbitrary bytes as a chunk of arbitrary length; then packs the
// input and checks that it unpacks to itself from the same state.
#include <cstring>
#include <vector>

#include "archive/zip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vk;
    if (size < 2) return 0;
    uint16_t n = uint16_t((data[0] | (data[1] << 8)) % (kZipChunk + 1));
    data += 2;
    size -= 2;
    static std::vector<uint8_t> table(kZipTableSize), table2(kZipTableSize);
    InitZipTable(table.data());
    std::vector<uint8_t> out(n);
    uint16_t ctx = 0;
    UnzipData(data, size, out.data(), n, &ctx, table.data());

    // Round trip of the input itself, continuing from the state just left.
    uint32_t len = size > kZipChunk ? kZipChunk : uint32_t(size);
    std::memcpy(table2.data(), table.data(), kZipTableSize);
    uint16_t ctx2 = ctx;
    std::vector<uint8_t> packed(ZipBound(len));
    uint16_t plen = ZipData(data, packed.data(), uint16_t(len), &ctx, table.data());
    std::vector<uint8_t> back(len);
    if (UnzipData(packed.data(), plen, back.data(), uint16_t(len), &ctx2, table2.data()) !=
            int32_t(plen) ||
        (len > 0 && std::memcmp(back.data(), data, len) != 0) || ctx != ctx2)
        __builtin_trap();
    return 0;
}
