// Directories: enumeration, entry details, and the creation and removal of
// files and subdirectories, through libntfs-3g's directory calls (which
// keep the indexes, the DOS names and the MFT right).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ntfs_internal.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

struct Item {
    uint64_t record; // MFT record number
    bool directory;
    std::u16string diskName; // as in the index, little-endian units
};

struct NtfsDir {
    uint64_t record = 0;
    std::vector<Item> items; // the directory's entries when it was opened
    size_t next = 0;
    char path[kPathMax] = {};
    size_t pathLength = 0;
};

NtfsDir* AsDir(FsDirHandle* handle) {
    return reinterpret_cast<NtfsDir*>(handle);
}

// Records the numbers scripts and entries can carry.
bool Addressable(uint64_t record) {
    return record <= UINT32_MAX;
}

void SetEntryPath(FsEntry* entry, const char* dirPath, size_t length, const std::string& name) {
    length = std::min(length, size_t(kPathMax) - 1);
    std::memmove(entry->path, dirPath, length);
    const size_t nameLength = std::min(name.size(), size_t(kPathMax) - 1 - length);
    std::memmove(entry->path + length, name.data(), nameLength);
    entry->path[length + nameLength] = '\0';
    entry->name = entry->path + length;
}

// Every name but the DOS twin of a long name, "." and "..", and the
// volume's own files ($MFT, $Bitmap, ..., $Extend), which are not the
// scripts' to touch.
int CollectName(void* context, const ntfschar* name, const int length, const int nameType,
                const s64, const MFT_REF reference, const unsigned type) {
    auto* items = static_cast<std::vector<Item>*>(context);
    if (nameType == FILE_NAME_DOS || length <= 0) return 0;
    const uint64_t record = MREF(reference);
    if (record < FILE_first_user) return 0;
    if (length <= 2 && le16_to_cpu(name[0]) == '.' && (length == 1 || le16_to_cpu(name[1]) == '.'))
        return 0;
    items->push_back({record, type == NTFS_DT_DIR,
                      std::u16string(reinterpret_cast<const char16_t*>(name), size_t(length))});
    return 0;
}

bool IsDirectory(const ntfs_inode* ni) {
    return (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
}

// The entries of directory `record`; false after logging why.
bool ReadDir(ntfs_volume* vol, uint64_t record, std::vector<Item>& items) {
    ntfs_inode* ni = ntfs_inode_open(vol, record);
    if (ni == nullptr) {
        LogNtfsError("Cannot read a directory");
        return false;
    }
    bool ok = IsDirectory(ni);
    if (!ok) Log("NTFS ERROR: Bad directory record\r\n");
    s64 position = 0;
    if (ok && ntfs_readdir(ni, &position, &items, CollectName) != 0) {
        LogNtfsError("Cannot read a directory");
        ok = false;
    }
    ntfs_inode_close(ni);
    return ok;
}

void FillEntry(FsEntry* entry, const NtfsDir* d, const std::string& name, uint64_t record,
               bool directory) {
    SetEntryPath(entry, d->path, d->pathLength, name);
    entry->kind = directory ? kKindDir : kKindFile;
    entry->size = 0;
    entry->start = uint32_t(record);
    entry->location1 = entry->location2 = 0;
    entry->location3 = uint32_t(d->record);
}

void NoteIfFull() {
    if (errno == ENOSPC) NoteDiskFull();
}

// Makes `name` in the directory as a file or directory.
Status Create(FsState& part, FsDirHandle* handle, const char* name, mode_t type, FsEntry* entry) {
    NtfsDir* d = AsDir(handle);
    ntfs_volume* vol = NtfsWritable(part);
    if (vol == nullptr) return 1;
    std::u16string disk = NtfsNameToDisk(name);
    if (disk.empty()) return 1;
    ntfs_inode* dir = ntfs_inode_open(vol, d->record);
    if (dir == nullptr) {
        LogNtfsError("Cannot open the directory");
        return 1;
    }
    ntfs_inode* ni =
        ntfs_create(dir, 0, reinterpret_cast<ntfschar*>(disk.data()), uint8_t(disk.size()), type);
    if (ni == nullptr) {
        const int error = errno;
        ntfs_inode_close(dir);
        errno = error;
        if (error == EEXIST) {
            Log("NTFS ERROR: The name exists already\r\n");
            return 1;
        }
        NoteIfFull();
        LogNtfsError(type == S_IFDIR ? "Cannot make a directory" : "Cannot make a file");
        return 1;
    }
    const uint64_t record = ni->mft_no;
    Status result = 0;
    if (ntfs_inode_close_in_dir(ni, dir) != 0) {
        LogNtfsError("Cannot write a new entry");
        result = 1;
    }
    if (ntfs_inode_close(dir) != 0) result = 1;
    if (result == 0) FillEntry(entry, d, name, record, type == S_IFDIR);
    return result;
}

} // namespace

