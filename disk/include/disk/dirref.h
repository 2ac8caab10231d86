// Directories of any file system the file layer reaches, held as a place to
// come back to: the partition (or host) state and the directory's entry.
// The archive's directory-level adapters walk trees through these.
#pragma once

#include <cstddef>

#include "disk/fsdriver.h"
#include "platform/types.h"

namespace vk {

struct FsDirRef {
    FsState* state = nullptr; // where the directory lies
    bool root = true;         // the file system's root: no entry
    FsEntry entry{};          // otherwise the directory's own entry
    FsEntry* get() { return root ? nullptr : &entry; }
};

// Resolves a name in the file layer's syntax up to its last "/": selects
// the partition (or the host tree), walks the directories before the last
// component and returns that component in last (lastSize bytes with its
// NUL). Fails for remote names, missing directories and a last component
// that does not fit.
Status GetDirRef(const char* path, FsDirRef* dir, char* last, size_t lastSize);

// Looks name up in dir with the directory's own case rule; the entry found
// is completed with the driver's GetFileInfo. Host directories also accept
// "." and "..".
Status FindDirEntry(FsDirRef* dir, const char* name, FsEntry* found);

} // namespace vk
