// Compressed single files: one file packed with the archive's chunk
// compressor in a small container that carries the unpacked length and a
// CRC32 of the unpacked data.
//
//   0  u16  magic 0xF4F4
//   2  u32  length of the unpacked file
//   6  u32  CRC32 of the unpacked file, started from 0
//   10      chunks to the end: u16 packed length C, u16 unpacked length N
//           (1..32768; every chunk but the last holds 32768), C packed bytes
#pragma once

#include <cstdint>

namespace vk {

constexpr uint16_t kZipFileMagic = 0xF4F4;
constexpr uint32_t kZipFileHeaderSize = 10;

// Packs `source` (any name of the file layer) into the host file
// `container`. Returns 0, or -1 when the source cannot be opened or read
// completely, or a write fails.
int ZipFile(const char* source, const char* container);

// Unpacks `container` into `destination` (both names of the file layer).
// Returns 0; 1 when the container is damaged or cannot be read, or the
// destination cannot be written; -1 when the container cannot be opened.
int UnzipFile(const char* container, const char* destination);

} // namespace vk
