// The swap pseudo file system: its only operation is Clean, which writes a
// Linux swap header (version 0 or 1) at the start of the partition. A swap
// partition is never valid for browsing.
#pragma once

#include <cstdint>

#include "disk/fsdriver.h"
#include "platform/types.h"

namespace vk {

extern const FsHandler SWAPHandler;
// Registration: type 0x82.
extern const FsDriver SWAPDriver;

constexpr uint32_t kSwapPage = 4096;
constexpr uint32_t kSwapMinLastPage = 10;     // smaller areas are refused
constexpr uint32_t kSwapVersion1From = 32688; // last page index from which v1 is written

// Header fields (byte offsets in the first page).
namespace swaphdr {
constexpr size_t kVersion = 1024;  // u32: 1 (version 1 only)
constexpr size_t kLastPage = 1028; // u32 (version 1 only)
constexpr size_t kBadPages = 1032; // u32 (version 1 only)
constexpr size_t kMagic = 4086;    // 10 bytes: "SWAP-SPACE" (v0) or "SWAPSPACE2" (v1)
} // namespace swaphdr

// Builds the header for a partition of `sizeSectors` sectors into `page`
// (kSwapPage bytes). Returns the version written (0 or 1), or -1 when the
// partition is too small for a swap area.
int BuildSwapHeader(uint64_t sizeSectors, uint8_t* page);

} // namespace vk
