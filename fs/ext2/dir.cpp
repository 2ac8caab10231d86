// Directories: enumeration, entry lookup support, creation and removal of
// records, files and subdirectories.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "ext2_internal.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

struct Ext2Dir {
    Ext2Inode* inode = nullptr;
    std::vector<uint8_t> buffer; // current directory block
    uint32_t block = 0;          // its block number
    uint32_t blockIndex = 0;     // its index in the directory
    uint32_t offset = 0;         // next record in the block
    uint32_t size = 0;           // directory size in bytes
    char path[kPathMax] = {};
    size_t pathLength = 0;
};

Ext2Dir* AsDir(FsDirHandle* handle) {
    return reinterpret_cast<Ext2Dir*>(handle);
}

// One parsed record.
struct Record {
    uint32_t inode = 0;
    uint32_t recLen = 0;
    uint32_t nameLen = 0;
    const uint8_t* name = nullptr;
};

// Parses the record at `offset` of a directory block: false (after
// logging) for a record that runs past the block, is shorter than its
// name or not a multiple of 4 long.
bool ParseRecord(FsState& part, const uint8_t* block, uint32_t B, uint32_t offset, Record* r) {
    const Ext2Area a = LoadExt2Area(part);
    if (offset + ext2de::kHeader > B) return false;
    const uint8_t* p = block + offset;
    r->inode = ld32(p + ext2de::kInode);
    r->recLen = ld16(p + ext2de::kRecLen);
    r->nameLen = a.typedRecords ? p[ext2de::kNameLen] : ld16(p + ext2de::kNameLen);
    r->name = p + ext2de::kName;
    bool ok = r->recLen >= ext2de::kHeader && r->recLen % 4 == 0 && r->recLen <= B - offset &&
              (r->inode == 0 ||
               (r->nameLen <= ext2de::kNameMax && r->nameLen + ext2de::kHeader <= r->recLen));
    if (!ok) Log("EXT2 ERROR: Damaged directory record\r\n");
    return ok;
}

bool IsName(const Record& r, const char* name) {
    size_t n = std::strlen(name);
    return r.nameLen == n && std::memcmp(r.name, name, n) == 0;
}

void SetEntryPath(FsEntry* entry, const char* dirPath, size_t length, const char* name) {
    length = std::min(length, size_t(kPathMax) - 1);
    std::memmove(entry->path, dirPath, length);
    size_t nameLength = std::min(std::strlen(name), size_t(kPathMax) - 1 - length);
    std::memmove(entry->path + length, name, nameLength);
    entry->path[length + nameLength] = '\0';
    entry->name = entry->path + length;
}

// Loads block `index` of the directory into the handle.
bool LoadDirBlock(FsState& part, Ext2Dir* d, uint32_t index) {
    uint32_t b = ReadInodeBlock(part, d->inode, index, d->buffer.data());
    if (b == 0) return false;
    d->block = b == kHoleBlock ? 0 : b;
    d->blockIndex = index;
    d->offset = 0;
    return true;
}

bool ValidName(const char* name) {
    size_t n = std::strlen(name);
    if (n == 0 || n > ext2de::kNameMax || std::strchr(name, '/') || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0) {
        Log("EXT2 ERROR: Invalid file name\r\n");
        return false;
    }
    // A name must read back as it was given, or lookups would never find
    // it again and each copy would add another record of it (PC characters
    // without an ISO-8859-1 equivalent).
    uint8_t disk[ext2de::kNameMax];
    char back[ext2de::kNameMax + 1];
    NameToDisk(name, disk, n);
    NameFromDisk(disk, n, back);
    if (std::memcmp(back, name, n) != 0) {
        Log("EXT2 ERROR: Name has characters that cannot be stored\r\n");
        return false;
    }
    return true;
}

