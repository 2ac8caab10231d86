// The file access layer: name parsing, the directory walk, and sequential
// open, create, read, write and close on a FileRecord.
#include "disk/files.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "disk/partitions.h"
#include "disk/remote_broken.h"
#include "files_internal.h"
#include "platform/console.h"
#include "platform/hostfile.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk {

uint8_t RemoteFileOpen = 0;

namespace files {

HostRoute route = HostRoute::HostDirectory;
const RemoteFileOps* remoteOps = nullptr;
FsState* hostState = nullptr;
const RemoteCacheOps* cacheOps = nullptr;
bool (*remoteBrokenOff)() = nullptr;

void LogLine(const char* a, const char* b, const char* c) {
    Log(a);
    if (b) Log(b);
    if (c) Log(c);
}

bool SameName(const FsState& part, const char* a, const char* b) {
    // Names as the volume stores them differ by their case too (an NTFS
    // directory may hold "Name" and "NAME").
    const uint8_t flags = part.handler ? part.handler->flags : 0;
    const bool exact = part.volumeNames && (flags & kFsVolumeNames);
    if ((flags & kFsCaseInsensitive) && !exact) return strcasecmp(a, b) == 0;
    return std::strcmp(a, b) == 0;
}

ParsedName GetSource(const char* name) {
    ParsedName parsed;
    if (!name || !*name) return parsed;
    if (name[0] != '{') {
        if (route == HostRoute::Remote) {
            if (!remoteOps) return parsed;
            parsed.source = Source::Remote;
            parsed.path = name;
            return parsed;
        }
        if (!hostState || !hostState->handler) return parsed;
        parsed.source = Source::Host;
        parsed.path = name;
        for (char& c : parsed.path)
            if (c == '\\') c = '/';
        parsed.state = hostState;
        return parsed;
    }
    // "{" [disk digit] ":" partition "}" path
    const char* p = name + 1;
    int disk = 0;
    if (*p >= '0' && *p <= '9') disk = *p++ - '0';
    if (*p++ != ':') return parsed;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    int partition = 0, digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 4) return parsed; // no such partition
        partition = partition * 10 + (*p++ - '0');
    }
    if (digits == 0 || *p++ != '}') return parsed;
    if (negative) partition = -partition;
    parsed.unselectable = true;
    FsState* state = SelectPart(0x80 + disk, partition);
    if (!state || !state->handler || !state->valid) return parsed;
    parsed.state = state;
    parsed.unselectable = false;
    parsed.source = Source::Partition;
    parsed.path = p;
    return parsed;
}

namespace {

// The host's current directory: an entry with an empty path.
void CurrentHostDir(DirRef& dir) {
    dir.root = false;
    dir.entry = FsEntry{};
    dir.entry.name = dir.entry.path;
    dir.entry.kind = kKindDir;
}

// "." and ".." of a host directory, which the listing never shows.
bool HostDotEntry(DirRef& dir, const std::string& name, FsEntry& found) {
    const char* base = dir.root ? "/" : dir.entry.path;
    size_t length = std::strlen(base);
    bool slash = length == 0 || base[length - 1] == '/';
    if (length + 1 + name.size() >= size_t(kPathMax)) return false;
    FsEntry entry{};
    std::memcpy(entry.path, base, length);
    if (!slash) entry.path[length++] = '/';
    entry.name = entry.path + length;
    std::memcpy(entry.path + length, name.c_str(), name.size() + 1);
    entry.kind = kKindDir;
    CopyEntry(found, entry);
    return true;
}

// A name in a host directory, looked up directly instead of listing the
// directory (which costs a status query per entry, and so grows with the
// directory for every lookup). The directory's path is the one the host
// driver lists it under; a mount point lists as empty.
bool FindHostEntry(FsState& part, DirRef& dir, const std::string& name, FsEntry& found) {
    FsEntry entry{};
    if (dir.root) {
        std::strcpy(entry.path, "/");
    } else if (dir.entry.path[0] == '\0') {
        std::strcpy(entry.path, "./");
    } else {
        if (dir.entry.location1 == 1) return false;
        size_t length = strnlen(dir.entry.path, kPathMax);
        bool slash = dir.entry.path[length - 1] == '/';
        if (length + (slash ? 0 : 1) >= size_t(kPathMax)) return false;
        std::memcpy(entry.path, dir.entry.path, length);
        if (!slash) entry.path[length++] = '/';
        entry.path[length] = '\0';
    }
    if (StatDosEntry(&entry, name.c_str()) != 0) return false;
    CopyEntry(found, entry);
    const FsHandler* handler = part.handler;
    if (handler->GetFileInfo) handler->GetFileInfo(part, &found);
    // A name that reaches into a mount point means the mounted tree itself.
    if (found.kind == kKindDir) found.location1 = 0;
    return true;
}

} // namespace

