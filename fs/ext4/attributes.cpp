// The packed attributes of an inode: the 86-byte layout the ext2 driver and
// the host directories use, so that listings and copies read alike.
#include <algorithm>
#include <cstring>

#include "ext4_internal.h"
#include "platform/hostfile.h"

namespace vk {

namespace {

// Inode flags that mean the same on any volume; layout flags (extents,
// inline data, hashed indexes) are never taken from attributes.
constexpr uint32_t kPortableFlags = 0x0003C0FB;

bool IsSpecial(uint16_t mode) {
    return LINUX_S_ISCHR(mode) || LINUX_S_ISBLK(mode) || LINUX_S_ISFIFO(mode) ||
           LINUX_S_ISSOCK(mode);
}

} // namespace

void PackInodeAttr(uint8_t* attributes, const ext2_inode& inode) {
    std::fill_n(attributes, kPackedAttrSize, 0);
    const uint16_t mode = inode.i_mode;
    st16(attributes + kAttrMode, mode);
    st16(attributes + kAttrUid, inode.i_uid);
    st32(attributes + kAttrAtime, inode.i_atime);
    st32(attributes + kAttrMtime, inode.i_mtime);
    st32(attributes + kAttrCtime, inode.i_ctime);
    st16(attributes + kAttrGid, inode.i_gid);
    st32(attributes + kAttrSize, inode.i_size);
    st32(attributes + kAttrFlags, inode.i_flags);
    if (ext2fs_is_fast_symlink(const_cast<ext2_inode*>(&inode))) {
        std::memcpy(attributes + kAttrExtra, inode.i_block,
                    std::min<size_t>(inode.i_size, kShortLinkMax));
    } else if (IsSpecial(mode)) {
        // Small device numbers sit in the first pointer, others in the
        // second.
        uint32_t device = inode.i_block[0];
        if (device == 0) device = inode.i_block[1];
        st32(attributes + kAttrExtra, device);
    }
}

void UnPackInodeAttr(ext2_inode& inode, const uint8_t* attributes) {
    const uint16_t mode = ld16(attributes + kAttrMode);
    const uint32_t size = ld32(attributes + kAttrSize);
    inode.i_mode = mode;
    inode.i_uid = ld16(attributes + kAttrUid);
    inode.i_gid = ld16(attributes + kAttrGid);
    inode.i_atime = ld32(attributes + kAttrAtime);
    inode.i_mtime = ld32(attributes + kAttrMtime);
    inode.i_ctime = ld32(attributes + kAttrCtime);
    inode.i_flags =
        (inode.i_flags & ~kPortableFlags) | (ld32(attributes + kAttrFlags) & kPortableFlags);
    if (LINUX_S_ISLNK(mode) && size > 0 && size <= kExt4FastLinkMax) {
        // A short link keeps its target in the inode, without a block map.
        inode.i_flags &= ~uint32_t(EXT4_EXTENTS_FL);
        std::memset(inode.i_block, 0, sizeof inode.i_block);
        std::memcpy(inode.i_block, attributes + kAttrExtra, size);
        inode.i_size = size;
    } else if (IsSpecial(mode)) {
        const uint32_t device = ld32(attributes + kAttrExtra);
        inode.i_flags &= ~uint32_t(EXT4_EXTENTS_FL);
        std::memset(inode.i_block, 0, sizeof inode.i_block);
        inode.i_block[device < 0x10000 ? 0 : 1] = device;
    }
}

} // namespace vk