// Re-reads a handle's inode from its table block, so that changes made
// through other handles (links, size) are not undone by writing it.
Status RefreshInode(FsState& part, Ext2Inode* inode) {
    Ext2Area a = LoadExt2Area(part);
    std::vector<uint8_t> current(a.B());
    if (ReadBlock(part, inode->tableBlock, current.data()) != 0) return -1;
    if (std::memcmp(current.data() + inode->offset, inode->raw, ext2ino::kSize) == 0) return 0;
    std::copy_n(current.data() + inode->offset, ext2ino::kSize, inode->raw);
    uint32_t size = ld32(inode->raw + ext2ino::kFileSize);
    inode->blockCount = uint32_t((uint64_t(size) + a.B() - 1) / a.B());
    for (IndirectBuffer* b :
         {&inode->single, &inode->dbl, &inode->dbl2, &inode->tri, &inode->tri2, &inode->tri3})
        *b = IndirectBuffer{};
    return 0;
}

// Appends a record for entry (its start inode, its name) at the end of the
// directory's last block, growing the directory by a block when it does
// not fit. Sets location1 and location2.
Status CreateDirEntry(FsState& part, Ext2Dir* d, FsEntry* entry) {
    Ext2Area a = LoadExt2Area(part);
    const uint32_t B = a.B();
    Ext2Inode* dir = d->inode;
    if (RefreshInode(part, dir) != 0 || dir->blockCount == 0) return 1;
    std::vector<uint8_t> block(B);
    uint32_t b = ReadInodeBlock(part, dir, dir->blockCount - 1, block.data());
    if (b == 0 || b == kHoleBlock) return 1;
    // The last record of the block, and the bytes it really needs.
    uint32_t offset = 0, last = 0;
    Record r;
    for (uint32_t steps = 0; offset < B; ++steps) {
        if (!ParseRecord(part, block.data(), B, offset, &r)) return 1;
        last = offset;
        offset += r.recLen;
    }
    ParseRecord(part, block.data(), B, last, &r);
    uint32_t used = (r.inode == 0 && last == 0) ? 0 : RecLen(r.nameLen);
    const uint16_t need = RecLen(uint32_t(std::strlen(entry->name)));
    uint32_t at = last + used;
    if (used + need > B - last) {
        uint32_t fresh = AllocateBlock(part, nullptr);
        if (fresh == 0) return 1;
        if (AddBlock(part, fresh, dir, nullptr) != 0) {
            FreeBlock(part, fresh);
            return 1;
        }
        st32(dir->raw + ext2ino::kFileSize, ld32(dir->raw + ext2ino::kFileSize) + B);
        WriteInode(part, dir, true);
        d->size = ld32(dir->raw + ext2ino::kFileSize);
        b = fresh;
        std::fill(block.begin(), block.end(), 0);
        at = 0;
    } else if (used != 0) {
        st16(block.data() + last + ext2de::kRecLen, uint16_t(used));
    }
    MakeEntry(entry->start, entry->name, block.data() + at);
    st16(block.data() + at + ext2de::kRecLen, uint16_t(B - at));
    entry->location1 = b;
    entry->location2 = at;
    return WriteBlock(part, b, block.data()) == 0 ? 0 : 1;
}

// Takes the record of entry out of its block.
Status RemoveDirEntry(FsState& part, FsEntry* entry) {
    Ext2Area a = LoadExt2Area(part);
    const uint32_t B = a.B();
    if (!a.ValidBlock(entry->location1) || entry->location2 >= B) return 1;
    std::vector<uint8_t> block(B);
    if (ReadBlock(part, entry->location1, block.data()) != 0) return 1;
    uint32_t offset = 0, previous = 0;
    Record r;
    bool found = false;
    while (offset < B) {
        if (!ParseRecord(part, block.data(), B, offset, &r)) return 1;
        if (offset == entry->location2) {
            found = true;
            break;
        }
        previous = offset;
        offset += r.recLen;
    }
    if (!found || r.inode != entry->start) {
        Log("EXT2 ERROR: Directory record not found\r\n");
        return 1;
    }
    uint8_t* p = block.data() + offset;
    if (offset > 0) {
        uint8_t* q = block.data() + previous;
        st16(q + ext2de::kRecLen, uint16_t(ld16(q + ext2de::kRecLen) + r.recLen));
    } else {
        // The first record of its block becomes an empty record of inode 0
        // (enumeration skips it). Nothing is moved, so that the records an
        // open enumeration still has to return stay where it finds them.
        st32(p + ext2de::kInode, 0);
    }
    const uint32_t b = entry->location1;
    entry->location1 = entry->location2 = entry->location3 = 0;
    return WriteBlock(part, b, block.data()) == 0 ? 0 : 1;
}

