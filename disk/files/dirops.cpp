// Whole-name directory operations of the file layer: delete, make directory,
// delete tree, directory listing and tree listing.
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "disk/files.h"
#include "files_internal.h"
#include "platform/console.h"
#include "platform/hostfile.h"
#include "platform/util.h"

namespace vk {

using namespace files;

namespace {

// Reads a whole directory: entries are collected first so that the caller
// may change the directory (remove entries) while working through them. A
// deque keeps each entry in place, so its name pointer stays valid.
bool ReadWholeDir(FsState& part, FsEntry* directory, std::deque<FsEntry>& entries) {
    const FsHandler* handler = part.handler;
    if (!handler->OpenDir || !handler->NextDirEntry || !handler->CloseDir) return false;
    FsEntry copy{};
    FsEntry* dirArg = nullptr;
    if (directory) {
        CopyEntry(copy, *directory);
        dirArg = &copy;
    }
    FsDirHandle* handle = nullptr;
    if (handler->OpenDir(part, dirArg, &handle) != 0) return false;
    FsEntry entry{};
    while (handler->NextDirEntry(part, handle, &entry) == 0) {
        entries.emplace_back();
        CopyEntry(entries.back(), entry);
        if (handler->GetFileInfo) handler->GetFileInfo(part, &entries.back());
    }
    handler->CloseDir(part, handle);
    return true;
}

// Resolves a name to a directory: the root of the partition (empty path) or
// a found directory entry.
bool ResolveDir(const ParsedName& parsed, DirRef& target) {
    DirRef dir;
    std::string last;
    if (!GetDir(*parsed.state, parsed.source, parsed.path, dir, last)) return false;
    if (last.empty()) {
        target = DirRef{};
        target.root = dir.root;
        if (!dir.root) CopyEntry(target.entry, dir.entry);
        return true;
    }
    FsEntry entry{};
    if (!FindFile(*parsed.state, parsed.source, dir, last, entry) || entry.kind != kKindDir)
        return false;
    target.root = false;
    CopyEntry(target.entry, entry);
    return true;
}

Status EmptyDir(FsState& part, FsEntry* directory) {
    std::deque<FsEntry> entries;
    if (!ReadWholeDir(part, directory, entries)) return 1;
    const FsHandler* handler = part.handler;
    for (FsEntry& entry : entries) {
        MonitorESC();
        if (entry.kind == kKindDir) {
            if (EmptyDir(part, &entry) != 0) return 1;
            if (!handler->RemoveDir || handler->RemoveDir(part, &entry) != 0) return 1;
        } else {
            if (!handler->RemoveFile || handler->RemoveFile(part, &entry) != 0) return 1;
        }
    }
    return 0;
}

void LogTreeLevel(FsState& part, FsEntry* directory, int depth, Status& result) {
    std::deque<FsEntry> entries;
    if (!ReadWholeDir(part, directory, entries)) {
        if (depth == 0) result = 1;
        return;
    }
    for (FsEntry& entry : entries) {
        MonitorESC();
        if (entry.kind != kKindDir) continue;
        std::string line;
        for (int i = 0; i < depth; ++i)
            line += "| ";
        line += "+-";
        line += entry.name ? entry.name : "";
        line += "\r\n";
        Log(line.c_str());
        LogTreeLevel(part, &entry, depth + 1, result);
    }
}

} // namespace

bool files::FindNamedFile(const ParsedName& parsed, FsEntry& entry) {
    DirRef dir;
    std::string last;
    return GetDir(*parsed.state, parsed.source, parsed.path, dir, last) &&
           FindFile(*parsed.state, parsed.source, dir, last, entry) && entry.kind == kKindFile;
}

Status DeleteFILE(const char* name) {
    ParsedName parsed = GetSource(name);
    // Nothing to delete on a partition that cannot be selected; a malformed
    // name is a failure.
    if (parsed.source == Source::Fail) return parsed.unselectable ? 0 : 1;
    if (parsed.source == Source::Remote) {
        Log("WARNING : Deletion not supported on remote files\r\n");
        return 0;
    }
    FsState& part = *parsed.state;
    FsEntry entry{};
    if (!FindNamedFile(parsed, entry)) return 1;
    const FsHandler* handler = part.handler;
    return handler->RemoveFile && handler->RemoveFile(part, &entry) == 0 ? 0 : 1;
}

Status CreateDIR(const char* name) {
    ParsedName parsed = GetSource(name);
    if (parsed.source == Source::Remote) {
        Log("ERROR : Remote directory creation is not supported\r\n");
        return 1;
    }
    if (parsed.source == Source::Fail) return 1;
    FsState& part = *parsed.state;
    const FsHandler* handler = part.handler;
    DirRef dir;
    std::string path;
    GetDir(part, parsed.source, "", dir, path); // the starting directory
    size_t pos = 0;
    if (!parsed.path.empty() && parsed.path[0] == '/') {
        dir = DirRef{}; // the root
        pos = 1;
    }
    while (pos <= parsed.path.size()) {
        size_t slash = parsed.path.find('/', pos);
        if (slash == std::string::npos) slash = parsed.path.size();
        std::string component = parsed.path.substr(pos, slash - pos);
        pos = slash + 1;
        if (component.empty()) continue; // "a//b" and a trailing "/"
        FsEntry next{};
        if (FindFile(part, parsed.source, dir, component, next)) {
            if (next.kind != kKindDir) return 1;
        } else {
            FsDirHandle* handle = nullptr;
            if (component == "." || component == ".." || !handler->OpenDir || !handler->CreateDir ||
                handler->OpenDir(part, dir.get(), &handle) != 0)
                return 1;
            Status made = handler->CreateDir(part, handle, component.c_str(), nullptr, &next);
            handler->CloseDir(part, handle);
            if (made != 0) return 1;
        }
        dir.root = false;
        CopyEntry(dir.entry, next);
    }
    // A name without components is the root or the starting directory,
    // which exists.
    return 0;
}

Status DelTREE(const char* name) {
    ParsedName parsed = GetSource(name);
    if (parsed.source == Source::Fail) return parsed.unselectable ? 0 : 1;
    if (parsed.source == Source::Remote) {
        Log("ERROR : Cannot scan remote directories\r\n");
        return 1;
    }
    FsState& part = *parsed.state;
    DirRef target;
    if (!ResolveDir(parsed, target)) return 1;
    if (parsed.source == Source::Host && (target.root || IsHostRoot(target.entry.path))) {
        // Never empty the host's whole file system.
        Log("ERROR : Cannot delete the host root directory\r\n");
        return 1;
    }
    if (EmptyDir(part, target.get()) != 0) return 1;
    if (target.root) return 0; // a partition root stays
    const FsHandler* handler = part.handler;
    return handler->RemoveDir && handler->RemoveDir(part, &target.entry) == 0 ? 0 : 1;
}

Status LogDIR(const char* path) {
    ParsedName parsed = GetSource(path);
    if (parsed.source == Source::Remote) {
        Log("ERROR : Cannot scan remote directories\r\n");
        return 1;
    }
    if (parsed.source == Source::Fail) return 1;
    FsState& part = *parsed.state;
    DirRef dir;
    std::string last;
    if (!GetDir(part, parsed.source, parsed.path, dir, last)) return 1;
    std::string pattern = last.empty() ? "*" : last;
    FsEntry named{};
    if (!last.empty() && FindFile(part, parsed.source, dir, last, named) &&
        named.kind == kKindDir) {
        dir.root = false;
        CopyEntry(dir.entry, named);
        pattern = "*";
    }
    std::deque<FsEntry> entries;
    if (!ReadWholeDir(part, dir.get(), entries)) return 1;
    int flags = (part.handler->flags & kFsCaseInsensitive) ? kMatchIgnoreCase : 0;
    std::vector<char> patternText(pattern.begin(), pattern.end());
    patternText.push_back('\0');
    for (FsEntry& entry : entries) {
        MonitorESC();
        const char* entryName = entry.name ? entry.name : "";
        if (!MatchExpr(entryName, patternText.data(), flags)) continue;
        std::string line = entryName;
        if (line.size() < 33) line.append(33 - line.size(), ' ');
        char column[24];
        if (entry.kind == kKindDir)
            std::snprintf(column, sizeof column, "    <DIR>");
        else
            std::snprintf(column, sizeof column, "%9llu",
                          static_cast<unsigned long long>(entry.size));
        line += column;
        line += "\r\n";
        Log(line.c_str());
    }
    return 0;
}

Status LogTREE(const char* name) {
    ParsedName parsed = GetSource(name);
    if (parsed.source == Source::Remote) {
        Log("ERROR : Cannot scan remote directories\r\n");
        return 1;
    }
    if (parsed.source == Source::Fail) return 1;
    FsState& part = *parsed.state;
    DirRef target;
    if (!ResolveDir(parsed, target)) return 1;
    Status result = 0;
    LogTreeLevel(part, target.get(), 0, result);
    return result;
}

} // namespace vk
