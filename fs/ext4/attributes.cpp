// The packed attributes of an inode: the 86-byte layout the ext2 driver and
// the host directories use, so that listings and copies read alike.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "ext4_internal.h"
#include "platform/hostfile.h"
#include "records.h"

namespace vk {

namespace {

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
    inode.i_flags = (inode.i_flags & ~kPortableInodeFlags) |
                    (ld32(attributes + kAttrFlags) & kPortableInodeFlags);
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

namespace {

// Whether a large inode's extra part reaches up to byte `end` of the
// inode (the fields behind the 128-byte base).
bool ExtraHolds(const ext2_inode_large& inode, size_t end) {
    return inode.i_extra_isize >= end - EXT2_GOOD_OLD_INODE_SIZE;
}

constexpr size_t kCtimeExtraEnd = offsetof(ext2_inode_large, i_ctime_extra) + 4;
constexpr size_t kMtimeExtraEnd = offsetof(ext2_inode_large, i_mtime_extra) + 4;
constexpr size_t kAtimeExtraEnd = offsetof(ext2_inode_large, i_atime_extra) + 4;
constexpr size_t kCrtimeEnd = offsetof(ext2_inode_large, i_crtime) + 4;
constexpr size_t kCrtimeExtraEnd = offsetof(ext2_inode_large, i_crtime_extra) + 4;

} // namespace

void PackInodeExtra(uint8_t* attributes, const ext2_inode_large& inode, uint32_t number,
                    uint64_t allocatedBytes) {
    using namespace ext4rec;
    std::fill(attributes + kPackedAttrSize, attributes + kTotal, 0);
    st16(attributes + kUidHigh, inode.osd2.linux2.l_i_uid_high);
    st16(attributes + kGidHigh, inode.osd2.linux2.l_i_gid_high);
    if (ExtraHolds(inode, kAtimeExtraEnd)) st32(attributes + kAtimeExtra, inode.i_atime_extra);
    if (ExtraHolds(inode, kMtimeExtraEnd)) st32(attributes + kMtimeExtra, inode.i_mtime_extra);
    if (ExtraHolds(inode, kCtimeExtraEnd)) st32(attributes + kCtimeExtra, inode.i_ctime_extra);
    if (ExtraHolds(inode, kCrtimeEnd)) st32(attributes + kCrtime, inode.i_crtime);
    if (ExtraHolds(inode, kCrtimeExtraEnd)) st32(attributes + kCrtimeExtra, inode.i_crtime_extra);
    st32(attributes + kSizeHigh, LINUX_S_ISREG(inode.i_mode) ? inode.i_size_high : 0);
    st32(attributes + kInode, number);
    st16(attributes + kLinks, inode.i_links_count);
    st32(attributes + kAllocated, uint32_t(std::min<uint64_t>(allocatedBytes / 1024, UINT32_MAX)));
}

void UnPackInodeExtra(ext2_inode_large& inode, const uint8_t* attributes) {
    using namespace ext4rec;
    inode.osd2.linux2.l_i_uid_high = ld16(attributes + kUidHigh);
    inode.osd2.linux2.l_i_gid_high = ld16(attributes + kGidHigh);
    if (ExtraHolds(inode, kAtimeExtraEnd)) inode.i_atime_extra = ld32(attributes + kAtimeExtra);
    if (ExtraHolds(inode, kMtimeExtraEnd)) inode.i_mtime_extra = ld32(attributes + kMtimeExtra);
    if (ExtraHolds(inode, kCtimeExtraEnd)) inode.i_ctime_extra = ld32(attributes + kCtimeExtra);
    if (ExtraHolds(inode, kCrtimeEnd)) inode.i_crtime = ld32(attributes + kCrtime);
    if (ExtraHolds(inode, kCrtimeExtraEnd)) inode.i_crtime_extra = ld32(attributes + kCrtimeExtra);
}

} // namespace vk