void FillNewEntry(FsState& part, Ext2Dir* d, const char* name, uint8_t kind, const Ext2Inode* inode,
                  FsEntry* entry) {
    SetEntryPath(entry, d->path, d->pathLength, name);
    entry->kind = kind;
    entry->size = kind == kKindDir ? LoadExt2Area(part).B() : 0;
    entry->start = inode->number;
    entry->location3 = d->inode->number;
    PackAttr(entry->attributes, inode->raw);
}

// Attributes of a new inode: the given ones, or the current time as its
// access, change and modification times.
void ApplyAttributes(Ext2Inode* inode, const uint8_t* attributes) {
    if (attributes) {
        UnPackAttr(inode->raw, attributes);
        return;
    }
    const uint32_t now = uint32_t(std::time(nullptr));
    st32(inode->raw + ext2ino::kAtime, now);
    st32(inode->raw + ext2ino::kCtime, now);
    st32(inode->raw + ext2ino::kMtime, now);
}

// Gives back an inode that was allocated but could not be linked.
void DropInode(FsState& part, Ext2Inode* inode, bool directory) {
    std::fill_n(inode->raw, ext2ino::kSize, 0);
    WriteInode(part, inode, true);
    FreeInode(part, inode->number);
    if (directory) {
        Ext2Area a = LoadExt2Area(part);
        if (Ext2Group* g = OpenGroup(part, (inode->number - 1) / a.inodesPerGroup, false)) {
            uint16_t used = ld16(g->desc + ext2gd::kUsedDirs);
            if (used) st16(g->desc + ext2gd::kUsedDirs, uint16_t(used - 1));
            WriteGroup(part, g);
            CloseGroup(g);
        }
    }
    CloseInode(inode);
}

} // namespace

Status Ext2OpenDir(FsState& part, FsEntry* entry, FsDirHandle** dir) {
    Ext2Area a = LoadExt2Area(part);
    const uint32_t n = entry && entry->name && entry->name[0] ? entry->start : kExt2RootInode;
    if (entry && entry->name && entry->name[0] && entry->kind != kKindDir) return 1;
    // A path at its length limit cannot name anything below it. This also
    // ends walks through damaged volumes whose directories contain their
    // own ancestors.
    if (entry && strnlen(entry->path, kPathMax) >= size_t(kPathMax) - 2) {
        Log("EXT2 ERROR: Path too long\r\n");
        return 1;
    }
    Ext2Inode* inode = OpenInode(part, n, true);
    if (!inode) return 1;
    const uint32_t size = ld32(inode->raw + ext2ino::kFileSize);
    if ((ld16(inode->raw + ext2ino::kMode) & kExt2TypeMask) != kExt2Dir || size == 0 ||
        size % a.B() != 0 || inode->blockCount > a.blocksCount) {
        Log("EXT2 ERROR: Bad directory inode\r\n");
        CloseInode(inode);
        return 1;
    }
    auto* d = new Ext2Dir;
    d->inode = inode;
    d->size = size;
    d->buffer.resize(a.B());
    // The first two records must be "." (this directory) and "..".
    Record dot, dotdot;
    if (!LoadDirBlock(part, d, 0) || d->block == 0 ||
        !ParseRecord(part, d->buffer.data(), a.B(), 0, &dot) || !IsName(dot, ".") ||
        dot.inode != n || !ParseRecord(part, d->buffer.data(), a.B(), dot.recLen, &dotdot) ||
        !IsName(dotdot, "..")) {
        Log("EXT2 ERROR: Directory without \".\" and \"..\"\r\n");
        CloseInode(inode);
        delete d;
        return 1;
    }
    d->offset = dot.recLen + dotdot.recLen;
    if (entry && entry->name && entry->name[0]) {
        // The entry path is cut so that the "/" always fits.
        size_t n = strnlen(entry->path, kPathMax - 2);
        std::memcpy(d->path, entry->path, n);
        d->path[n] = '/';
        d->path[n + 1] = '\0';
    } else {
        std::snprintf(d->path, sizeof d->path, "{%d:%d}", part.disk & 0x7F, int(part.partition));
    }
    d->pathLength = std::strlen(d->path);
    *dir = reinterpret_cast<FsDirHandle*>(d);
    return 0;
}

