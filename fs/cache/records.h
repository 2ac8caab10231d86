// On-disk records of the cache partition: the 512-byte directory entry (one
// per sector, sectors 0 to 511, sector 512 a zero end sector) and the
// 32768-byte data chunk (64 sectors). Every field is read and written
// through ld32/st32 at these offsets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

namespace cachedir {
constexpr size_t kEntrySize = 512;
constexpr size_t kName = 0; // 256 bytes: at most 255 characters, zero-filled
constexpr size_t kNameSize = 256;
constexpr size_t kFirstSector = 256;  // u32: first sector of the data
constexpr size_t kReserved = 260;     // u32: sectors reserved (0 until first closed)
constexpr size_t kSize = 264;         // u32: file size in bytes
constexpr size_t kLastChunkCrc = 268; // u32: CRC of the last data chunk
constexpr size_t kZero = 272;         // 228 zero bytes
constexpr size_t kMagic = 500;        // u32: kMagicValue
constexpr size_t kCrc = 504;          // u32: CRC32 of bytes 0..503 (minus 1 while writing)
constexpr size_t kChain = 508;        // u32: the kCrc value of the previous entry (0 for entry 0)
constexpr size_t kCrcCovered = 504;   // bytes covered by kCrc
constexpr uint32_t kMagicValue = 0x48730A43;
constexpr uint32_t kEntries = 512;   // entries 0..511
constexpr uint32_t kEndSector = 512; // zero sector ending a full directory
constexpr uint32_t kDataStart = 513; // first data sector
constexpr uint32_t kReadBatch = 32;  // entries read at a time
constexpr uint32_t kShiftBatch = 33; // sectors moved at a time by a removal
static_assert(kMagic + 4 == kCrc && kCrc + 4 == kChain && kChain + 4 == kEntrySize);
} // namespace cachedir

namespace cachechunk {
constexpr uint32_t kSectors = 64;
constexpr uint32_t kBytes = 32768;
constexpr uint32_t kData = 32760;      // file bytes per chunk
constexpr size_t kPreviousCrc = 32760; // u32: CRC of the previous chunk (0 for the first)
constexpr size_t kOwnCrc = 32764;      // u32: CRC32 of bytes 0..32763
static_assert(kOwnCrc + 4 == kBytes && kSectors * 512 == kBytes);
} // namespace cachechunk

} // namespace vk
