// Records appended to directories that one writer fills from start to end
// (a full restore): the last block of the directory being filled stays in
// memory and takes records until it is full, so that a record costs no
// walk through the directory (ext2fs_link reads and checks every block of
// it on each call, which makes filling a directory of n entries cost n²).
#include <cstring>

#include "ext4_internal.h"

namespace vk {

Ext4DirAppender::Ext4DirAppender(ext2_filsys fs) : fs_(fs), block_(fs->blocksize) {}

errcode_t Ext4DirAppender::Load(ext2_ino_t dir) {
    ext2_inode inode{};
    if (errcode_t error = ext2fs_read_inode(fs_, dir, &inode)) return error;
    // An indexed directory takes records only through the library, which
    // keeps its index.
    indexed_ = (inode.i_flags & EXT2_INDEX_FL) != 0;
    dir_ = dir;
    names_.clear();
    if (indexed_) return 0;
    const uint64_t size = EXT2_I_SIZE(&inode);
    if (size == 0 || size % fs_->blocksize != 0) return EXT2_ET_DIR_CORRUPTED;
    blk64_t physical = 0;
    if (errcode_t error = ext2fs_bmap2(fs_, dir, &inode, nullptr, 0, size / fs_->blocksize - 1,
                                       nullptr, &physical))
        return error;
    if (physical == 0) return EXT2_ET_DIR_CORRUPTED;
    physical_ = physical;
    return ext2fs_read_dir_block4(fs_, physical_, block_.data(), 0, dir);
}

errcode_t Ext4DirAppender::Flush() {
    if (!dirty_) return 0;
    dirty_ = false;
    return ext2fs_write_dir_block4(fs_, physical_, block_.data(), 0, dir_);
}

bool Ext4DirAppender::Place(const std::string& name, ext2_ino_t inode, int type) {
    const unsigned end = fs_->blocksize - (ext2fs_has_feature_metadata_csum(fs_->super)
                                               ? unsigned(sizeof(struct ext2_dir_entry_tail))
                                               : 0u);
    const unsigned need = EXT2_DIR_REC_LEN(name.size());
    unsigned offset = 0, last = 0, lastLength = 0;
    while (offset < end) {
        auto* entry = reinterpret_cast<ext2_dir_entry*>(block_.data() + offset);
        unsigned length = 0;
        if (ext2fs_get_rec_len(fs_, entry, &length) != 0 || length < 8 || length % 4 != 0 ||
            length > end - offset)
            return false;
        last = offset;
        lastLength = length;
        offset += length;
    }
    if (offset != end || lastLength == 0) return false;
    auto* tail = reinterpret_cast<ext2_dir_entry*>(block_.data() + last);
    const unsigned used =
        tail->inode != 0 ? unsigned(EXT2_DIR_REC_LEN(ext2fs_dirent_name_len(tail))) : 0u;
    if (lastLength < used || lastLength - used < need) return false;
    auto* entry = tail;
    if (used != 0) {
        ext2fs_set_rec_len(fs_, used, tail);
        entry = reinterpret_cast<ext2_dir_entry*>(block_.data() + last + used);
    }
    ext2fs_set_rec_len(fs_, lastLength - used, entry);
    entry->inode = inode;
    ext2fs_dirent_set_name_len(entry, int(name.size()));
    ext2fs_dirent_set_file_type(entry, ext2fs_has_feature_filetype(fs_->super) ? type : 0);
    std::memcpy(entry->name, name.data(), name.size());
    dirty_ = true;
    return true;
}

errcode_t Ext4DirAppender::Add(ext2_ino_t dir, const std::string& name, ext2_ino_t inode,
                               int type) {
    if (name.empty() || name.size() > EXT2_NAME_LEN) return EXT2_ET_INVALID_ARGUMENT;
    if (dir != dir_) {
        if (errcode_t error = Flush()) return error;
        if (errcode_t error = Load(dir)) {
            dir_ = 0;
            return error;
        }
    }
    if (indexed_) return Ext4AddRecord(fs_, dir, name, inode, type);
    // A name twice in one directory would make two records that no
    // lookup tells apart.
    if (!names_.insert(name).second) return EXT2_ET_DIR_EXISTS;
    if (Place(name, inode, type)) return 0;
    // The block is full: the directory grows by a block, which takes it.
    if (errcode_t error = Flush()) return error;
    if (errcode_t error = ext2fs_expand_dir(fs_, dir)) return error;
    auto names = std::move(names_);
    if (errcode_t error = Load(dir)) {
        dir_ = 0;
        return error;
    }
    names_ = std::move(names);
    return Place(name, inode, type) ? 0 : EXT2_ET_DIR_CORRUPTED;
}

} // namespace vk