Status Ext2NextDirEntry(FsState& part, FsDirHandle* handle, FsEntry* entry) {
    Ext2Dir* d = AsDir(handle);
    Ext2Area a = LoadExt2Area(part);
    const uint32_t B = a.B();
    for (;;) {
        MonitorESC();
        if (uint64_t(d->blockIndex) * B + d->offset >= d->size) return 1;
        if (d->offset >= B) {
            if (!LoadDirBlock(part, d, d->blockIndex + 1)) return 1;
            if (d->block == 0) { // a hole: nothing recorded there
                d->offset = B;
                continue;
            }
        }
        Record r;
        if (!ParseRecord(part, d->buffer.data(), B, d->offset, &r)) return 1;
        const uint32_t at = d->offset;
        d->offset += r.recLen;
        if (r.inode == 0) continue;
        if (r.nameLen == 0) return 1;
        if (!a.ValidInode(r.inode)) {
            Log("EXT2 ERROR: Directory record with a bad inode number\r\n");
            continue;
        }
        char name[ext2de::kNameMax + 1];
        NameFromDisk(r.name, r.nameLen, name);
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        SetEntryPath(entry, d->path, d->pathLength, name);
        entry->start = r.inode;
        entry->location1 = d->block;
        entry->location2 = at;
        entry->location3 = d->inode->number;
        return 0;
    }
}

Status Ext2GetFileInfo(FsState& part, FsEntry* entry) {
    Ext2Area a = LoadExt2Area(part);
    if (!entry->name || entry->name[0] == '\0') entry->start = kExt2RootInode;
    Ext2Inode* inode = OpenInode(part, entry->start, false);
    if (!inode) {
        Log("EXT2 ERROR: Bad inode !\r\n");
        return 1;
    }
    const uint8_t* raw = inode->raw;
    const uint16_t type = ld16(raw + ext2ino::kMode) & kExt2TypeMask;
    // Sizes travel in 32 bits: a larger file cannot be handed on whole.
    if (type == kExt2Regular && ld32(raw + ext2ino::kSizeHigh) != 0) {
        Log("EXT2 ERROR: File of 4 GB or more\r\n");
        CloseInode(inode);
        return kFsTooLarge;
    }
    entry->size = ld32(raw + ext2ino::kFileSize);
    entry->kind = type == kExt2Dir ? kKindDir : kKindFile;
    if (type == kExt2Symlink) {
        entry->size = inode->symlink == 2 ? std::min<uint64_t>(entry->size + 1, a.B()) : 0;
    } else if (type != kExt2Regular && type != kExt2Dir) {
        entry->size = 0;
    }
    PackAttr(entry->attributes, raw);
    CloseInode(inode);
    return 0;
}

uint32_t Ext2AddEntrySize(uint32_t size, FsEntry* entry, uint16_t blockSize) {
    if (size == 0) size = 24;
    if (!entry || !entry->name || blockSize == 0) return size;
    const uint32_t record = RecLen(uint32_t(strnlen(entry->name, ext2de::kNameMax)));
    const uint32_t used = size % blockSize;
    if (used != 0 && used + record > blockSize) size += blockSize - used;
    return size + record;
}

