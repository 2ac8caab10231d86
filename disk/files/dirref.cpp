// Directory places for the archive's adapters, over the file layer's walk.
#include "disk/dirref.h"

#include <cstring>

#include "files_internal.h"

namespace vk {

using namespace files;

Status GetDirRef(const char* path, FsDirRef* dir, char* last, size_t lastSize) {
    ParsedName parsed = GetSource(path);
    if (parsed.source != Source::Partition && parsed.source != Source::Host) return 1;
    DirRef walked;
    std::string rest;
    if (!GetDir(*parsed.state, parsed.source, parsed.path, walked, rest)) return 1;
    if (rest.size() >= lastSize) return 1;
    std::memcpy(last, rest.c_str(), rest.size() + 1);
    *dir = FsDirRef{};
    dir->state = parsed.state;
    dir->root = walked.root;
    if (!walked.root) CopyEntry(dir->entry, walked.entry);
    return 0;
}

Status FindDirEntry(FsDirRef* dir, const char* name, FsEntry* found) {
    if (!dir->state || !dir->state->handler || !name) return 1;
    Source source = dir->state == hostState ? Source::Host : Source::Partition;
    DirRef at;
    at.root = dir->root;
    if (!dir->root) CopyEntry(at.entry, dir->entry);
    return FindFile(*dir->state, source, at, name, *found) ? 0 : 1;
}

} // namespace vk
