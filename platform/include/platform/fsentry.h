// The directory entry record that crosses the file-system driver interface.
// It lives here because the host-directory reader of the platform layer fills
// it as well as every driver.
#pragma once

#include <cstdint>

namespace vk {

// FsEntry::path, with its NUL: full paths of up to 1023 bytes. Archives
// name one component per entry and have no limit of their own; this bound is
// what every directory handle, open file, in-memory listing and restore stack
// pays per entry. 1023 bytes hold any Windows MAX_PATH path (260 UTF-16
// units, at most 780 bytes in UTF-8) and the deep trees of Linux systems
// (package trees, /usr/share) with room to spare, at about three times the
// old entry size; Linux's own 4096 would make each entry ten times larger
// (a listing of 100 000 entries near 430 MB). Longer paths are refused or
// skipped with a message, never cut.
constexpr int kPathMax = 1024;
constexpr int kAttrMax = 128; // largest packed attribute layout (ext4)

enum EntryKind : uint8_t { kKindFile = 1, kKindDir = 2 };

struct FsEntry {
    char path[kPathMax]; // directory path of the handle followed by the name
    char* name;          // where the entry name starts inside path
    uint8_t kind;        // kKindFile (any non-directory) or kKindDir
    uint8_t attributes[kAttrMax];
    uint32_t size;
    uint32_t start;
    uint32_t location1;
    uint32_t location2;
    uint32_t location3;
};

// Copies an entry whole, re-pointing `name` into the copy's own path.
void CopyEntry(FsEntry& dst, const FsEntry& src);

} // namespace vk