Status Ext2CreateFile(FsState& part, FsDirHandle* handle, const char* name,
                      const uint8_t* attributes, FsEntry* entry) {
    Ext2Dir* d = AsDir(handle);
    if (WriteRefused(part) || !ValidName(name)) return 1;
    Ext2Inode* inode = AllocateInode(part, kKindFile);
    if (!inode) return 1;
    ApplyAttributes(inode, attributes);
    // A file is made without data: only a short link keeps its size (its
    // target is in the inode). Whatever the attributes say, it is no
    // directory.
    uint16_t mode = ld16(inode->raw + ext2ino::kMode);
    if ((mode & kExt2TypeMask) == kExt2Dir || (mode & kExt2TypeMask) == 0)
        st16(inode->raw + ext2ino::kMode, uint16_t(kExt2Regular | (mode & 0x0FFF)));
    st16(inode->raw + ext2ino::kLinks, 1);
    if (IsFastSymlink(inode->raw)) {
        inode->symlink = 1;
    } else {
        st32(inode->raw + ext2ino::kFileSize, 0);
        inode->symlink = (mode & kExt2TypeMask) == kExt2Symlink ? 2 : 0;
    }
    WriteInode(part, inode, true);
    FillNewEntry(part, d, name, kKindFile, inode, entry);
    if (CreateDirEntry(part, d, entry) != 0) {
        Log("EXT2: dirent\r\n");
        DropInode(part, inode, false);
        return 1;
    }
    CloseInode(inode);
    return 0;
}

Status Ext2CreateDir(FsState& part, FsDirHandle* handle, const char* name,
                     const uint8_t* attributes, FsEntry* entry) {
    Ext2Dir* d = AsDir(handle);
    if (WriteRefused(part) || !ValidName(name)) return 1;
    Ext2Area a = LoadExt2Area(part);
    const uint32_t B = a.B();
    Ext2Inode* inode = AllocateInode(part, kKindDir);
    if (!inode) return 1;
    uint32_t b = AllocateBlock(part, nullptr);
    if (b == 0) {
        Log("EXT2: No free block\r\n");
        NoteDiskFull();
        DropInode(part, inode, true);
        return 1;
    }
    ApplyAttributes(inode, attributes);
    uint16_t mode = ld16(inode->raw + ext2ino::kMode);
    st16(inode->raw + ext2ino::kMode, uint16_t(kExt2Dir | (mode & 0x0FFF)));
    std::fill_n(inode->raw + ext2ino::kBlock, ext2ino::kBlockArea, 0);
    st32(inode->raw + ext2ino::kFileSize, B);
    st16(inode->raw + ext2ino::kLinks, 2);
    inode->symlink = 0;
    inode->blockCount = 0;
    AddBlock(part, b, inode, nullptr); // a first direct pointer never fails
    std::vector<uint8_t> block(B);
    MakeEntry(inode->number, ".", block.data());
    st16(block.data() + ext2de::kRecLen, 12);
    MakeEntry(d->inode->number, "..", block.data() + 12);
    st16(block.data() + 12 + ext2de::kRecLen, uint16_t(B - 12));
    WriteBlock(part, b, block.data());
    WriteInode(part, inode, true);
    FillNewEntry(part, d, name, kKindDir, inode, entry);
    if (CreateDirEntry(part, d, entry) != 0) {
        Log("EXT2: dirent\r\n");
        FreeBlock(part, b);
        DropInode(part, inode, true);
        return 1;
    }
    InodeMergeBuffers(d->inode, inode);
    CloseInode(inode);
    // The parent gains the new directory's "..".
    RefreshInode(part, d->inode);
    st16(d->inode->raw + ext2ino::kLinks, uint16_t(ld16(d->inode->raw + ext2ino::kLinks) + 1));
    WriteInode(part, d->inode, true);
    return 0;
}

Status Ext2CloseDir(FsState&, FsDirHandle* handle) {
    Ext2Dir* d = AsDir(handle);
    CloseInode(d->inode);
    delete d;
    return 0;
}

