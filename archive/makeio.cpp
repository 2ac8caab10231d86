// Directory-level adapters over the driver operations: each call makes the
// directory's partition current for its driver calls and restores the
// caller's afterwards.
#include "archive/makeio.h"

#include <cstring>

#include "platform/hostfile.h"
#include "platform/memory.h"

namespace vk {

namespace {

uint8_t* touchSwitch = nullptr;

// Whether attributes in the Unix layout (ext2 and host directories) describe
// a symbolic link.
bool CarriesLink(const FsHandler* h, const uint8_t* attrs) {
    return (h->flags & kFsAttrWithSummaries) && h->attrSize >= kAttrMode + 2 &&
           (ld16(attrs + kAttrMode) & 0xF000) == 0xA000;
}

// Clears the drivers' time-stamping switch for the lifetime of the guard,
// so that created, rewritten and closed files keep their stored times.
struct NoTouch {
    uint8_t saved = 0;
    NoTouch() {
        if (touchSwitch) {
            saved = *touchSwitch;
            *touchSwitch = 0;
        }
    }
    ~NoTouch() {
        if (touchSwitch) *touchSwitch = saved;
    }
    NoTouch(const NoTouch&) = delete;
    NoTouch& operator=(const NoTouch&) = delete;
};

constexpr uint16_t kStagingParagraphs = kStagingSize / 16;

// Hands the driver staged bytes while at least `least` are unwritten (at
// most kChunkMax per call); 0 taken is a failure.
Status Drain(MakeIOFile* file, uint32_t least) {
    const FsHandler* h = file->state->handler;
    while (file->filled - file->written >= least && file->filled > file->written) {
        uint32_t count = file->filled - file->written;
        if (count > kChunkMax) count = kChunkMax;
        uint16_t taken = h->WriteFileChunk(*file->state, file->handle,
                                           file->staging + file->written, uint16_t(count));
        if (taken == 0) return 1;
        // A driver writing whole clusters reports the cluster's size for a
        // last piece that fills only part of it.
        file->written += taken < count ? taken : count;
    }
    return 0;
}

// The directory of a driver whose handles stay usable while entries are
// made in them, kept open while it is filled: one at a time, the last one
// that received entries.
struct KeptDir {
    FsState* state = nullptr;
    bool root = true;
    char path[kPathMax] = {};
    FsDirHandle* handle = nullptr;
};
KeptDir kept;

bool KeepsDirs(const FsHandler* h) {
    return (h->flags & kFsExclusiveCreate) && h->OpenDir && h->CloseDir;
}

// The open handle of dir, kept for the next call; null when it cannot be
// opened.
FsDirHandle* KeptHandle(FsDirRef* dir) {
    if (kept.handle && kept.state == dir->state && kept.root == dir->root &&
        (dir->root || std::strcmp(kept.path, dir->entry.path) == 0))
        return kept.handle;
    MakeIOReleaseDir();
    FsDirRef at = *dir; // OpenDir may adjust the entry it is given
    FsDirHandle* handle = nullptr;
    if (dir->state->handler->OpenDir(*dir->state, at.get(), &handle) != 0) return nullptr;
    kept.state = dir->state;
    kept.root = dir->root;
    std::memcpy(kept.path, dir->entry.path, kPathMax);
    kept.handle = handle;
    return handle;
}

} // namespace

void MakeIOReleaseDir() {
    if (!kept.handle) return;
    kept.state->handler->CloseDir(*kept.state, kept.handle);
    kept.handle = nullptr;
}

void SetTouchFilesSwitch(uint8_t* touchFiles) {
    touchSwitch = touchFiles;
}

Status MakeIOGetDir(const char* path, FsDirRef* dir) {
    FsDirRef parent;
    char last[kPathMax];
    if (GetDirRef(path, &parent, last, sizeof last) != 0) return 1;
    if (last[0] == '\0') {
        *dir = parent;
        return 0;
    }
    return MakeIOChDir(&parent, last, dir);
}

Status MakeIOGetFsInfos(const FsDirRef* dir, char id[4], uint16_t* attrSize) {
    if (!dir->state || !dir->state->handler) return 1;
    std::memcpy(id, dir->state->handler->id, 4);
    *attrSize = dir->state->handler->attrSize;
    return 0;
}

Status MakeIOChDir(FsDirRef* dir, const char* name, FsDirRef* child) {
    FsEntry found{};
    if (FindDirEntry(dir, name, &found) != 0 || found.kind != kKindDir) return 1;
    FsState* state = dir->state;
    *child = FsDirRef{};
    child->state = state;
    child->root = false;
    CopyEntry(child->entry, found);
    return 0;
}

Status MakeIOMkDir(FsDirRef* dir, const char* name, const uint8_t* attrs) {
    FsEntry found{};
    if (KeepsDirs(dir->state->handler) && dir->state->handler->CreateDir) {
        // Made at once; a name that stands already must be a directory.
        FsDirHandle* handle = KeptHandle(dir);
        if (!handle) return 1;
        Status made;
        { made = dir->state->handler->CreateDir(*dir->state, handle, name, attrs, &found); }
        if (made != kFsExists) return made != 0 ? 1 : 0;
        found = FsEntry{};
        return FindDirEntry(dir, name, &found) == 0 && found.kind == kKindDir ? 0 : 1;
    }
    if (FindDirEntry(dir, name, &found) == 0) return found.kind == kKindDir ? 0 : 1;
    const FsHandler* h = dir->state->handler;
    if (!h->OpenDir || !h->CreateDir || !h->CloseDir) return 1;
    FsDirRef at = *dir; // OpenDir may adjust the entry it is given
    FsDirHandle* handle = nullptr;
    if (h->OpenDir(*dir->state, at.get(), &handle) != 0) return 1;
    FsEntry created{};
    Status result = h->CreateDir(*dir->state, handle, name, attrs, &created);
    if (h->CloseDir(*dir->state, handle) != 0) result = 1;
    return result != 0 ? 1 : 0;
}

Status MakeIORewriteFile(FsDirRef* dir, const char* name, const uint8_t* attrs, uint32_t size,
                         MakeIOFile* file) {
    if (file->open()) return 1; // one output file at a time
    const FsHandler* h = dir->state->handler;
    if (!h->RewriteFile || !h->WriteFileChunk || !h->CloseFile) return 1;
    FsEntry entry{};
    bool keeps = KeepsDirs(h) && h->CreateFile;
    bool made = false;
    if (keeps) {
        // Made at once under a free name; one that stands already is
        // looked at below.
        FsDirHandle* handle = KeptHandle(dir);
        if (!handle) return 1;
        NoTouch still;
        Status result = h->CreateFile(*dir->state, handle, name, attrs, &entry);
        if (result != 0 && result != kFsExists) return 1;
        made = result == 0;
    }
    if (!made) {
        entry = FsEntry{};
        bool exists = FindDirEntry(dir, name, &entry) == 0;
        if (exists && entry.kind != kKindFile) return 1;
        // A symbolic link that the archive carries replaces what stands under
        // its name (an older link or a file): links are made anew, never
        // rewritten, and nothing is written through the old one.
        if (exists && attrs && CarriesLink(h, attrs)) {
            if (!h->RemoveFile || h->RemoveFile(*dir->state, &entry) != 0) return 1;
            exists = false;
        }
        if (!exists) {
            if (!h->OpenDir || !h->CreateFile || !h->CloseDir) return 1;
            FsDirHandle* handle = nullptr;
            if (keeps) {
                handle = KeptHandle(dir);
                if (!handle) return 1;
            } else {
                FsDirRef at = *dir;
                if (h->OpenDir(*dir->state, at.get(), &handle) != 0) return 1;
            }
            Status result;
            {
                NoTouch still;
                result = h->CreateFile(*dir->state, handle, name, attrs, &entry);
            }
            if (!keeps && h->CloseDir(*dir->state, handle) != 0) result = 1;
            if (result != 0) return 1;
        }
    }
    FsFileHandle* handle = nullptr;
    {
        NoTouch still;
        if (h->RewriteFile(*dir->state, &entry, size, &handle) != 0 || !handle) return 1;
    }
    file->state = dir->state;
    file->handle = handle;
    CopyEntry(file->entry, entry);
    file->staging = static_cast<uint8_t*>(Malloc(kStagingParagraphs));
    file->written = file->filled = 0;
    return 0;
}

Status MakeIOWriteFile(MakeIOFile* file, const uint8_t* data, uint32_t n) {
    if (!file->open()) return 1;
    // While nothing is staged, whole pieces go to the driver straight from
    // the caller's bytes (file contents come in chunks of kChunkMax), which
    // spares copying every byte through the staging buffer.
    if (file->filled == 0 && n >= kStagingFlush) {
        const FsHandler* h = file->state->handler;
        while (n >= kStagingFlush) {
            uint32_t count = n < kChunkMax ? n : kChunkMax;
            uint16_t taken = h->WriteFileChunk(*file->state, file->handle, data, uint16_t(count));
            if (taken == 0) return 1;
            uint32_t used = taken < count ? taken : count;
            data += used;
            n -= used;
        }
    }
    while (n > 0) {
        uint32_t room = kStagingSize - file->filled;
        uint32_t take = n < room ? n : room;
        std::memcpy(file->staging + file->filled, data, take);
        file->filled += take;
        data += take;
        n -= take;
        if (Drain(file, kStagingFlush) != 0) return 1;
        // Fewer than kStagingFlush bytes remain: keep them at the start.
        std::memmove(file->staging, file->staging + file->written, file->filled - file->written);
        file->filled -= file->written;
        file->written = 0;
    }
    return 0;
}

Status MakeIODoneFile(MakeIOFile* file) {
    if (!file->open()) return 1;
    Status result = Drain(file, 1);
    Free(file->staging);
    file->staging = nullptr;
    {
        NoTouch still;
        if (file->state->handler->CloseFile(*file->state, file->handle) != 0) result = 1;
    }
    file->handle = nullptr;
    file->written = file->filled = 0;
    return result;
}

} // namespace vk
