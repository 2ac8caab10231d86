// Directories: enumeration, entry details, and the creation and removal of
// files and subdirectories, through libext2fs's directory calls (which
// keep hashed indexes and checksums right).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ext4_internal.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr size_t kNameMax = 255;

struct Ext4Dir {
    ext2_ino_t inode = 0;
    struct Item {
        ext2_ino_t inode;
        uint8_t type; // the record's file type (EXT2_FT_...), 0 when unknown
        std::string name;
    };
    std::vector<Item> items; // the directory's records when it was opened
    size_t next = 0;
    char path[kPathMax] = {};
    size_t pathLength = 0;
};

Ext4Dir* AsDir(FsDirHandle* handle) {
    return reinterpret_cast<Ext4Dir*>(handle);
}

// Names: PC code page in memory, ISO-8859-1 on disk, as on ext2 volumes.
std::string NameToDisk(const char* name) {
    std::string out(name);
    for (char& c : out) {
        const uint8_t b = uint8_t(c);
        if (b >= 128) c = char(pc2iso[b - 128]);
    }
    return out;
}

std::string NameFromDisk(const char* name, size_t length) {
    std::string out(name, length);
    for (char& c : out) {
        uint8_t b = uint8_t(c);
        if (b >= 160) b = IsoToPc(b);
        // A zero or a slash cannot be part of a name: a damaged record
        // still yields one path component.
        if (b == 0 || b == '/') b = '?';
        c = char(b);
    }
    return out;
}

bool ValidName(const char* name) {
    const size_t n = std::strlen(name);
    if (n == 0 || n > kNameMax || std::strchr(name, '/') || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0) {
        Log("EXT4 ERROR: Invalid file name\r\n");
        return false;
    }
    // A name must read back as it was given, or lookups would never find
    // it again.
    const std::string disk = NameToDisk(name);
    if (NameFromDisk(disk.data(), disk.size()) != name) {
        Log("EXT4 ERROR: Name has characters that cannot be stored\r\n");
        return false;
    }
    return true;
}

void SetEntryPath(FsEntry* entry, const char* dirPath, size_t length, const char* name) {
    length = std::min(length, size_t(kPathMax) - 1);
    std::memmove(entry->path, dirPath, length);
    const size_t nameLength = std::min(std::strlen(name), size_t(kPathMax) - 1 - length);
    std::memmove(entry->path + length, name, nameLength);
    entry->path[length + nameLength] = '\0';
    entry->name = entry->path + length;
}

int CollectRecord(ext2_ino_t, int, ext2_dir_entry* dirent, int, int, char*, void* data) {
    auto* items = static_cast<std::vector<Ext4Dir::Item>*>(data);
    const int length = ext2fs_dirent_name_len(dirent);
    if (dirent->inode == 0 || length == 0) return 0;
    if ((length == 1 && dirent->name[0] == '.') ||
        (length == 2 && dirent->name[0] == '.' && dirent->name[1] == '.'))
        return 0;
    items->push_back({dirent->inode, uint8_t(ext2fs_dirent_file_type(dirent)),
                      NameFromDisk(dirent->name, size_t(length))});
    return 0;
}

// The record type of an inode mode.
int FileType(uint16_t mode) {
    if (LINUX_S_ISREG(mode)) return EXT2_FT_REG_FILE;
    if (LINUX_S_ISDIR(mode)) return EXT2_FT_DIR;
    if (LINUX_S_ISLNK(mode)) return EXT2_FT_SYMLINK;
    if (LINUX_S_ISCHR(mode)) return EXT2_FT_CHRDEV;
    if (LINUX_S_ISBLK(mode)) return EXT2_FT_BLKDEV;
    if (LINUX_S_ISFIFO(mode)) return EXT2_FT_FIFO;
    if (LINUX_S_ISSOCK(mode)) return EXT2_FT_SOCK;
    return EXT2_FT_UNKNOWN;
}

// Adds a record for inode to the directory, growing it by a block when
// it is full.
errcode_t AddRecord(ext2_filsys fs, ext2_ino_t dir, const std::string& name, ext2_ino_t inode,
                    int type) {
    errcode_t error = ext2fs_link(fs, dir, name.c_str(), inode, type);
    if (error == EXT2_ET_DIR_NO_SPACE) {
        error = ext2fs_expand_dir(fs, dir);
        if (error == 0) error = ext2fs_link(fs, dir, name.c_str(), inode, type);
    }
    return error;
}