bool FindFile(FsState& part, Source source, DirRef& dir, const std::string& name, FsEntry& found) {
    if (name.empty()) return false;
    if (source == Source::Host && (name == "." || name == ".."))
        return HostDotEntry(dir, name, found);
    const FsHandler* handler = part.handler;
    // The host directory driver (the only one with this identifier on the
    // host route) is asked by name.
    if (source == Source::Host && std::memcmp(handler->id, "EXT2", 4) == 0)
        return FindHostEntry(part, dir, name, found);
    if (!handler->OpenDir || !handler->NextDirEntry || !handler->CloseDir) return false;
    DirRef copy;
    copy.root = dir.root;
    if (!dir.root) CopyEntry(copy.entry, dir.entry);
    FsDirHandle* handle = nullptr;
    if (handler->OpenDir(part, copy.get(), &handle) != 0) return false;
    FsEntry entry{};
    bool match = false;
    while (handler->NextDirEntry(part, handle, &entry) == 0) {
        if (entry.name && SameName(part, entry.name, name.c_str())) {
            match = true;
            break;
        }
    }
    handler->CloseDir(part, handle);
    if (!match) return false;
    CopyEntry(found, entry);
    if (handler->GetFileInfo) handler->GetFileInfo(part, &found);
    // A host directory that is a mount point reads as empty only to scans
    // that must not leave their file system; a name that reaches into it
    // means the mounted tree itself.
    if (source == Source::Host && found.kind == kKindDir) found.location1 = 0;
    return true;
}

bool GetDir(FsState& part, Source source, const std::string& path, DirRef& dir, std::string& last) {
    size_t pos = 0;
    dir = DirRef{};
    if (source == Source::Host) {
        if (!path.empty() && path[0] == '/') {
            pos = 1; // the host root
        } else {
            CurrentHostDir(dir);
        }
    } else if (!path.empty() && path[0] == '/') {
        pos = 1;
    }
    for (;;) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) {
            last = path.substr(pos);
            return true;
        }
        std::string component = path.substr(pos, slash - pos);
        FsEntry next{};
        if (!FindFile(part, source, dir, component, next) || next.kind != kKindDir) return false;
        dir.root = false;
        CopyEntry(dir.entry, next);
        pos = slash + 1;
    }
}

} // namespace files

using namespace files;

void SetHostRoute(HostRoute newRoute, const RemoteFileOps* remote, FsState* state) {
    route = newRoute;
    remoteOps = remote;
    hostState = state;
}

bool RemoteNamesCrossTheNetwork() {
    return route == HostRoute::Remote && remoteOps != nullptr && remoteOps != &HostRemoteFileOps;
}

void SetRemoteCache(const RemoteCacheOps* ops) {
    cacheOps = ops;
}

void SetRemoteBrokenOff(bool (*query)()) {
    remoteBrokenOff = query;
}

namespace {

Status OpenRemote(const char* name, FileRecord* file, uint16_t flags) {
    if (RemoteFileOpen != 0) {
        Log("ERROR: [OpenFILE] a remote file is already open\r\n");
        return 1;
    }
    if ((flags & kOpenCacheAlways) && !SettingIsOn("CacheNever") && cacheOps &&
        cacheOps->CacheRemoteFile) {
        char cacheName[kPathMax] = {};
        uint32_t cachedSize = 0;
        int result = 0;
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (attempt > 0) Log("WARNING: Cannot copy remote file in cache. Retrying\r\n");
            result = cacheOps->CacheRemoteFile(name, cacheName, &cachedSize,
                                               (flags & kOpenRetry) ? 1 : 0);
            if (result != -2) break;
        }
        if (result != 0) FatalError("ERROR: Cannot cache remote file");
        cacheName[kPathMax - 1] = '\0';
        if (cacheName[0] != '{') {
            Log("ERROR: [OpenFILE] file is still remote\r\n");
            return 1;
        }
        return OpenFILE(cacheName, file, uint16_t(flags & ~kOpenCacheAlways));
    }
    uint8_t* gateway = nullptr;
    uint8_t* server = nullptr;
    uint16_t port = 0;
    const char* path = ParseRemoteFilename(name, &gateway, &server, &port);
    if (!path || remoteOps->Open(path, gateway, server, port) != 0) {
        Log("ERROR: [OpenFILE] cannot open remote file\r\n");
        return 1;
    }
    *file = FileRecord{};
    file->remote = 1;
    file->size = file->remaining = 0xFFFFFFFF;
    std::strncpy(file->entry.path, name, kPathMax - 1);
    file->entry.name = file->entry.path;
    file->entry.kind = kKindFile;
    RemoteFileOpen = 1;
    return 0;
}

} // namespace

