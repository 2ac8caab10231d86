// Directories: enumeration, entry details, and the creation and removal of
// files and subdirectories, through libntfs-3g's directory calls (which
// keep the indexes, the DOS names and the MFT right).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>
#include <unordered_map>
#include <vector>

#include "ntfs_internal.h"
#include "platform/console.h"
#include "platform/util.h"
#include "records.h"

namespace vk {

namespace {

struct Item {
    uint64_t record; // MFT record number
    bool directory;
    bool unsure;             // listed as neither (a reparse point): its record says
    std::u16string diskName; // as in the index, little-endian units
};

struct NtfsDir {
    uint64_t record = 0;
    std::vector<Item> items; // the directory's entries when it was opened
    std::unordered_map<uint64_t, std::u16string> dosNames; // record: its DOS name here
    size_t next = 0;
    char path[kPathMax] = {};
    size_t pathLength = 0;
    // With the volume's names: the named streams of the file listed last,
    // handed out as entries after it.
    std::vector<NtfsStream> streams;
    size_t nextStream = 0;
    uint64_t streamRecord = 0;
    std::string streamOf; // the file's name
    uint8_t fileAttributes[kAttrMax] = {};
};

constexpr uint32_t kPacked = kNtfsPacked;

struct Listing {
    std::vector<Item>* items;
    std::unordered_map<uint64_t, std::u16string>* dosNames;
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
    auto* listing = static_cast<Listing*>(context);
    if (length <= 0) return 0;
    const uint64_t record = MREF(reference);
    if (nameType == FILE_NAME_DOS) {
        if (listing->dosNames != nullptr)
            (*listing->dosNames)[record] =
                std::u16string(reinterpret_cast<const char16_t*>(name), size_t(length));
        return 0;
    }
    if (record < FILE_first_user) return 0;
    if (length <= 2 && le16_to_cpu(name[0]) == '.' && (length == 1 || le16_to_cpu(name[1]) == '.'))
        return 0;
    listing->items->push_back(
        {record, type == NTFS_DT_DIR, type != NTFS_DT_DIR && type != NTFS_DT_REG,
         std::u16string(reinterpret_cast<const char16_t*>(name), size_t(length))});
    return 0;
}

bool IsDirectory(const ntfs_inode* ni) {
    return (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
}

// The entries of directory `record`; false after logging why.
bool ReadDir(ntfs_volume* vol, uint64_t record, std::vector<Item>& items,
             std::unordered_map<uint64_t, std::u16string>* dosNames = nullptr) {
    ntfs_inode* ni = ntfs_inode_open(vol, record);
    if (ni == nullptr) {
        LogNtfsError("Cannot read a directory");
        return false;
    }
    bool ok = IsDirectory(ni);
    if (!ok) Log("NTFS ERROR: Bad directory record\r\n");
    s64 position = 0;
    Listing listing{&items, dosNames};
    if (ok && ntfs_readdir(ni, &position, &listing, CollectName) != 0) {
        LogNtfsError("Cannot read a directory");
        ok = false;
    }
    ntfs_inode_close(ni);
    // The index lists reparse points (junctions, symbolic links) without
    // saying whether they are directories: their records say.
    for (Item& item : items) {
        if (!ok || !item.unsure) continue;
        if (ntfs_inode* target = ntfs_inode_open(vol, item.record)) {
            item.directory = IsDirectory(target);
            ntfs_inode_close(target);
        }
    }
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

// The named stream of "NAME:STREAM" (as the volume's names give streams)
// on the file or directory NAME of the directory: added when it is
// missing, and in both cases handed out as the entry of its record and
// stream, whose content a rewrite replaces.
Status CreateStream(ntfs_volume* vol, NtfsDir* d, const char* name, FsEntry* entry) {
    const char* colon = std::strchr(name, ':');
    const std::string owner(name, colon);
    const std::u16string ownerDisk = NtfsVolumeNameToDisk(owner.c_str());
    std::u16string stream; // host-order units
    if (ownerDisk.empty() || !NtfsUtf8ToUtf16(colon + 1, std::strlen(colon + 1), stream) ||
        stream.empty() || stream.size() > 255 || stream.find(u':') != std::u16string::npos) {
        Log("NTFS ERROR: Invalid stream name\r\n");
        return 1;
    }
    ntfs_inode* dir = ntfs_inode_open(vol, d->record);
    if (dir == nullptr) {
        LogNtfsError("Cannot open the directory");
        return 1;
    }
    std::u16string lookup = ownerDisk;
    const u64 found = ntfs_inode_lookup_by_name(dir, reinterpret_cast<ntfschar*>(lookup.data()),
                                                int(lookup.size()));
    ntfs_inode_close(dir);
    const uint64_t record = found == u64(-1) ? 0 : MREF(found);
    if (record < FILE_first_user || !Addressable(record)) {
        Log("NTFS ERROR: A named stream without its file\r\n");
        return 1;
    }
    ntfs_inode* ni = ntfs_inode_open(vol, record);
    if (ni == nullptr) {
        LogNtfsError("Cannot open a file record");
        return 1;
    }
    std::vector<NtfsStream> streams;
    NtfsListStreams(ni, streams);
    auto same = [&](const NtfsStream& s) { return s.name == stream; };
    auto at = std::find_if(streams.begin(), streams.end(), same);
    Status result = 0;
    if (at == streams.end()) {
        std::u16string disk = stream;
        for (char16_t& u : disk)
            u = char16_t(cpu_to_le16(u));
        if (ntfs_attr_add(ni, AT_DATA, reinterpret_cast<ntfschar*>(disk.data()),
                          uint8_t(disk.size()), nullptr, 0) != 0) {
            NoteIfFull();
            LogNtfsError("Cannot make a named stream");
            result = 1;
        } else {
            NtfsListStreams(ni, streams);
            at = std::find_if(streams.begin(), streams.end(), same);
        }
    }
    if (ntfs_inode_close(ni) != 0 && result == 0) {
        LogNtfsError("Cannot write a file record");
        result = 1;
    }
    if (result != 0 || at == streams.end()) return 1;
    FillEntry(entry, d, name, record, false);
    entry->location1 = uint32_t(at - streams.begin()) + 1;
    entry->location2 = kPacked;
    return 0;
}

// Makes `name` in the directory as a file or directory; kFsExists, with
// nothing said, when it stands already. With the volume's names, a file
// named "NAME:STREAM" is a named stream of NAME.
Status Create(FsState& part, FsDirHandle* handle, const char* name, mode_t type, FsEntry* entry) {
    NtfsDir* d = AsDir(handle);
    ntfs_volume* vol = NtfsWritable(part);
    if (vol == nullptr) return 1;
    if (part.volumeNames && type == S_IFREG && std::strchr(name, ':'))
        return CreateStream(vol, d, name, entry);
    std::u16string disk = part.volumeNames ? NtfsVolumeNameToDisk(name) : NtfsNameToDisk(name);
    if (disk.empty()) return 1;
    if (!part.volumeNames) {
        // Scripts' names stand as the file layer finds them, whatever their
        // case: no second name that differs only in case is made beside one.
        std::vector<Item> items;
        if (!ReadDir(vol, d->record, items)) return 1;
        for (const Item& item : items) {
            const std::string shown = NtfsNameFromDisk(
                reinterpret_cast<const ntfschar*>(item.diskName.data()), int(item.diskName.size()));
            if (strcasecmp(shown.c_str(), name) == 0) return kFsExists;
        }
    }
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
        if (error == EEXIST) return kFsExists;
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
    // A walk with the volume's names from the root makes an archive: it
    // gathers the volume's metadata afresh.
    if (!named && part.volumeNames)
        if (NtfsVolume* volume = NtfsVolumeOf(part)) volume->archive.reset();
    auto* d = new NtfsDir;
    d->record = record;
    if (!ReadDir(vol, record, d->items, part.volumeNames ? &d->dosNames : nullptr)) {
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

namespace {

std::string HostUnits(const std::u16string& disk, bool* ok) {
    std::u16string units;
    units.reserve(disk.size());
    for (char16_t u : disk)
        units.push_back(char16_t(le16_to_cpu(u)));
    std::string out;
    *ok = NtfsUtf16ToUtf8(units.data(), units.size(), out);
    return out;
}

// The next entry as the volume stores it: its UTF-8 name and its fixed
// attributes, and its named streams queued as entries to follow it.
Status NextVolumeEntry(FsState& part, NtfsDir* d, FsEntry* entry) {
    NtfsVolume* volume = NtfsVolumeOf(part);
    if (volume == nullptr || volume->vol == nullptr) return 1;
    if (d->nextStream < d->streams.size()) {
        const NtfsStream& stream = d->streams[d->nextStream++];
        bool ok = false;
        const std::string name = HostUnits(stream.name, &ok);
        FillEntry(entry, d, d->streamOf + ":" + name, d->streamRecord, false);
        NtfsPackStream(d->fileAttributes, stream, entry->attributes);
        entry->size = uint32_t(stream.size);
        entry->location1 = uint32_t(d->nextStream);
        entry->location2 = kPacked;
        return 0;
    }
    while (d->next < d->items.size()) {
        const Item& item = d->items[d->next++];
        if (!Addressable(item.record)) continue;
        bool ok = false;
        const std::string name = HostUnits(item.diskName, &ok);
        if (!ok) {
            LogFormat("WARNING: A name that is not UTF-16 (a lone surrogate), skipped in %s\r\n",
                      d->path);
            continue;
        }
        ntfs_inode* ni = ntfs_inode_open(volume->vol, item.record);
        if (ni == nullptr) {
            LogNtfsError("Cannot open a file record");
            continue;
        }
        const auto dos = d->dosNames.find(item.record);
        if (dos != d->dosNames.end()) {
            const std::string dosName = HostUnits(dos->second, &ok);
            if (ok) NtfsNoteDosName(*volume, item.record, d->record, dosName);
        }
        FillEntry(entry, d, name, item.record, IsDirectory(ni));
        uint64_t size = 0;
        NtfsPackInode(*volume, ni, entry->attributes, &size, true);
        entry->size = uint32_t(size);
        entry->location2 = kPacked;
        d->streams.clear();
        d->nextStream = 0;
        {
            // Files and directories alike may carry named streams.
            NtfsListStreams(ni, d->streams);
            d->streamRecord = item.record;
            d->streamOf = name;
            std::memcpy(d->fileAttributes, entry->attributes, kAttrMax);
        }
        ntfs_inode_close(ni);
        return 0;
    }
    return 1;
}

} // namespace

Status NtfsNextDirEntry(FsState& part, FsDirHandle* handle, FsEntry* entry) {
    NtfsDir* d = AsDir(handle);
    MonitorESC();
    if (part.volumeNames) return NextVolumeEntry(part, d, entry);
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
    NtfsVolume* volume = NtfsVolumeOf(part);
    ntfs_volume* vol = NtfsMounted(part);
    if (vol == nullptr || volume == nullptr) return 1;
    const bool root = !entry->name || entry->name[0] == '\0';
    if (root) entry->start = FILE_root;
    uint64_t size = 0;
    if (!root && entry->location2 == kPacked) {
        // Packed as it was listed.
        size = uint64_t(ld32(entry->attributes + kAttrSize)) |
               uint64_t(ld32(entry->attributes + ntfsrec::kSizeHigh)) << 32;
    } else {
        ntfs_inode* ni = entry->start != 0 ? ntfs_inode_open(vol, entry->start) : nullptr;
        if (ni == nullptr) {
            Log("NTFS ERROR: Bad file record !\r\n");
            return 1;
        }
        entry->kind = IsDirectory(ni) ? kKindDir : kKindFile;
        NtfsPackInode(*volume, ni, entry->attributes, &size, part.volumeNames);
        ntfs_inode_close(ni);
    }
    // Archives carry the size's high half in the attributes.
    entry->size = size;
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