Status NtfsOpenDir(FsState& part, FsEntry* entry, FsDirHandle** dir) {
    ntfs_volume* vol = NtfsMounted(part);
    if (vol == nullptr) return 1;
    const bool named = entry && entry->name && entry->name[0];
    if (named && entry->kind != kKindDir) return 1;
    const uint64_t record = named ? entry->start : uint64_t(FILE_root);
    // A path at its length limit cannot name anything below it; this also
    // ends walks through damaged volumes whose directories hold their own
    // ancestors.
    if (entry && strnlen(entry->path, kPathMax) >= size_t(kPathMax) - 2) {
        Log("NTFS ERROR: Path too long\r\n");
        return 1;
    }
    auto* d = new NtfsDir;
    d->record = record;
    if (!ReadDir(vol, record, d->items)) {
        delete d;
        return 1;
    }
    if (named) {
        const size_t length = strnlen(entry->path, kPathMax - 2);
        std::memcpy(d->path, entry->path, length);
        d->path[length] = '/';
        d->path[length + 1] = '\0';
    } else {
        std::snprintf(d->path, sizeof d->path, "{%d:%d}", part.disk & 0x7F, int(part.partition));
    }
    d->pathLength = std::strlen(d->path);
    *dir = reinterpret_cast<FsDirHandle*>(d);
    return 0;
}

Status NtfsNextDirEntry(FsState&, FsDirHandle* handle, FsEntry* entry) {
    NtfsDir* d = AsDir(handle);
    MonitorESC();
    while (d->next < d->items.size()) {
        const Item& item = d->items[d->next++];
        // Records beyond what an entry carries are left out, as they could
        // not be found again.
        if (!Addressable(item.record)) continue;
        FillEntry(entry, d,
                  NtfsNameFromDisk(reinterpret_cast<const ntfschar*>(item.diskName.data()),
                                   int(item.diskName.size())),
                  item.record, item.directory);
        return 0;
    }
    return 1;
}

Status NtfsCloseDir(FsState&, FsDirHandle* handle) {
    delete AsDir(handle);
    return 0;
}

Status NtfsGetFileInfo(FsState& part, FsEntry* entry) {
    ntfs_volume* vol = NtfsMounted(part);
    if (vol == nullptr) return 1;
    if (!entry->name || entry->name[0] == '\0') entry->start = FILE_root;
    ntfs_inode* ni = entry->start != 0 ? ntfs_inode_open(vol, entry->start) : nullptr;
    if (ni == nullptr) {
        Log("NTFS ERROR: Bad file record !\r\n");
        return 1;
    }
    const bool directory = IsDirectory(ni);
    uint64_t size = 0;
    if (!directory) {
        if (ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0)) {
            size = uint64_t(na->data_size);
            ntfs_attr_close(na);
        }
    }
    ntfs_inode_close(ni);
    // Sizes travel in 32 bits: a larger file cannot be handed on whole.
    if (size > UINT32_MAX) {
        Log("NTFS ERROR: File of 4 GB or more\r\n");
        return kFsTooLarge;
    }
    entry->kind = directory ? kKindDir : kKindFile;
    entry->size = uint32_t(size);
    return 0;
}

Status NtfsCreateFile(FsState& part, FsDirHandle* dir, const char* name, const uint8_t*,
                      FsEntry* entry) {
    return Create(part, dir, name, S_IFREG, entry);
}

Status NtfsCreateDir(FsState& part, FsDirHandle* dir, const char* name, const uint8_t*,
                     FsEntry* entry) {
    return Create(part, dir, name, S_IFDIR, entry);
}

Status NtfsRemoveFile(FsState& part, FsEntry* entry) {
    ntfs_volume* vol = NtfsWritable(part);
    if (vol == nullptr) return 1;
    const uint64_t record = entry->start, parent = entry->location3;
    if (record < FILE_first_user || parent < FILE_root) {
        Log("NTFS ERROR: Cannot remove a system file\r\n");
        return 1;
    }
    // The name as the index holds it (scripts see names through the code
    // page, which may not give every character back).
    std::vector<Item> items;
    if (!ReadDir(vol, parent, items)) return 1;
    auto found =
        std::find_if(items.begin(), items.end(), [&](const Item& i) { return i.record == record; });
    if (found == items.end()) {
        Log("NTFS ERROR: Directory entry not found\r\n");
        return 1;
    }
    ntfs_inode* dir = ntfs_inode_open(vol, parent);
    ntfs_inode* ni = dir != nullptr ? ntfs_inode_open(vol, record) : nullptr;
    if (ni == nullptr) {
        LogNtfsError("Cannot open a removed entry");
        if (dir != nullptr) ntfs_inode_close(dir);
        return 1;
    }
    if (IsDirectory(ni) && ntfs_check_empty_dir(ni) != 0) {
        Log("NTFS ERROR: Directory not empty\r\n");
        ntfs_inode_close(ni);
        ntfs_inode_close(dir);
        return 1;
    }
    // The library closes both records itself, whatever the outcome.
    std::u16string name = found->diskName;
    static char path[] = "/";
    if (ntfs_delete(vol, path, ni, dir, reinterpret_cast<ntfschar*>(name.data()),
                    uint8_t(name.size())) != 0) {
        LogNtfsError("Directory entry not removed");
        return 1;
    }
    entry->start = 0;
    return 0;
}

} // namespace vk
