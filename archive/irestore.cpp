// The incremental restore: realises an incremental archive's directory
// records and entries on a directory tree through the directory-level
// adapters, keeping the path from the target to the current directory on a
// stack of handles.
#include "archive/irestore.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "disk/partitions.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

namespace {

RestoredFileHook restoredFileHook = nullptr;

constexpr uint16_t kStackParagraphs = uint16_t((kIRestoreDepth * sizeof(FsDirRef) + 15) / 16);

// A name from an archive must be one path component of this directory:
// never empty, never "." or "..", and without a separator, so that no entry
// can reach outside the tree being restored.
bool SafeName(const char* name) {
    size_t length = strnlen(name, kEntryNameMax);
    if (length == 0 || length >= kEntryNameMax) return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return std::strchr(name, '/') == nullptr && std::strchr(name, '\\') == nullptr;
}

FsDirRef* Current(IRestoreState* st) {
    return &st->stack[st->depth];
}

// Closes the open file and gives the driver its attributes again, since
// writing the content may have changed the stored times.
Status FinishFile(IRestoreState* st) {
    FsState* state = st->file.state;
    Status result = MakeIODoneFile(&st->file);
    if (result == 0 && restoredFileHook)
        restoredFileHook(state, &st->file.entry, st->applyAttributes ? st->attrs : nullptr, false);
    st->expected = 0;
    return result;
}

// The current directory's own entries are complete: a directory below the
// target gets back the times it had when the restore entered it (for a
// directory the archive created, the stored ones), which creating its
// entries changed.
void LeaveDirectory(IRestoreState* st) {
    if (st->depth == 0 || !st->applyAttributes || !restoredFileHook) return;
    FsDirRef* dir = Current(st);
    restoredFileHook(dir->state, &dir->entry, dir->entry.attributes, true);
}

} // namespace

void SetRestoredFileHook(RestoredFileHook hook) {
    restoredFileHook = hook;
}

Status ProcessIArchive(const char* target, IRestoreState* st) {
    if (!st->stack) {
        st->stack = static_cast<FsDirRef*>(Malloc(kStackParagraphs));
        for (uint32_t i = 0; i < kIRestoreDepth; ++i)
            new (&st->stack[i]) FsDirRef{};
    }
    st->depth = 0;
    st->expected = 0;
    MakeIOReleaseDir();
    if (MakeIOGetDir(target, &st->stack[0]) != 0) {
        Free(st->stack);
        st->stack = nullptr;
        return 1;
    }
    return 0;
}

Status RealizeIArchiveHeader(IRestoreState* st, const ArchiveHeader* header) {
    if (!st->stack) return 1;
    st->header = *header;
    char id[4];
    uint16_t attrSize = 0;
    if (MakeIOGetFsInfos(&st->stack[0], id, &attrSize) != 0) return 1;
    st->applyAttributes = std::memcmp(id, header->fsId, 4) == 0 && attrSize == header->dirAttr &&
                          attrSize <= kAttrMax;
    // An archive of a volume of the target's kind carries the names such a
    // volume stores (for NTFS the exact UTF-8 of its UTF-16 names, and
    // named streams as "NAME:STREAM"), not those scripts see.
    FsState* target = st->stack[0].state;
    if (st->applyAttributes && (target->handler->flags & kFsVolumeNames) && !target->volumeNames) {
        target->volumeNames = true;
        st->volumeNamesOf = target;
    }
    return 0;
}

Status ProcessIFiles(IRestoreState* st) {
    if (!st->stack) return 1;
    st->depth = 0;
    return 0;
}

Status RealizeIDirectory(IRestoreState* st, const IDirectoryRecord* record, const char* name) {
    if (!st->stack || st->file.open()) return 1;
    LeaveDirectory(st);
    if (name[0] == '\0') {
        // The root record: the target itself.
        if (record->pops != 0) return 1;
        st->depth = 0;
        return 0;
    }
    if (record->pops > st->depth || !SafeName(name)) return 1;
    uint32_t parent = st->depth - record->pops;
    // The stack holds the target and kIRestoreDepth - 1 levels below it;
    // deeper trees are refused rather than cut.
    if (parent + 1 >= kIRestoreDepth) return 1;
    if (MakeIOChDir(&st->stack[parent], name, &st->stack[parent + 1]) != 0) return 1;
    st->depth = parent + 1;
    return 0;
}

uint64_t IncrFileSize(const IRestoreState* st, const uint8_t* entry) {
    const FsHandler* h = FindFsID(st->header.fsId);
    return FullSize(ld32(entry), entry + kFileEntrySize, st->header.dirAttr,
                    h != nullptr ? h->sizeHighAt : 0);
}

Status RealizeIDirEntryDir(IRestoreState* st, const uint8_t* entry) {
    if (!st->stack || st->file.open()) return 1;
    const uint8_t* attrs = entry + SubdirEntry::kSize;
    const char* name = reinterpret_cast<const char*>(attrs + st->header.dirAttr);
    if (!SafeName(name)) return 1;
    return MakeIOMkDir(Current(st), name, st->applyAttributes ? attrs : nullptr);
}

Status RealizeIDirEntryFile(IRestoreState* st, const uint8_t* entry) {
    if (!st->stack || st->file.open()) return 1;
    uint32_t size = ld32(entry);
    const uint8_t* attrs = entry + kFileEntrySize;
    const char* name = reinterpret_cast<const char*>(attrs + st->header.dirAttr);
    if (!SafeName(name)) return 1;
    // Files are written in 32 bits here: a file of 4 GB or more (its high
    // half in the attributes) is refused rather than written cut.
    if (IncrFileSize(st, entry) > UINT32_MAX) {
        Log("ERROR : File of 4 GB or more, not restored: ");
        Log(name);
        Log("\r\n");
        return 1;
    }
    std::snprintf(st->name, sizeof st->name, "%s", name);
    if (st->applyAttributes) std::memcpy(st->attrs, attrs, st->header.dirAttr);
    if (MakeIORewriteFile(Current(st), name, st->applyAttributes ? attrs : nullptr, size,
                          &st->file) != 0)
        return 1;
    st->expected = size;
    return size == 0 ? FinishFile(st) : 0;
}

Status RealizeIFileContent(IRestoreState* st, const uint8_t* data, uint32_t n) {
    if (!st->file.open() || n > st->expected) return 1;
    if (MakeIOWriteFile(&st->file, data, n) != 0) return 1;
    st->expected -= n;
    return st->expected == 0 ? FinishFile(st) : 0;
}

uint32_t EndOfIFiles(IRestoreState* st) {
    if (st->stack && !st->file.open()) LeaveDirectory(st);
    return st->expected;
}

Status EndOfIArchive(IRestoreState* st) {
    Status result = 0;
    MakeIOReleaseDir();
    if (st->file.open()) {
        // A run that ended inside a file: close it with what arrived.
        MakeIODoneFile(&st->file);
        result = 1;
    }
    if (st->volumeNamesOf) {
        st->volumeNamesOf->volumeNames = false;
        st->volumeNamesOf = nullptr;
    }
    st->expected = 0;
    if (st->stack) {
        Free(st->stack);
        st->stack = nullptr;
    }
    st->depth = 0;
    return result;
}

} // namespace vk