namespace {

TargetFate targetFate = TargetFate::None;

// Removes the target of a failed write and records what became of it. With
// oldSize given, an existing file whose size is still oldSize was not
// touched and is kept.
void RemoveTarget(const char* name, bool existed, const uint64_t* oldSize) {
    ParsedName parsed = GetSource(name);
    if (parsed.source == Source::Fail || parsed.source == Source::Remote) return;
    FsState& part = *parsed.state;
    FsEntry entry{};
    if (!FindNamedFile(parsed, entry)) return;
    if (existed && oldSize && entry.size == *oldSize) {
        LogLine("WARNING: ", name, " keeps its old content\r\n");
        targetFate = TargetFate::OldKept;
        return;
    }
    const FsHandler* handler = part.handler;
    if (!handler->RemoveFile || handler->RemoveFile(part, &entry) != 0) {
        LogLine("ERROR: Cannot remove the partial file ", name, "\r\n");
        targetFate = TargetFate::Left;
        return;
    }
    if (existed) {
        LogLine("WARNING: ", name, " lost its old content and was removed\r\n");
        targetFate = TargetFate::OldRemoved;
    } else {
        LogLine("WARNING: The unfinished file ", name, " was removed\r\n");
        targetFate = TargetFate::Removed;
    }
}

// Opens a found or listed file entry on the partition and fills the
// record.
Status OpenEntry(FsState& part, const FsEntry& entry, FileRecord* file) {
    const FsHandler* handler = part.handler;
    FsEntry opened{};
    CopyEntry(opened, entry);
    uint64_t size = 0;
    FsFileHandle* handle = nullptr;
    if (opened.kind != kKindFile || !handler->OpenFile ||
        handler->OpenFile(part, &opened, &size, &handle) != 0) {
        LogLine("ERROR : [OpenFILE] Cannot open ", opened.path, "\r\n");
        return 1;
    }
    *file = FileRecord{};
    file->state = &part;
    file->handle = handle;
    file->size = file->remaining = size;
    CopyEntry(file->entry, opened);
    return 0;
}

} // namespace

Status OpenFILE(const char* name, FileRecord* file, uint16_t flags) {
    ParsedName parsed = GetSource(name);
    if (parsed.source == Source::Remote) return OpenRemote(name, file, flags);
    DirRef dir;
    std::string last;
    FsEntry entry{};
    if (parsed.source == Source::Fail ||
        !GetDir(*parsed.state, parsed.source, parsed.path, dir, last) ||
        !FindFile(*parsed.state, parsed.source, dir, last, entry)) {
        Log("ERROR : [OpenFILE] File not found\r\n");
        return 1;
    }
    if (OpenEntry(*parsed.state, entry, file) != 0) return 1;
    // Script-level file operations count in 32 bits.
    if (file->size > UINT32_MAX) {
        Log("ERROR : [OpenFILE] File of 4 GB or more\r\n");
        CloseFILE(file);
        return 1;
    }
    if ((flags & kOpenReadAhead) && cacheOps && cacheOps->StartReadAhead &&
        cacheOps->StartReadAhead(file))
        file->readAhead = 1;
    return 0;
}

Status OpenFILEEntry(FsState* state, const FsEntry& listed, FileRecord* file) {
    if (!state || !state->handler) return 1;
    return OpenEntry(*state, listed, file);
}

