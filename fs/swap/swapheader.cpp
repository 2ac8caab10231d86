// Linux swap headers, version 0 (bitmap of usable pages) and version 1.
#include <algorithm>
#include <cstring>

#include "fs/swap.h"

namespace vk {

int BuildSwapHeader(uint64_t sizeSectors, uint8_t* page) {
    const uint32_t sectorsPerPage = kSwapPage / 512;
    if (sizeSectors / sectorsPerPage <= kSwapMinLastPage) return -1;
    // The index of the last page; the header counts pages in 32 bits, so a
    // partition beyond 16 TiB gives a swap area of its first 16 TiB.
    const uint32_t last =
        uint32_t(std::min<uint64_t>(sizeSectors / sectorsPerPage - 1, UINT32_MAX));
    memset(page, 0, kSwapPage);
    if (last >= kSwapVersion1From) {
        st32(page + swaphdr::kVersion, 1);
        st32(page + swaphdr::kLastPage, last);
        st32(page + swaphdr::kBadPages, 0);
        memcpy(page + swaphdr::kMagic, "SWAPSPACE2", 10);
        return 1;
    }
    // Page 0 holds the header; pages 1 to last are usable.
    for (uint32_t i = 1; i <= last; ++i)
        page[i / 8] |= uint8_t(1u << (i % 8));
    memcpy(page + swaphdr::kMagic, "SWAP-SPACE", 10);
    return 0;
}

} // namespace vk
