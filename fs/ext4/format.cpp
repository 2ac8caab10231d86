// Quick format: a fresh ext4 volume with the feature set, block size and
// inode density that Debian's mke2fs gives a partition of this size, laid
// out by libext2fs itself.
#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "disk/disk.h"
#include "ext4_internal.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint32_t kInodeSize = 256;
constexpr uint32_t kLostFoundBytes = 16384;

constexpr uint32_t kCompat = EXT3_FEATURE_COMPAT_HAS_JOURNAL | EXT2_FEATURE_COMPAT_EXT_ATTR |
                             EXT2_FEATURE_COMPAT_RESIZE_INODE | EXT2_FEATURE_COMPAT_DIR_INDEX;
constexpr uint32_t kIncompat = EXT2_FEATURE_INCOMPAT_FILETYPE | EXT3_FEATURE_INCOMPAT_EXTENTS |
                               EXT4_FEATURE_INCOMPAT_64BIT | EXT4_FEATURE_INCOMPAT_FLEX_BG;
constexpr uint32_t kRoCompat =
    EXT2_FEATURE_RO_COMPAT_SPARSE_SUPER | EXT2_FEATURE_RO_COMPAT_LARGE_FILE |
    EXT4_FEATURE_RO_COMPAT_HUGE_FILE | EXT4_FEATURE_RO_COMPAT_DIR_NLINK |
    EXT4_FEATURE_RO_COMPAT_EXTRA_ISIZE | EXT4_FEATURE_RO_COMPAT_METADATA_CSUM;

// Block size and bytes per inode by partition size: "floppy" below 3 MB,
// "small" below 512 MB, the defaults above.
void ChooseDensity(uint64_t bytes, uint32_t* blockSize, uint32_t* inodeRatio) {
    *blockSize = 4096;
    *inodeRatio = 16384;
    if (bytes < 3 * kMiB) {
        *blockSize = 1024;
        *inodeRatio = 8192;
    } else if (bytes < 512 * kMiB) {
        *blockSize = 1024;
        *inodeRatio = 4096;
    }
}

void RandomBytes(void* out, size_t length) {
    auto* p = static_cast<uint8_t*>(out);
    while (length > 0) {
        ssize_t n = getrandom(p, length, 0);
        if (n <= 0) {
            // No entropy source: the clock still makes volumes differ.
            const uint64_t t = uint64_t(std::time(nullptr)) ^ uint64_t(uintptr_t(p));
            for (size_t i = 0; i < length; ++i)
                p[i] = uint8_t(t >> (8 * (i % 8)));
            return;
        }
        p += n;
        length -= size_t(n);
    }
}

errcode_t Fail(const char* what, errcode_t error) {
    LogExt4Error(what, error);
    return error;
}

// Everything between the library's initialisation and its close.
errcode_t Build(ext2_filsys fs, const char* label) {
    ext2_super_block* s = fs->super;
    // A fresh identity: UUID (random, version 4), directory hash seed.
    RandomBytes(s->s_uuid, sizeof s->s_uuid);
    s->s_uuid[6] = uint8_t((s->s_uuid[6] & 0x0F) | 0x40);
    s->s_uuid[8] = uint8_t((s->s_uuid[8] & 0x3F) | 0x80);
    RandomBytes(s->s_hash_seed, sizeof s->s_hash_seed);
    s->s_def_hash_version = EXT2_HASH_HALF_MD4;
    s->s_flags |= char(-1) < 0 ? EXT2_FLAGS_SIGNED_HASH : EXT2_FLAGS_UNSIGNED_HASH;
    std::memset(s->s_volume_name, 0, sizeof s->s_volume_name);
    const size_t labelLength = std::min(std::strlen(label), sizeof s->s_volume_name);
    for (size_t i = 0; i < labelLength; ++i) {
        const uint8_t c = uint8_t(label[i]);
        s->s_volume_name[i] = c >= 128 ? pc2iso[c - 128] : c;
    }
    s->s_max_mnt_count = -1;
    s->s_checkinterval = 0;
    s->s_mkfs_time = s->s_lastcheck = uint32_t(std::time(nullptr));
    s->s_default_mount_opts = EXT2_DEFM_XATTR_USER | EXT2_DEFM_ACL;
    s->s_checksum_type = EXT2_CRC32C_CHKSUM;
    ext2fs_init_csum_seed(fs);
    return Ext4LayOutVolume(fs);
}

} // namespace

