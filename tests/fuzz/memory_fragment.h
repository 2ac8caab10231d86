// One archive fragment file, "m.000", held in memory behind the reader's
// file access table, for the fuzz targets that read fuzz input as an archive.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/reader.h"

namespace vk::fuzz {

inline std::vector<uint8_t> fragment;
inline bool fragmentOpen = false;
inline size_t fragmentAt = 0;

inline Status MemOpen(const char* name, FileRecord* file, uint16_t) {
    if (std::strcmp(name, "m.000") != 0 || fragmentOpen) return 1;
    fragmentOpen = true;
    fragmentAt = 0;
    *file = FileRecord{};
    file->handle = reinterpret_cast<FsFileHandle*>(uintptr_t(1));
    file->size = uint32_t(fragment.size());
    return 0;
}

inline uint16_t MemRead(FileRecord*, uint8_t* buffer) {
    size_t n = fragment.size() - fragmentAt;
    if (n > kChunkMax) n = kChunkMax;
    if (n == 0) return 0;
    std::memcpy(buffer, fragment.data() + fragmentAt, n);
    fragmentAt += n;
    return uint16_t(n);
}

inline Status MemClose(FileRecord*) {
    fragmentOpen = false;
    return 0;
}

inline Status MemRemove(const char*) {
    return 0;
}
inline bool NotCached(const FileRecord*) {
    return false;
}

inline const ReadIOOps kMemoryFragmentOps = {MemOpen,   MemRead,   MemClose,
                                             MemRemove, NotCached, nullptr};

// Puts the next input in place as the fragment's bytes.
inline void SetFragment(const uint8_t* data, size_t size) {
    fragment.assign(data, data + size);
    fragmentOpen = false;
    fragmentAt = 0;
}

} // namespace vk::fuzz
