// Name parsing and directory walking shared by the file layer's files.
#pragma once

#include <cstdint>
#include <string>

#include "disk/files.h"

namespace vk::files {

enum class Source { Fail, Partition, Host, Remote };

// The routing chosen by the program.
extern HostRoute route;
extern const RemoteFileOps* remoteOps;
extern FsState* hostState;
extern const RemoteCacheOps* cacheOps;

// A parsed name: where it lies and the path after the partition prefix
// (for a host name, with "\" turned into "/").
struct ParsedName {
    Source source = Source::Fail;
    std::string path;
    // The partition (or the host directory state) a partition or host
    // name lies on; null otherwise.
    FsState* state = nullptr;
    // A well-formed partition path whose partition cannot be selected or
    // holds no valid file system (as opposed to a malformed name).
    bool unselectable = false;
};

// Classifies the name and, for a partition path, selects the partition
// (failing when it has no valid file system); a host name lies on the host
// directory state.
ParsedName GetSource(const char* name);

// A directory reached by the walk: the root (no entry) or an entry.
struct DirRef {
    bool root = true;
    FsEntry entry{};
    FsEntry* get() { return root ? nullptr : &entry; }
};

// Walks the directories of path up to its last "/"; the last component is
// returned in last. False when a component is missing or not a directory.
bool GetDir(FsState& part, Source source, const std::string& path, DirRef& dir, std::string& last);
// Looks name up in the directory; on success the entry is completed with
// GetFileInfo. Host names also accept "." and "..".
bool FindFile(FsState& part, Source source, DirRef& dir, const std::string& name, FsEntry& found);
// The regular file a parsed local name names, with GetDir and FindFile;
// false when a directory on the way or the file is missing, or it is not a
// regular file.
bool FindNamedFile(const ParsedName& parsed, FsEntry& entry);
// Case rule of the current driver.
bool SameName(const FsState& part, const char* a, const char* b);

void LogLine(const char* a, const char* b = nullptr, const char* c = nullptr);

} // namespace vk::files
