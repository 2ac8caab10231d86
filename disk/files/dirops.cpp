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
bool ReadWholeDir(FsEntry* directory, std::deque<FsEntry>& entries) {
    const FsHandler* handler = fsstate->handler;
    if (!handler->OpenDir || !handler->NextDirEntry || !handler->CloseDir) return false;
    FsEntry copy{};
    FsEntry* dirArg = nullptr;
    if (directory) {
        CopyEntry(copy, *directory);
        dirArg = &copy;
    }
    FsDirHandle* handle = nullptr;
    if (handler->OpenDir(dirArg, &handle) != 0) return false;
    FsEntry entry{};
    while (handler->NextDirEntry(handle, &entry) == 0) {
        entries.emplace_back();
        CopyEntry(entries.back(), entry);
        if (handler->GetFileInfo) handler->GetFileInfo(&entries.back());
    }
    handler->CloseDir(handle);
    return true;
}

// Resolves a name to a directory: the root of the partition (empty path) or
// a found directory entry.
bool ResolveDir(const ParsedName& parsed, DirRef& target) {
    DirRef dir;
    std::string last;
    if (!GetDir(parsed.source, parsed.path, dir, last)) return false;
    if (last.empty()) {
        target = DirRef{};
        target.root = dir.root;
        if (!dir.root) CopyEntry(target.entry, dir.entry);
        return true;
    }
    FsEntry entry{};
    if (!FindFile(parsed.source, dir, last, entry) || entry.kind != kKindDir) return false;
    target.root = false;
    CopyEntry(target.entry, entry);
    return true;
}

Status EmptyDir(FsEntry* directory) {
    std::deque<FsEntry> entries;
    if (!ReadWholeDir(directory, entries)) return 1;
    const FsHandler* handler = fsstate->handler;
    for (FsEntry& entry : entries) {
        MonitorESC();
        if (entry.kind == kKindDir) {
            if (EmptyDir(&entry) != 0) return 1;
            if (!handler->RemoveDir || handler->RemoveDir(&entry) != 0) return 1;
        } else {
            if (!handler->RemoveFile || handler->RemoveFile(&entry) != 0) return 1;
        }
    }
    return 0;
}

void LogTreeLevel(FsEntry* directory, int depth, Status& result) {
    std::deque<FsEntry> entries;
    if (!ReadWholeDir(directory, entries)) {
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
        LogTreeLevel(&entry, depth + 1, result);
    }
}

} // namespace

Status DeleteFILE(const char* name) {
    KeepFsState keep;
    ParsedName parsed = GetSource(name);
    // Nothing to delete on a partition that cannot be selected; a malformed
    // name is a failure.
    if (parsed.source == Source::Fail) return parsed.unselectable ? 0 : 1;
    if (parsed.source == Source::Remote) {
        Log("WARNING : Deletion not supported on remote files\r\n");
        return 0;
    }
    DirRef dir;
    std::string last;
    FsEntry entry{};
    if (!GetDir(parsed.source, parsed.path, dir, last) ||
        !FindFile(parsed.source, dir, last, entry) || entry.kind != kKindFile)
        return 1;
    const FsHandler* handler = fsstate->handler;
    return handler->RemoveFile && handler->RemoveFile(&entry) == 0 ? 0 : 1;
}

Status CreateDIR(const char* name) {
    KeepFsState keep;
    ParsedName parsed = GetSource(name);
    if (parsed.source == Source::Remote) {
        Log("ERROR : Remote directory creation is not supported\r\n");
        return 1;
    }
    if (parsed.source == Source::Fail) return 1;
    const FsHandler* handler = fsstate->handler;
    DirRef dir;
    std::string path;
    GetDir(parsed.source, "", dir, path); // the starting directory
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
        if (FindFile(parsed.source, dir, component, next)) {
            if (next.kind != kKindDir) return 1;
        } else {
            FsDirHandle* handle = nullptr;
            if (component == "." || component == ".." || !handler->OpenDir || !handler->CreateDir ||
                handler->OpenDir(dir.get(), &handle) != 0)
                return 1;
            Status made = handler->CreateDir(handle, component.c_str(), nullptr, &next);
            handler->CloseDir(handle);
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
    KeepFsState keep;
    ParsedName parsed = GetSource(name);
    if (parsed.source == Source::Fail) return parsed.unselectable ? 0 : 1;
    if (parsed.source == Source::Remote) {
        Log("ERROR : Cannot scan remote directories\r\n");
        return 1;
    }
    DirRef target;
    if (!ResolveDir(parsed, target)) return 1;
    if (parsed.source == Source::Host && (target.root || IsHostRoot(target.entry.path))) {
        // Never empty the host's whole file system.
        Log("ERROR : Cannot delete the host root directory\r\n");
        return 1;
    }
    if (EmptyDir(target.get()) != 0) return 1;
    if (target.root) return 0; // a partition root stays
    const FsHandler* handler = fsstate->handler;
    return handler->RemoveDir && handler->RemoveDir(&target.entry) == 0 ? 0 : 1;
}

Status LogDIR(const char* path) {
    KeepFsState keep;
    ParsedName parsed = GetSource(path);
    if (parsed.source == Source::Remote) {
        Log("ERROR : Cannot scan remote directories\r\n");
        return 1;
    }
    if (parsed.source == Source::Fail) return 1;
    DirRef dir;
    std::string last;
    if (!GetDir(parsed.source, parsed.path, dir, last)) return 1;
    std::string pattern = last.empty() ? "*" : last;
    FsEntry named{};
    if (!last.empty() && FindFile(parsed.source, dir, last, named) && named.kind == kKindDir) {
        dir.root = false;
        CopyEntry(dir.entry, named);
        pattern = "*";
    }
    std::deque<FsEntry> entries;
    if (!ReadWholeDir(dir.get(), entries)) return 1;
    int flags = (fsstate->handler->flags & kFsCaseInsensitive) ? kMatchIgnoreCase : 0;
    std::vector<char> patternText(pattern.begin(), pattern.end());
    patternText.push_back('\0');
    for (FsEntry& entry : entries) {
        MonitorESC();
        const char* entryName = entry.name ? entry.name : "";
        if (!MatchExpr(entryName, patternText.data(), flags)) continue;
        std::string line = entryName;
        if (line.size() < 33) line.append(33 - line.size(), ' ');
        char column[16];
        if (entry.kind == kKindDir)
            std::snprintf(column, sizeof column, "    <DIR>");
        else
            std::snprintf(column, sizeof column, "%9u", unsigned(entry.size));
        line += column;
        line += "\r\n";
        Log(line.c_str());
    }
    return 0;
}

Status LogTREE(const char* name) {
    KeepFsState keep;
    ParsedName parsed = GetSource(name);
    if (parsed.source == Source::Remote) {
        Log("ERROR : Cannot scan remote directories\r\n");
        return 1;
    }
    if (parsed.source == Source::Fail) return 1;
    DirRef target;
    if (!ResolveDir(parsed, target)) return 1;
    Status result = 0;
    LogTreeLevel(target.get(), 0, result);
    return result;
}

} // namespace vk
