// What an archive of an ext4 volume carries beyond its tree: the boot
// area (boot block and superblock, as the partition holds them, then the
// table of every inode's extended attributes), and the size directory
// records take, for the archive's per-directory block counts.
#include <cstring>

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

} // namespace

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
    if (area == nullptr) return -1;
    const size_t from = size_t(first) * kSectorSize, bytes = size_t(count) * kSectorSize;
    if (from > area->size() || bytes > area->size() - from) return -1;
    std::memcpy(buffer, area->data() + from, bytes);
    return 0;
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
