// The directory entry record that crosses the file-system driver interface.
// It lives here because the host-directory reader of the platform layer fills
// it as well as every driver.
#pragma once

#include <cstdint>

namespace vk {

constexpr int kPathMax = 256; // FsEntry::path, with its NUL
constexpr int kAttrMax = 128; // largest packed attribute layout (ext4)

enum EntryKind : uint8_t { kKindFile = 1, kKindDir = 2 };

struct FsEntry {
    char path[kPathMax]; // directory path of the handle followed by the name
    char* name;          // where the entry name starts inside path
    uint8_t kind;        // kKindFile (any non-directory) or kKindDir
    uint8_t attributes[kAttrMax];
    uint64_t size; // bytes; drivers whose archives carry only 32 bits refuse more
    uint32_t start;
    uint32_t location1;
    uint32_t location2;
    uint32_t location3;
};

// Copies an entry whole, re-pointing `name` into the copy's own path.
void CopyEntry(FsEntry& dst, const FsEntry& src);

} // namespace vk