void NoteIfFull(errcode_t error) {
    if (error == EXT2_ET_BLOCK_ALLOC_FAIL || error == EXT2_ET_INODE_ALLOC_FAIL ||
        error == EXT2_ET_DIR_NO_SPACE)
        NoteDiskFull();
}

void FillNewEntry(Ext4Dir* d, const char* name, uint8_t kind, ext2_ino_t inode,
                  const ext2_inode& raw, FsEntry* entry) {
    SetEntryPath(entry, d->path, d->pathLength, name);
    entry->kind = kind;
    entry->size = kind == kKindDir ? raw.i_size : 0;
    entry->start = inode;
    entry->location1 = entry->location2 = 0;
    entry->location3 = d->inode;
    PackInodeAttr(entry->attributes, raw);
}

// True when the directory holds nothing but "." and "..".
bool DirIsEmpty(ext2_filsys fs, ext2_ino_t dir) {
    std::vector<Ext4Dir::Item> items;
    if (ext2fs_dir_iterate2(fs, dir, 0, nullptr, CollectRecord, &items) != 0) return false;
    return items.empty();
}

} // namespace

Status Ext4OpenDir(FsState& part, FsEntry* entry, FsDirHandle** dir) {
    ext2_filsys fs = VolumeOf(part);
    if (fs == nullptr) return 1;
    const bool named = entry && entry->name && entry->name[0];
    if (named && entry->kind != kKindDir) return 1;
    const ext2_ino_t n = named ? entry->start : EXT2_ROOT_INO;
    // A path at its length limit cannot name anything below it; this also
    // ends walks through damaged volumes whose directories hold their own
    // ancestors.
    if (entry && strnlen(entry->path, kPathMax) >= size_t(kPathMax) - 2) {
        Log("EXT4 ERROR: Path too long\r\n");
        return 1;
    }
    if (n == 0 || n > fs->super->s_inodes_count) return 1;
    ext2_inode inode{};
    if (errcode_t error = ext2fs_read_inode(fs, n, &inode)) {
        LogExt4Error("Cannot read a directory", error);
        return 1;
    }
    if (!LINUX_S_ISDIR(inode.i_mode)) {
        Log("EXT4 ERROR: Bad directory inode\r\n");
        return 1;
    }
    auto* d = new Ext4Dir;
    d->inode = n;
    if (errcode_t error = ext2fs_dir_iterate2(fs, n, 0, nullptr, CollectRecord, &d->items)) {
        LogExt4Error("Cannot read a directory", error);
        delete d;
        return 1;
    }
    if (named) {
        // The entry path is cut so that the "/" always fits.
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

std::string Ext4NameToDisk(const char* name) {
    return NameToDisk(name);
}

int Ext4FileType(uint16_t mode) {
    return FileType(mode);
}

errcode_t Ext4AddRecord(ext2_filsys fs, ext2_ino_t dir, const std::string& name, ext2_ino_t inode,
                        int type) {
    return AddRecord(fs, dir, name, inode, type);
}

Status Ext4NextDirEntry(FsState&, FsDirHandle* handle, FsEntry* entry) {
    Ext4Dir* d = AsDir(handle);
    MonitorESC();
    if (d->next >= d->items.size()) return 1;
    const Ext4Dir::Item& item = d->items[d->next++];
    SetEntryPath(entry, d->path, d->pathLength, item.name.c_str());
    entry->kind = item.type == EXT2_FT_DIR ? kKindDir : kKindFile;
    entry->start = item.inode;
    entry->location1 = entry->location2 = 0;
    entry->location3 = d->inode;
    return 0;
}

Status Ext4CloseDir(FsState&, FsDirHandle* handle) {
    delete AsDir(handle);
    return 0;
}

Status Ext4GetFileInfo(FsState& part, FsEntry* entry) {
    ext2_filsys fs = VolumeOf(part);
    if (fs == nullptr) return 1;
    if (!entry->name || entry->name[0] == '\0') entry->start = EXT2_ROOT_INO;
    ext2_inode_large large{};
    if (entry->start == 0 || entry->start > fs->super->s_inodes_count ||
        ext2fs_read_inode_full(fs, entry->start, reinterpret_cast<ext2_inode*>(&large),
                               sizeof large) != 0) {
        Log("EXT4 ERROR: Bad inode !\r\n");
        return 1;
    }
    ext2_inode& inode = *reinterpret_cast<ext2_inode*>(&large);
    // A regular file's size is 64-bit; the packed attributes carry its high
    // half (kSizeHigh), so the archive holds files of 4 GB and more whole.
    entry->kind = LINUX_S_ISDIR(inode.i_mode) ? kKindDir : kKindFile;
    entry->size = LINUX_S_ISREG(inode.i_mode)   ? EXT2_I_SIZE(&inode)
                  : LINUX_S_ISDIR(inode.i_mode) ? inode.i_size
                                                : 0;
    // A long symbolic link's target is its content; a short one travels in
    // the attributes.
    if (LINUX_S_ISLNK(inode.i_mode) && !ext2fs_is_fast_symlink(&inode)) entry->size = inode.i_size;
    PackInodeAttr(entry->attributes, inode);
    PackInodeExtra(entry->attributes, large, entry->start,
                   ext2fs_get_stat_i_blocks(fs, &inode) * 512);
    return 0;
}

Status Ext4CreateFile(FsState& part, FsDirHandle* handle, const char* name,
                      const uint8_t* attributes, FsEntry* entry) {
    Ext4Dir* d = AsDir(handle);
    ext2_filsys fs = WritableVolume(part);
    if (fs == nullptr || !ValidName(name)) return 1;
    ext2_ino_t n = 0;
    if (errcode_t error = ext2fs_new_inode(fs, d->inode, kExt4NewFileMode, nullptr, &n)) {
        NoteIfFull(error);
        LogExt4Error("No free inode", error);
        return 1;
    }
    ext2_inode inode{};
    const uint32_t now = uint32_t(std::time(nullptr));
    inode.i_mode = kExt4NewFileMode;
    inode.i_atime = inode.i_ctime = inode.i_mtime = now;
    if (attributes) UnPackInodeAttr(inode, attributes);
    // A file is made without data; whatever the attributes say, it is no
    // directory, and only a short link keeps its size (its target is in
    // the inode).
    const uint16_t type = inode.i_mode & LINUX_S_IFMT;
    if (type == 0 || type == LINUX_S_IFDIR)
        inode.i_mode = uint16_t(LINUX_S_IFREG | (inode.i_mode & 07777));
    inode.i_links_count = 1;
    const bool inlineLink =
        LINUX_S_ISLNK(inode.i_mode) && inode.i_size > 0 && inode.i_size <= kExt4FastLinkMax;
    const bool special = !LINUX_S_ISREG(inode.i_mode) && !LINUX_S_ISLNK(inode.i_mode);
    if (!inlineLink) inode.i_size = 0;
    if (!inlineLink && !special && ext2fs_has_feature_extents(fs->super)) {
        // An empty extent tree in the inode, as files of this volume have.
        inode.i_flags &= ~uint32_t(EXT4_EXTENTS_FL);
        std::memset(inode.i_block, 0, sizeof inode.i_block);
        ext2_extent_handle_t extents = nullptr;
        if (errcode_t error = ext2fs_extent_open2(fs, n, &inode, &extents)) {
            LogExt4Error("Cannot make a file", error);
            return 1;
        }
        ext2fs_extent_free(extents);
    }
    if (errcode_t error = ext2fs_write_new_inode(fs, n, &inode)) {
        LogExt4Error("Cannot make a file", error);
        return 1;
    }
    ext2fs_inode_alloc_stats2(fs, n, +1, 0);
    if (errcode_t error = AddRecord(fs, d->inode, NameToDisk(name), n, FileType(inode.i_mode))) {
        NoteIfFull(error);
        LogExt4Error("Cannot add the directory record", error);
        ext2fs_inode_alloc_stats2(fs, n, -1, 0);
        return 1;
    }
    FillNewEntry(d, name, kKindFile, n, inode, entry);
    return 0;
}

Status Ext4CreateDir(FsState& part, FsDirHandle* handle, const char* name,
                     const uint8_t* attributes, FsEntry* entry) {
    Ext4Dir* d = AsDir(handle);
    ext2_filsys fs = WritableVolume(part);
    if (fs == nullptr || !ValidName(name)) return 1;
    const std::string diskName = NameToDisk(name);
    errcode_t error = ext2fs_mkdir(fs, d->inode, 0, diskName.c_str());
    if (error == EXT2_ET_DIR_NO_SPACE) {
        error = ext2fs_expand_dir(fs, d->inode);
        if (error == 0) error = ext2fs_mkdir(fs, d->inode, 0, diskName.c_str());
    }
    ext2_ino_t n = 0;
    if (error == 0)
        error = ext2fs_lookup(fs, d->inode, diskName.c_str(), int(diskName.size()), nullptr, &n);
    ext2_inode inode{};
    if (error == 0) error = ext2fs_read_inode(fs, n, &inode);
    if (error != 0) {
        NoteIfFull(error);
        LogExt4Error("Cannot make a directory", error);
        return 1;
    }
    if (attributes) {
        const uint32_t size = inode.i_size, flags = inode.i_flags;
        uint32_t block[EXT2_N_BLOCKS];
        std::memcpy(block, inode.i_block, sizeof block);
        UnPackInodeAttr(inode, attributes);
        // Its type, size and block map stay a directory's.
        inode.i_mode = uint16_t(LINUX_S_IFDIR | (inode.i_mode & 07777));
        inode.i_size = size;
        inode.i_flags =
            (inode.i_flags & ~uint32_t(EXT4_EXTENTS_FL | EXT4_INLINE_DATA_FL | EXT2_INDEX_FL)) |
            (flags & (EXT4_EXTENTS_FL | EXT4_INLINE_DATA_FL | EXT2_INDEX_FL));
        std::memcpy(inode.i_block, block, sizeof block);
        if (errcode_t failed = ext2fs_write_inode(fs, n, &inode)) {
            LogExt4Error("Cannot set the attributes of a directory", failed);
            return 1;
        }
    }
    FillNewEntry(d, name, kKindDir, n, inode, entry);
    return 0;
}

Status Ext4RemoveFile(FsState& part, FsEntry* entry) {
    ext2_filsys fs = WritableVolume(part);
    if (fs == nullptr) return 1;
    const ext2_ino_t n = entry->start;
    if (n < EXT2_FIRST_INO(fs->super) || n > fs->super->s_inodes_count) {
        Log("EXT4 ERROR: Cannot remove a reserved inode\r\n");
        return 1;
    }
    ext2_inode inode{};
    if (errcode_t error = ext2fs_read_inode(fs, n, &inode)) {
        LogExt4Error("Cannot read the inode of a removed entry", error);
        return 1;
    }
    const bool directory = LINUX_S_ISDIR(inode.i_mode);
    if (directory && !DirIsEmpty(fs, n)) {
        Log("EXT4 ERROR: Directory not empty\r\n");
        return 1;
    }
    // The record goes first: a record that cannot be found or changed
    // leaves the inode and its blocks alone.
    const ext2_ino_t parent = entry->location3;
    if (errcode_t error = ext2fs_unlink(fs, parent, NameToDisk(entry->name).c_str(), n, 0)) {
        LogExt4Error("Directory record not removed", error);
        return 1;
    }
    entry->start = 0;
    if (!directory && inode.i_links_count > 1) {
        // Another name still refers to the file: only this name goes.
        --inode.i_links_count;
        if (errcode_t error = ext2fs_write_inode(fs, n, &inode)) {
            LogExt4Error("Cannot write an inode", error);
            return 1;
        }
        return 0;
    }
    if (ext2fs_inode_has_valid_blocks2(fs, &inode)) {
        if (errcode_t error = ext2fs_punch(fs, n, &inode, nullptr, 0, ~0ULL)) {
            LogExt4Error("Cannot free the blocks of a removed entry", error);
            return 1;
        }
    }
    // An extended-attribute block shared with other inodes stays theirs.
    if (blk64_t acl = ext2fs_file_acl_block(fs, &inode)) {
        __u32 count = 0;
        if (ext2fs_adjust_ea_refcount3(fs, acl, nullptr, -1, &count, n) == 0 && count == 0)
            ext2fs_block_alloc_stats2(fs, acl, -1);
        ext2fs_file_acl_block_set(fs, &inode, 0);
    }
    inode.i_links_count = 0;
    inode.i_dtime = uint32_t(std::time(nullptr));
    if (errcode_t error = ext2fs_write_inode(fs, n, &inode)) {
        LogExt4Error("Cannot write an inode", error);
        return 1;
    }
    ext2fs_inode_alloc_stats2(fs, n, -1, directory ? 1 : 0);
    if (directory) {
        // The parent loses the removed directory's "..".
        ext2_inode up{};
        if (ext2fs_read_inode(fs, parent, &up) == 0 && LINUX_S_ISDIR(up.i_mode) &&
            up.i_links_count > 2) {
            --up.i_links_count;
            ext2fs_write_inode(fs, parent, &up);
        }
    }
    return 0;
}

} // namespace vk