Status CreateFILE(const char* name, FileRecord* file, uint32_t size) {
    ParsedName parsed = GetSource(name);
    if (parsed.source == Source::Remote) {
        if (RemoteFileOpen != 0 || remoteOps->Create(name) != 0) {
            Log("ERROR: [CreateFILE] Cannot create remote file\r\n");
            return 1;
        }
        *file = FileRecord{};
        file->remote = 1;
        file->writing = 1;
        std::strncpy(file->entry.path, name, kPathMax - 1);
        file->entry.name = file->entry.path;
        RemoteFileOpen = 1;
        return 0;
    }
    DirRef dir;
    std::string last;
    if (parsed.source == Source::Fail ||
        !GetDir(*parsed.state, parsed.source, parsed.path, dir, last)) {
        Log("ERROR: [CreateFILE] Cannot get dir\r\n");
        return 1;
    }
    FsState& part = *parsed.state;
    const FsHandler* handler = part.handler;
    FsEntry entry{};
    targetFate = TargetFate::None;
    const bool existed = FindFile(part, parsed.source, dir, last, entry);
    const uint64_t oldSize = entry.size;
    if (!existed) {
        FsDirHandle* handle = nullptr;
        if (!handler->OpenDir || handler->OpenDir(part, dir.get(), &handle) != 0) {
            Log("ERROR: [CreateFILE] Cannot OpenDir\r\n");
            return 1;
        }
        Status created = 1;
        if (!last.empty() && last != "." && last != ".." && handler->CreateFile)
            created = handler->CreateFile(part, handle, last.c_str(), nullptr, &entry);
        handler->CloseDir(part, handle);
        if (created != 0) {
            Log("ERROR: [CreateFILE] Cannot CreateFile\r\n");
            return 1;
        }
    }
    FsFileHandle* handle = nullptr;
    if (entry.kind == kKindDir || !handler->RewriteFile ||
        handler->RewriteFile(part, &entry, size, &handle) != 0) {
        Log("ERROR: [CreateFILE] Cannot RewriteFile\r\n");
        // No room for the size asked, or a file the driver will not write:
        // an entry made just now goes again; an existing file stays only
        // while it still holds its old content (a driver may have emptied
        // it before failing).
        if (entry.kind != kKindDir) RemoveTarget(name, existed, existed ? &oldSize : nullptr);
        return 1;
    }
    *file = FileRecord{};
    file->state = &part;
    file->handle = handle;
    file->writing = 1;
    file->replaced = existed ? 1 : 0;
    file->size = file->remaining = file->allocated = size;
    CopyEntry(file->entry, entry);
    return 0;
}

uint16_t ReadFILE(FileRecord* file, uint8_t* buffer) {
    StrokeWatchDog();
    if (file->remote) {
        if (!remoteOps || RemoteFileOpen != 1) return 0;
        int n = remoteOps->Read(buffer);
        if (n < 0) {
            Log("WARNING: TFTP Read error\r\n");
            RemoteFileOpen = 2;
            return 0;
        }
        if (n == 0 && remoteBrokenOff && remoteBrokenOff()) {
            Log("WARNING: TFTP transfer broken off by the server\r\n");
            RemoteFileOpen = 2;
            return 0;
        }
        return uint16_t(n > kChunkMax ? kChunkMax : n);
    }
    if (file->readAhead && cacheOps && cacheOps->ReadAhead)
        return cacheOps->ReadAhead(file, buffer);
    if (file->remaining == 0 || !file->handle) return 0;
    uint16_t n = file->state->handler->ReadFileChunk(*file->state, file->handle, buffer);
    if (n > kChunkMax) n = kChunkMax;
    if (n > file->remaining) n = uint16_t(file->remaining);
    file->remaining -= n;
    return n;
}

