// File data through libext2fs's file calls: reading in chunks, writing
// within the size the file layer reserved, and resizing.
#include <algorithm>

#include "ext4_internal.h"
#include "platform/util.h"

namespace vk {

namespace {

struct Ext4File {
    ext2_file_t file = nullptr;
    uint64_t position = 0; // next byte read or written
    uint64_t reserved = 0; // writes: bytes the file layer reserved
    bool writing = false;
};

Ext4File* AsFile(FsFileHandle* handle) {
    return reinterpret_cast<Ext4File*>(handle);
}

// Opens inode n of a regular file; null after logging why.
Ext4File* OpenRegular(ext2_filsys fs, ext2_ino_t n, bool writing) {
    if (n < EXT2_ROOT_INO || n > fs->super->s_inodes_count) return nullptr;
    ext2_inode inode{};
    if (errcode_t error = ext2fs_read_inode(fs, n, &inode)) {
        LogExt4Error("Cannot read an inode", error);
        return nullptr;
    }
    // A long symbolic link's target is read as its content.
    const bool longLink = !writing && LINUX_S_ISLNK(inode.i_mode) &&
                          !ext2fs_is_fast_symlink(&inode) && !(inode.i_flags & EXT4_INLINE_DATA_FL);
    if (!LINUX_S_ISREG(inode.i_mode) && !longLink) return nullptr;
    ext2_file_t file = nullptr;
    if (errcode_t error = ext2fs_file_open2(fs, n, &inode, writing ? EXT2_FILE_WRITE : 0, &file)) {
        LogExt4Error("Cannot open a file", error);
        return nullptr;
    }
    auto* f = new Ext4File;
    f->file = file;
    f->writing = writing;
    return f;
}

// Blocks that writing a file on from byte `from` to byte `to` may take,
// tree blocks included.
blk64_t BlocksToGrow(ext2_filsys fs, uint64_t from, uint64_t to) {
    if (to <= from) return 0;
    const uint64_t B = fs->blocksize;
    const blk64_t data = (to + B - 1) / B - (from + B - 1) / B;
    return data + data / (B / 12) + 1;
}

} // namespace

Status Ext4OpenFile(FsState& part, FsEntry* entry, uint64_t* size, FsFileHandle** file) {
    ext2_filsys fs = VolumeOf(part);
    if (fs == nullptr) return 1;
    Ext4File* f = OpenRegular(fs, entry->start, false);
    if (f == nullptr) {
        // Links, devices and the like have no content to read.
        if (entry->start < EXT2_ROOT_INO || entry->start > fs->super->s_inodes_count) return 1;
        f = new Ext4File;
        *size = 0;
    } else {
        *size = entry->size;
    }
    *file = reinterpret_cast<FsFileHandle*>(f);
    return 0;
}

uint16_t Ext4ReadFileChunk(FsState&, FsFileHandle* handle, uint8_t* buffer) {
    Ext4File* f = AsFile(handle);
    if (f->file == nullptr) return 0;
    unsigned int got = 0;
    if (errcode_t error = ext2fs_file_read(f->file, buffer, kChunkMax, &got)) {
        LogExt4Error("Cannot read a file", error);
        return 0;
    }
    f->position += got;
    return uint16_t(std::min<unsigned int>(got, kChunkMax));
}

Status Ext4RewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file) {
    ext2_filsys fs = WritableVolume(part);
    if (fs == nullptr || entry->start < EXT2_FIRST_INO(fs->super)) return 1;
    Ext4File* f = OpenRegular(fs, entry->start, true);
    if (f == nullptr) return 1;
    // A new content that could not fit even once the old one is given back
    // is refused while the file still holds its old content.
    const blk64_t held =
        ext2fs_get_stat_i_blocks(fs, ext2fs_file_get_inode(f->file)) * 512 / fs->blocksize;
    if (BlocksToGrow(fs, 0, newSize) > ext2fs_free_blocks_count(fs->super) + held) {
        Log("EXT4: No free block\r\n");
        NoteDiskFull();
        Ext4CloseFile(part, reinterpret_cast<FsFileHandle*>(f));
        return 1;
    }
    // The old content goes first; the new one is written from the start.
    if (errcode_t error = ext2fs_file_set_size2(f->file, 0)) {
        LogExt4Error("Cannot empty a file", error);
        Ext4CloseFile(part, reinterpret_cast<FsFileHandle*>(f));
        return 1;
    }
    FsFileHandle* handle = reinterpret_cast<FsFileHandle*>(f);
    if (Ext4AdjustFileSize(part, handle, entry, newSize) != 0) {
        Ext4CloseFile(part, handle);
        return 1;
    }
    *file = handle;
    return 0;
}

uint16_t Ext4WriteFileChunk(FsState&, FsFileHandle* handle, const uint8_t* buffer,
                            uint16_t length) {
    Ext4File* f = AsFile(handle);
    if (f->file == nullptr || !f->writing || f->position >= f->reserved) return 0;
    const unsigned int wanted = unsigned(
        std::min<uint64_t>({uint64_t(length), uint64_t(kChunkMax), f->reserved - f->position}));
    if (wanted == 0) return 0;
    if (errcode_t error = ext2fs_file_llseek(f->file, f->position, EXT2_SEEK_SET, nullptr)) {
        LogExt4Error("Cannot write a file", error);
        return 0;
    }
    unsigned int written = 0;
    errcode_t error = ext2fs_file_write(f->file, buffer, wanted, &written);
    // The block of the last bytes is held by the library until the next
    // block or the close: a full volume shows here or at the flush.
    if (error == 0) error = ext2fs_file_flush(f->file);
    if (error != 0) {
        if (error == EXT2_ET_BLOCK_ALLOC_FAIL) NoteDiskFull();
        LogExt4Error("Cannot write a file", error);
        return 0;
    }
    f->position += written;
    return uint16_t(written);
}

Status Ext4CloseFile(FsState&, FsFileHandle* handle) {
    Ext4File* f = AsFile(handle);
    Status status = 0;
    if (f->file != nullptr) {
        if (errcode_t error = ext2fs_file_close(f->file)) {
            if (error == EXT2_ET_BLOCK_ALLOC_FAIL) NoteDiskFull();
            LogExt4Error("Cannot close a file", error);
            status = 1;
        }
    }
    delete f;
    return status;
}

Status Ext4AdjustFileSize(FsState& part, FsFileHandle* handle, FsEntry* entry, uint32_t newSize) {
    Ext4File* f = AsFile(handle);
    ext2_filsys fs = WritableVolume(part);
    if (fs == nullptr || f->file == nullptr || !f->writing) return 1;
    // Blocks are taken as the content is written; a size the volume
    // cannot hold is refused here, before any of it.
    if (BlocksToGrow(fs, f->position, newSize) > ext2fs_free_blocks_count(fs->super)) {
        Log("EXT4: No free block\r\n");
        NoteDiskFull();
        return 1;
    }
    if (errcode_t error = ext2fs_file_set_size2(f->file, newSize)) {
        if (error == EXT2_ET_BLOCK_ALLOC_FAIL) NoteDiskFull();
        LogExt4Error("Cannot resize a file", error);
        return 1;
    }
    if (errcode_t error = ext2fs_file_flush(f->file)) {
        LogExt4Error("Cannot resize a file", error);
        return 1;
    }
    f->reserved = newSize;
    f->position = std::min<uint64_t>(f->position, newSize);
    entry->size = newSize;
    return 0;
}

} // namespace vk
