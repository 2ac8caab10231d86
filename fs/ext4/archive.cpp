// What an archive of an ext4 volume carries beyond its tree: the boot
// area (boot block and superblock, as the partition holds them, then the
// table of every inode's extended attributes), and the size directory
// records take, for the archive's per-directory block counts.
#include <sys/sysmacros.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "disk/disk.h"
#include "ext4_internal.h"
#include "fs/ext4_xattr_table.h"
#include "platform/console.h"
#include "platform/util.h"
#include "records.h"

namespace vk {

namespace {

using namespace ext4rec;

// Whether a raw inode may hold attributes: a block of them, or the
// attribute magic behind its extra part.
bool MayHoldXattrs(const uint8_t* raw, uint32_t inodeSize) {
    const ext2_inode* inode = reinterpret_cast<const ext2_inode*>(raw);
    if (ext2fs_file_acl_block(nullptr, inode) != 0) return true;
    if (inodeSize <= EXT2_GOOD_OLD_INODE_SIZE) return false;
    const uint32_t at = EXT2_GOOD_OLD_INODE_SIZE + ld16(raw + EXT2_GOOD_OLD_INODE_SIZE);
    return at + 4 <= inodeSize && ld32(raw + at) == EXT2_EXT_ATTR_MAGIC;
}

struct Collect {
    XattrTableBuilder* table;
    ext2_xattr_handle* handle;
    errcode_t error;
};

bool IsAcl(const char* name) {
    return std::strcmp(name, "system.posix_acl_access") == 0 ||
           std::strcmp(name, "system.posix_acl_default") == 0;
}

int CollectXattr(char* name, char* value, size_t valueLength, void* data) {
    auto* c = static_cast<Collect*>(data);
    if (!IsAcl(name)) {
        c->table->Add(name, std::strlen(name), value, valueLength);
        return 0;
    }
    // The walk hands access lists out as stored; the lookup gives the form
    // the kernel shows, which the library takes back when it writes them.
    void* shown = nullptr;
    size_t shownLength = 0;
    c->error = ext2fs_xattr_get(c->handle, name, &shown, &shownLength);
    if (c->error != 0) return XATTR_ABORT;
    c->table->Add(name, std::strlen(name), shown, shownLength);
    ext2fs_free_mem(&shown);
    return 0;
}

// The table of all attributes, inode by inode in number order.
Status BuildXattrTable(ext2_filsys fs, XattrTableBuilder* table) {
    ext2_inode_scan scan = nullptr;
    if (errcode_t error = ext2fs_open_inode_scan(fs, 0, &scan)) {
        LogExt4Error("Cannot read the inode tables", error);
        return 1;
    }
    const uint32_t inodeSize = EXT2_INODE_SIZE(fs->super);
    std::vector<uint8_t> raw(inodeSize);
    Status status = 0;
    for (;;) {
        ext2_ino_t n = 0;
        errcode_t error = ext2fs_get_next_inode_full(
            scan, &n, reinterpret_cast<ext2_inode*>(raw.data()), int(inodeSize));
        if (error == EXT2_ET_BAD_BLOCK_IN_INODE_TABLE) continue;
        if (error != 0) {
            LogExt4Error("Cannot read the inode tables", error);
            status = 1;
            break;
        }
        if (n == 0) break;
        const ext2_inode* inode = reinterpret_cast<const ext2_inode*>(raw.data());
        if (inode->i_links_count == 0 || inode->i_mode == 0) continue;
        if (n != EXT2_ROOT_INO && n < EXT2_FIRST_INO(fs->super)) continue;
        if (!MayHoldXattrs(raw.data(), inodeSize)) continue;
        MonitorESC();
        ext2_xattr_handle* h = nullptr;
        error = ext2fs_xattrs_open(fs, n, &h);
        if (error == 0) error = ext2fs_xattrs_read(h);
        if (error == 0) {
            Collect c{table, h, 0};
            table->BeginInode(n);
            error = ext2fs_xattrs_iterate(h, CollectXattr, &c);
            if (error == 0) error = c.error;
            table->EndInode();
        }
        if (h != nullptr) ext2fs_xattrs_close(&h);
        if (error != 0) {
            LogFormat("EXT4 ERROR: Cannot read the extended attributes of inode %u: %s\r\n",
                      unsigned(n), error_message(error));
            status = 1;
            break;
        }
    }
    ext2fs_close_inode_scan(scan);
    return status;
}

// The boot area, built once per opened volume.
const std::vector<uint8_t>* BootArea(FsState& part) {
    auto* volume = dynamic_cast<Ext4Volume*>(part.driverData.get());
    if (volume == nullptr || volume->fs == nullptr) return nullptr;
    if (!volume->bootArea.empty()) return &volume->bootArea;
    std::vector<uint8_t> area(kTableAt);
    // Blocks the channel still holds go to the disk before it is read
    // past the library.
    if (Seek(part, 0) != 0 || io_channel_flush(volume->fs->io) != 0 ||
        ReadSects(part, kTableAt / kSectorSize, area.data()) != 0) {
        Log("EXT4 ERROR: Cannot read the boot area\r\n");
        return nullptr;
    }
    Log("EXT4: Reading the extended attributes...\r\n");
    XattrTableBuilder table;
    if (BuildXattrTable(volume->fs, &table) != 0) return nullptr;
    const std::vector<uint8_t>& bytes = table.Finish(kTableAt);
    if (area.size() + bytes.size() > kBootAreaMax) {
        LogFormat("EXT4 ERROR: The extended attributes take more than the %u bytes an archive "
                  "holds\r\n",
                  unsigned(kBootAreaMax - kTableAt));
        return nullptr;
    }
    area.insert(area.end(), bytes.begin(), bytes.end());
    volume->bootArea = std::move(area);
    return &volume->bootArea;
}

// "seconds.nanoseconds" of a time and its extra field (epoch bits widen
// the seconds beyond 2038).
void AppendTime(std::string& out, const char* name, uint32_t seconds, uint32_t extra) {
    const int64_t full = int64_t(int32_t(seconds)) + (int64_t(extra & 3) << 32);
    char text[64];
    std::snprintf(text, sizeof text, " %s=%" PRId64 ".%09u", name, full, unsigned(extra >> 2));
    out += text;
}

// A value as text when it is printable, else in hex; long ones cut.
std::string ValueText(const uint8_t* value, size_t length) {
    constexpr size_t kShown = 64;
    const size_t shown = std::min(length, kShown);
    bool printable = true;
    for (size_t i = 0; i < shown; ++i)
        if ((value[i] < 32 || value[i] > 126) && !(i + 1 == length && value[i] == 0))
            printable = false;
    std::string out;
    char hex[4];
    if (printable) {
        out = "\"";
        for (size_t i = 0; i < shown && value[i] != 0; ++i)
            out += char(value[i]);
        out += "\"";
    } else {
        out = "0x";
        for (size_t i = 0; i < shown; ++i) {
            std::snprintf(hex, sizeof hex, "%02x", value[i]);
            out += hex;
        }
    }
    if (length > shown) out += " ... (" + std::to_string(length) + " bytes)";
    return out;
}

} // namespace

void Ext4DescribeAttributes(const uint8_t* a, char* out, size_t capacity) {
    const uint16_t mode = ld16(a + kAttrMode);
    std::string text;
    char part[128];
    std::snprintf(part, sizeof part, "mode=%06o uid=%u gid=%u size=%" PRIu64 " flags=0x%x", mode,
                  unsigned(ld16(a + kAttrUid) | uint32_t(ld16(a + kUidHigh)) << 16),
                  unsigned(ld16(a + kAttrGid) | uint32_t(ld16(a + kGidHigh)) << 16),
                  uint64_t(ld32(a + kAttrSize)) | uint64_t(ld32(a + kSizeHigh)) << 32,
                  unsigned(ld32(a + kAttrFlags)));
    text = part;
    AppendTime(text, "atime", ld32(a + kAttrAtime), ld32(a + kAtimeExtra));
    AppendTime(text, "mtime", ld32(a + kAttrMtime), ld32(a + kMtimeExtra));
    AppendTime(text, "ctime", ld32(a + kAttrCtime), ld32(a + kCtimeExtra));
    AppendTime(text, "crtime", ld32(a + kCrtime), ld32(a + kCrtimeExtra));
    std::snprintf(part, sizeof part, " inode=%u links=%u allocated=%uK", unsigned(ld32(a + kInode)),
                  unsigned(ld16(a + kLinks)), unsigned(ld32(a + kAllocated)));
    text += part;
    const uint32_t size = ld32(a + kAttrSize);
    if (LINUX_S_ISLNK(mode) && size > 0 && size <= kExt4FastLinkMax) {
        text += " -> ";
        text.append(reinterpret_cast<const char*>(a + kAttrExtra),
                    strnlen(reinterpret_cast<const char*>(a + kAttrExtra), kShortLinkMax));
    } else if (LINUX_S_ISCHR(mode) || LINUX_S_ISBLK(mode)) {
        const uint64_t device = DecodeDevice(ld32(a + kAttrExtra));
        std::snprintf(part, sizeof part, " device=%u:%u", unsigned(major(device)),
                      unsigned(minor(device)));
        text += part;
    }
    if (capacity == 0) return;
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

void Ext4DescribeBootArea(const uint8_t* area, size_t size, void (*line)(const char*)) {
    char text[256];
    if (size < kTableAt || ld16(area + kSuperAt + sb::kMagic) != sb::kMagicValue) {
        line("ext4 boot area: no superblock");
        return;
    }
    const uint8_t* s = area + kSuperAt;
    const uint8_t* u = s + sb::kUuid;
    char label[17] = {};
    std::memcpy(label, s + sb::kVolumeName, 16);
    std::snprintf(text, sizeof text,
                  "ext4 superblock: UUID %02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-"
                  "%02x%02x%02x%02x%02x%02x, label \"%s\"",
                  u[0], u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12],
                  u[13], u[14], u[15], label);
    line(text);
    uint64_t blocks = ld32(s + sb::kBlocksCountLo);
    if (ld32(s + sb::kFeatureIncompat) & EXT4_FEATURE_INCOMPAT_64BIT)
        blocks |= uint64_t(ld32(s + sb::kBlocksCountHi)) << 32;
    std::snprintf(text, sizeof text,
                  "  features compat 0x%x incompat 0x%x ro_compat 0x%x; block size %u, %" PRIu64
                  " blocks, %u inodes of %u bytes",
                  unsigned(ld32(s + sb::kFeatureCompat)), unsigned(ld32(s + sb::kFeatureIncompat)),
                  unsigned(ld32(s + sb::kFeatureRoCompat)),
                  unsigned(1024u << std::min<uint32_t>(ld32(s + sb::kLogBlockSize), 16)), blocks,
                  unsigned(ld32(s + sb::kInodesCount)), unsigned(ld16(s + sb::kInodeSize)));
    line(text);
    XattrTable table;
    const char* why = nullptr;
    if (!table.Load(area + kTableAt, size - kTableAt, &why)) {
        std::snprintf(text, sizeof text, "extended attributes: damaged: %s", why);
        line(text);
        return;
    }
    std::snprintf(text, sizeof text, "extended attributes of %u inodes", unsigned(table.Records()));
    line(text);
    std::vector<uint32_t> inodes = table.Inodes();
    std::sort(inodes.begin(), inodes.end());
    std::string row;
    for (uint32_t inode : inodes) {
        table.ForEach(inode, [&](const char* name, size_t nameLength, const uint8_t* value,
                                 size_t valueLength) {
            row = "  inode " + std::to_string(inode) + ": " + std::string(name, nameLength) +
                  " = " + ValueText(value, valueLength);
            line(row.c_str());
            return true;
        });
    }
}

uint16_t Ext4GetNumBootSectors(FsState& part, FsEntry*) {
    const std::vector<uint8_t>* area = BootArea(part);
    // Without its area an archive would not restore the volume: the
    // creation stops at the read that follows.
    if (area == nullptr) return kTableAt / kSectorSize;
    return uint16_t(area->size() / kSectorSize);
}

Status Ext4ReadBootSectors(FsState& part, FsEntry*, uint16_t first, uint16_t count,
                           uint8_t* buffer) {
    const std::vector<uint8_t>* area = BootArea(part);
    return area == nullptr ? -1 : CopyHeldSectors(*area, first, count, buffer);
}

uint32_t Ext4AddEntrySize(uint32_t size, FsEntry* entry, uint16_t blockSize) {
    // A directory's first block holds "." and "..".
    if (size == 0) size = 24;
    if (!entry || !entry->name || blockSize == 0) return size;
    // A record: 8 bytes of head and the name, rounded to 4 bytes; records
    // do not straddle blocks.
    const uint32_t record = (8 + uint32_t(strnlen(entry->name, 255)) + 3) & ~3u;
    const uint32_t used = size % blockSize;
    if (used != 0 && used + record > blockSize) size += blockSize - used;
    return size + record;
}

} // namespace vk