uint16_t WriteFILE(FileRecord* file, const uint8_t* data, uint16_t length) {
    if (file->remote) {
        if (!remoteOps || RemoteFileOpen != 1) return 0;
        int n = remoteOps->Write(data, length);
        return uint16_t(n < 0 ? 0 : n > length ? length : n);
    }
    if (!file->writing || !file->handle || length == 0) return 0;
    FsState& part = *file->state;
    const FsHandler* handler = part.handler;
    if (file->remaining < length) {
        // Grow the allocation once: double it up to 4 MB, then 1 MB steps.
        uint32_t growth = file->size <= 4194304 ? file->size : 1048576;
        if (file->size > UINT32_MAX - growth) growth = UINT32_MAX - file->size;
        // A growth that fails (a full disk) leaves what is still reserved.
        if (growth > 0 && handler->AdjustFileSize &&
            handler->AdjustFileSize(part, file->handle, &file->entry, file->size + growth) == 0) {
            file->size += growth;
            file->remaining += growth;
            file->allocated = file->size;
        }
    }
    // Nothing allocated at all (a file created with size 0): nothing written.
    if (file->remaining == 0) return 0;
    uint16_t n = handler->WriteFileChunk(part, file->handle, data, length);
    if (n > length) n = length;
    if (n > file->remaining) {
        // The driver took more than was reserved (whole clusters, or a host
        // file that grows as written): the file now covers those bytes too,
        // so that the size written stays exact.
        file->size += n - file->remaining;
        file->remaining = 0;
    } else {
        file->remaining -= n;
    }
    return n;
}

Status CloseFILE(FileRecord* file) {
    if (file->remote) {
        int result = remoteOps && RemoteFileOpen != 0 ? remoteOps->Close() : 0;
        RemoteFileOpen = 0;
        file->remote = 0;
        return result == 0 ? 0 : 1;
    }
    if (!file->handle) return 1;
    if (file->readAhead && cacheOps && cacheOps->StopReadAhead) cacheOps->StopReadAhead(file);
    file->readAhead = 0;
    FsState& part = *file->state;
    const FsHandler* handler = part.handler;
    Status result = 0;
    if (file->writing) {
        // End the file at the last byte written: trim what was reserved but
        // not written, or record bytes a driver took beyond the reservation.
        file->size -= file->remaining;
        file->remaining = 0;
        if (file->size != file->allocated &&
            (!handler->AdjustFileSize ||
             handler->AdjustFileSize(part, file->handle, &file->entry, file->size) != 0))
            result = 1;
        file->allocated = file->size;
    }
    if (handler->CloseFile && handler->CloseFile(part, file->handle) != 0) result = 1;
    file->handle = nullptr;
    return result;
}

void DiscardFILE(const FileRecord* file, const char* name) {
    if (file->remote) return;
    RemoveTarget(name, file->replaced != 0, nullptr);
}

TargetFate TakeTargetFate() {
    TargetFate fate = targetFate;
    targetFate = TargetFate::None;
    return fate;
}

int FILEExists(const char* name) {
    ParsedName parsed = GetSource(name);
    if (parsed.source == Source::Fail) return 0;
    if (parsed.source == Source::Remote) {
        if (RemoteFileOpen != 0) return 0;
        uint8_t* gateway = nullptr;
        uint8_t* server = nullptr;
        uint16_t port = 0;
        const char* path = ParseRemoteFilename(name, &gateway, &server, &port);
        if (!path || remoteOps->Open(path, gateway, server, port) != 0) {
            Log("TFTP Open failed\r\n");
            remoteOps->Close();
            return 0;
        }
        static uint8_t block[4096];
        int n = remoteOps->Read(block);
        remoteOps->Close();
        return n > 0 ? 1 : 0;
    }
    DirRef dir;
    std::string last;
    if (!GetDir(*parsed.state, parsed.source, parsed.path, dir, last)) return 0;
    if (last.empty()) return 1; // the directory itself ("{0:1}", "dir/")
    FsEntry entry{};
    return FindFile(*parsed.state, parsed.source, dir, last, entry) ? 1 : 0;
}

int FILEDescriptor(const FileRecord* file) {
    if (file->remote || !file->handle || !file->state || !file->state->handler) return -1;
    // A cached copy read ahead goes through the cache, not the descriptor.
    if (file->readAhead && cacheOps && cacheOps->ReadAhead) return -1;
    auto descriptor = file->state->handler->FileDescriptor;
    return descriptor ? descriptor(file->handle) : -1;
}

bool LocalFileName(const FileRecord* file, char* out, size_t size) {
    if (size) out[0] = 0;
    if (file->remote || !file->state || file->state->disk < 0x80 || file->state->disk > 0x89)
        return false;
    const char* path = file->entry.path;
    int n = std::snprintf(out, size, "{%d:%d}%s%s", file->state->disk - 0x80,
                          file->state->partition, path[0] == '/' ? "" : "/", path);
    if (n < 0 || size_t(n) >= size) {
        if (size) out[0] = 0;
        return false;
    }
    return true;
}

} // namespace vk
