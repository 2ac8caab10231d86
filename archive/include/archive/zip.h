// The chunk compressor: a single-pass byte predictor. Every byte is either
// the one the table expects after the two bytes before it (one flag bit) or
// stored as a literal (one flag bit plus its complement). The table and the
// 16-bit context are the whole compression state and are carried from chunk
// to chunk, so chunks unpack only in the order in which they were packed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

constexpr uint32_t kZipTableSize = 65536;
// Largest chunk of the archives and containers, and its worst packed size
// (one flag byte per started group of eight).
constexpr uint32_t kZipChunk = 32768;
constexpr uint32_t kZipChunkPacked = kZipChunk + kZipChunk / 8;

// Space ZipData needs in its output for n input bytes.
constexpr uint32_t ZipBound(uint32_t n) {
    return n + (n + 7) / 8;
}

// Fills the table: entry c predicts that the last byte (c & 0xFF) repeats.
void InitZipTable(uint8_t* table);

// Packs n bytes of src into dst (ZipBound(n) bytes), updating the context
// and the table; returns the packed length.
uint16_t ZipData(const uint8_t* src, uint8_t* dst, uint16_t n, uint16_t* context, uint8_t* table);

// Unpacks exactly n bytes into dst, updating the context and the table.
// The packed length is implied by n and the flag bits; srcLength bounds the
// bytes it may read. Returns the number of packed bytes consumed, or -1 when
// src ends before n bytes were produced; the output and state are then
// undefined.
int32_t UnzipData(const uint8_t* src, size_t srcLength, uint8_t* dst, uint16_t n, uint16_t* context,
                  uint8_t* table);

} // namespace vk