namespace {

// True when the directory of entry holds nothing but "." and "..". A
// directory that cannot be read counts as empty: its blocks go with it.
bool DirIsEmpty(FsState& part, const FsEntry* entry) {
    FsEntry probe;
    CopyEntry(probe, *entry);
    probe.kind = kKindDir;
    FsDirHandle* dir = nullptr;
    if (Ext2OpenDir(part, &probe, &dir) != 0) return true;
    FsEntry child{};
    bool empty = Ext2NextDirEntry(part, dir, &child) != 0;
    Ext2CloseDir(part, dir);
    return empty;
}

} // namespace

Status Ext2RemoveFile(FsState& part, FsEntry* entry) {
    if (WriteRefused(part)) return 1;
    Ext2Area a = LoadExt2Area(part);
    if (entry->start < kExt2FirstInode || !a.ValidInode(entry->start)) {
        Log("EXT2 ERROR: Cannot remove a reserved inode\r\n");
        return 1;
    }
    Ext2Inode* inode = OpenInode(part, entry->start, true);
    if (!inode) return 1;
    const bool isDir = (ld16(inode->raw + ext2ino::kMode) & kExt2TypeMask) == kExt2Dir;
    if (isDir && !DirIsEmpty(part, entry)) {
        Log("EXT2 ERROR: Directory not empty\r\n");
        CloseInode(inode);
        return 1;
    }
    // The record goes first: a record that cannot be found or changed
    // leaves the inode and its blocks alone.
    const uint32_t parentInode = entry->location3;
    if (RemoveDirEntry(part, entry) != 0) {
        CloseInode(inode);
        return 1;
    }
    entry->start = 0;
    const bool directory = (ld16(inode->raw + ext2ino::kMode) & kExt2TypeMask) == kExt2Dir;
    const uint16_t links = ld16(inode->raw + ext2ino::kLinks);
    if (!directory && links > 1) {
        // Another name still refers to the file: only this name goes.
        st16(inode->raw + ext2ino::kLinks, uint16_t(links - 1));
        WriteInode(part, inode, true);
    } else {
        if (RemoveBlocks(part, inode, inode->blockCount) != 0) {
            // Blocks that cannot be given back stay with the inode, which
            // keeps them as its size: nothing is freed that is still mapped.
            const uint64_t kept = uint64_t(inode->blockCount) * a.B();
            if (kept < ld32(inode->raw + ext2ino::kFileSize))
                st32(inode->raw + ext2ino::kFileSize, uint32_t(kept));
            WriteInode(part, inode, true);
            CloseInode(inode);
            Log("EXT2 ERROR: Cannot free the blocks of a removed entry\r\n");
            return 1;
        }
        std::fill_n(inode->raw, ext2ino::kSize, 0);
        WriteInode(part, inode, true);
        FreeInode(part, inode->number);
        if (directory) {
            // The group counts one directory less, the parent one link less.
            if (Ext2Group* g = OpenGroup(part, (inode->number - 1) / a.inodesPerGroup, false)) {
                uint16_t used = ld16(g->desc + ext2gd::kUsedDirs);
                if (used) st16(g->desc + ext2gd::kUsedDirs, uint16_t(used - 1));
                WriteGroup(part, g);
                CloseGroup(g);
            }
            if (Ext2Inode* parent = OpenInode(part, parentInode, false)) {
                uint16_t parentLinks = ld16(parent->raw + ext2ino::kLinks);
                if ((ld16(parent->raw + ext2ino::kMode) & kExt2TypeMask) == kExt2Dir &&
                    parentLinks > 2) {
                    st16(parent->raw + ext2ino::kLinks, uint16_t(parentLinks - 1));
                    WriteInode(part, parent, true);
                }
                CloseInode(parent);
            }
        }
    }
    CloseInode(inode);
    return 0;
}

Status Ext2RemoveDir(FsState& part, FsEntry* entry) {
    return Ext2RemoveFile(part, entry);
}

} // namespace vk
