// Directory records, name translation between the PC code page and the
// on-disk ISO-8859-1, and the packed attributes of an inode.
#include <algorithm>
#include <cstring>

#include "ext2_internal.h"
#include "platform/console.h"

namespace vk {

namespace {

// Inode flags that mean the same on any ext2 volume. Flags of other
// layouts (extents, inline data, hashed indexes, compression state) are
// never copied onto an inode, whatever the attributes carry.
constexpr uint32_t kPortableFlags = 0x0003C0FB;

bool IsSpecial(uint16_t mode) {
    uint16_t type = mode & kExt2TypeMask;
    return type == kExt2CharDev || type == kExt2BlockDev || type == kExt2Fifo ||
           type == kExt2Socket;
}

} // namespace

void NameToDisk(const char* name, uint8_t* out, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t c = uint8_t(name[i]);
        out[i] = c >= 128 ? pc2iso[c - 128] : c;
    }
}

void NameFromDisk(const uint8_t* name, size_t length, char* out) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t c = name[i];
        if (c >= 160) c = IsoToPc(c);
        // A zero or a slash cannot be part of a name: a damaged record
        // still yields one path component.
        if (c == 0 || c == '/') c = '?';
        out[i] = char(c);
    }
    out[length] = '\0';
}

uint16_t MakeEntry(uint32_t inode, const char* name, uint8_t* record) {
    size_t length = std::min(std::strlen(name), ext2de::kNameMax);
    st32(record + ext2de::kInode, inode);
    uint16_t recLen = RecLen(uint32_t(length));
    st16(record + ext2de::kRecLen, recLen);
    st16(record + ext2de::kNameLen, uint16_t(length));
    NameToDisk(name, record + ext2de::kName, length);
    std::fill(record + ext2de::kName + length, record + recLen, 0);
    return recLen;
}

bool IsFastSymlink(const uint8_t* raw) {
    return (ld16(raw + ext2ino::kMode) & kExt2TypeMask) == kExt2Symlink &&
           ld32(raw + ext2ino::kFileSize) <= kExt2FastLinkMax;
}

void PackAttr(uint8_t* attributes, const uint8_t* raw) {
    using namespace ext2attr;
    std::fill_n(attributes, kTotal, 0);
    const uint16_t mode = ld16(raw + ext2ino::kMode);
    st16(attributes + kMode, mode);
    st16(attributes + kUid, ld16(raw + ext2ino::kUid));
    st32(attributes + kAtime, ld32(raw + ext2ino::kAtime));
    st32(attributes + kMtime, ld32(raw + ext2ino::kMtime));
    st32(attributes + kCtime, ld32(raw + ext2ino::kCtime));
    st16(attributes + kGid, ld16(raw + ext2ino::kGid));
    st32(attributes + kSize, ld32(raw + ext2ino::kFileSize));
    st32(attributes + kFlags, ld32(raw + ext2ino::kFlags));
    if (IsFastSymlink(raw)) {
        std::copy_n(raw + ext2ino::kBlock, kExtraSize, attributes + kExtra);
    } else if (IsSpecial(mode)) {
        // Small device numbers sit in the first pointer, others (first
        // pointer 0) in the second.
        uint32_t device = ld32(raw + ext2ino::kBlock);
        if (device == 0) device = ld32(raw + ext2ino::kBlock + 4);
        st32(attributes + kExtra, device);
    }
}

void UnPackAttr(uint8_t* raw, const uint8_t* attributes) {
    using namespace ext2attr;
    if (!attributes) return;
    const uint16_t mode = ld16(attributes + kMode);
    const uint32_t size = ld32(attributes + kSize);
    st16(raw + ext2ino::kMode, mode);
    st16(raw + ext2ino::kUid, ld16(attributes + kUid));
    st32(raw + ext2ino::kAtime, ld32(attributes + kAtime));
    st32(raw + ext2ino::kMtime, ld32(attributes + kMtime));
    st32(raw + ext2ino::kCtime, ld32(attributes + kCtime));
    st16(raw + ext2ino::kGid, ld16(attributes + kGid));
    st32(raw + ext2ino::kFileSize, size);
    st32(raw + ext2ino::kFlags, ld32(attributes + kFlags) & kPortableFlags);
    if ((mode & kExt2TypeMask) == kExt2Symlink && size <= kExt2FastLinkMax) {
        std::copy_n(attributes + kExtra, kExtraSize, raw + ext2ino::kBlock);
    } else if (IsSpecial(mode)) {
        uint32_t device = ld32(attributes + kExtra);
        std::fill_n(raw + ext2ino::kBlock, kExtraSize, 0);
        st32(raw + ext2ino::kBlock + (device < 0x10000 ? 0 : 4), device);
    }
}

} // namespace vk