errcode_t Ext4LayOutVolume(ext2_filsys fs) {
    ext2_super_block* s = fs->super;
    if (errcode_t error = ext2fs_allocate_tables(fs))
        return Fail("Cannot place the group tables", error);
    if (errcode_t error = ext2fs_convert_subcluster_bitmap(fs, &fs->block_map))
        return Fail("Cannot set up the block bitmap", error);
    // Without group checksums nothing marks the inode tables unused: they
    // are zeroed, or inodes of an earlier volume would show through.
    if (!ext2fs_has_group_desc_csum(fs)) {
        for (dgrp_t g = 0; g < fs->group_desc_count; ++g) {
            MonitorESC();
            if (errcode_t error =
                    ext2fs_zero_blocks2(fs, ext2fs_inode_table_loc(fs, g),
                                        int(fs->inode_blocks_per_group), nullptr, nullptr))
                return Fail("Cannot clear the inode tables", error);
        }
    }
    // The reserved inodes read as empty, whatever the table held before;
    // the rest of the tables counts as unused through the group
    // descriptors' checksummed counts.
    {
        std::vector<uint8_t> zero(EXT2_INODE_SIZE(s), 0);
        for (ext2_ino_t n = 1; n < EXT2_FIRST_INO(s); ++n) {
            MonitorESC();
            if (errcode_t error = ext2fs_write_inode_full(
                    fs, n, reinterpret_cast<ext2_inode*>(zero.data()), int(zero.size())))
                return Fail("Cannot clear the reserved inodes", error);
        }
    }
    if (errcode_t error = ext2fs_mkdir(fs, EXT2_ROOT_INO, EXT2_ROOT_INO, nullptr))
        return Fail("Cannot make the root directory", error);
    if (errcode_t error = ext2fs_mkdir(fs, EXT2_ROOT_INO, 0, "lost+found"))
        return Fail("Cannot make lost+found", error);
    // lost+found is made large enough for e2fsck to fill without growing it.
    ext2_ino_t lostFound = 0;
    if (errcode_t error = ext2fs_lookup(fs, EXT2_ROOT_INO, "lost+found", 10, nullptr, &lostFound))
        return Fail("Cannot find lost+found", error);
    for (int i = 0; i < EXT2_NDIR_BLOCKS; ++i) {
        ext2_inode inode{};
        if (errcode_t error = ext2fs_read_inode(fs, lostFound, &inode))
            return Fail("Cannot read lost+found", error);
        if (inode.i_size >= kLostFoundBytes && inode.i_size >= 2 * fs->blocksize) break;
        if (errcode_t error = ext2fs_expand_dir(fs, lostFound))
            return Fail("Cannot grow lost+found", error);
    }
    for (ext2_ino_t n = EXT2_ROOT_INO + 1; n < EXT2_FIRST_INO(s); ++n)
        ext2fs_inode_alloc_stats2(fs, n, +1, 0);
    ext2fs_inode_alloc_stats2(fs, EXT2_BAD_INO, +1, 0);
    if (errcode_t error = ext2fs_update_bb_inode(fs, nullptr))
        return Fail("Cannot write the bad-block inode", error);
    if (ext2fs_has_feature_resize_inode(s)) {
        if (errcode_t error = ext2fs_create_resize_inode(fs))
            return Fail("Cannot make the resize inode", error);
    }
    ext2fs_journal_params journal{};
    if (ext2fs_get_journal_params(&journal, fs) != 0) {
        Log("EXT4: the partition is too small for a journal; the volume has none\r\n");
        ext2fs_clear_feature_journal(s);
    } else {
        Log("EXT4: Writing the journal...\r\n");
        if (errcode_t error =
                ext2fs_add_journal_inode3(fs, &journal, ~0ULL, EXT2_MKJOURNAL_NO_MNT_CHECK))
            return Fail("Cannot write the journal", error);
    }
    return 0;
}

Status Ext4Clean(FsState& part, const char* label) {
    part.driverData.reset();
    const uint64_t bytes = uint64_t(part.sizeSectors) * kSectorSize;
    uint32_t blockSize = 0, inodeRatio = 0;
    ChooseDensity(bytes, &blockSize, &inodeRatio);

    ext2_super_block param{};
    const uint64_t blocks = bytes / blockSize;
    ext2fs_blocks_count_set(&param, blocks);
    ext2fs_r_blocks_count_set(&param, blocks * 5 / 100);
    param.s_log_block_size = blockSize == 1024 ? 0 : 2;
    param.s_rev_level = EXT2_DYNAMIC_REV;
    param.s_inode_size = kInodeSize;
    param.s_inodes_count = uint32_t(std::min<uint64_t>(bytes / inodeRatio, UINT32_MAX));
    param.s_feature_compat = kCompat;
    param.s_feature_incompat = kIncompat;
    param.s_feature_ro_compat = kRoCompat;
    param.s_log_groups_per_flex = 4;
    param.s_desc_size = EXT2_MIN_DESC_SIZE_64BIT;
    param.s_min_extra_isize = param.s_want_extra_isize =
        uint16_t(sizeof(ext2_inode_large) - EXT2_GOOD_OLD_INODE_SIZE);
    param.s_checksum_type = EXT2_CRC32C_CHKSUM;

    // The old superblock goes first: a format cut off on the way leaves no
    // volume that tools would take for the old one. The library writes the
    // new primary superblock last, at its close.
    if (Seek(part, 2) != 0 || BlankSects(part, 2) != 0) return 1;
    Log("EXT4: Building the group tables...\r\n");
    ext2_filsys fs = nullptr;
    BindNextChannel(part);
    if (errcode_t error =
            ext2fs_initialize(kChannelName, EXT2_FLAG_64BITS, &param, PartitionIoManager(), &fs)) {
        LogExt4Error("Cannot lay out the volume", error);
        return 1;
    }
    if (Build(fs, label) != 0) {
        ext2fs_free(fs);
        return 1;
    }
    if (errcode_t error = ext2fs_close_free(&fs)) {
        LogExt4Error("Cannot write the volume", error);
        return 1;
    }
    Log("EXT4: Done !\r\n");
    return 0;
}

} // namespace vk
