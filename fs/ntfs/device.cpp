// The device through which libntfs-3g reads and writes a partition: byte
// positions inside the partition become sector transfers, transfers beyond
// its end fail before any disk access, and partial sectors are read,
// changed and written whole.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "disk/disk.h"
#include "ntfs_internal.h"

extern "C" {
#include <ntfs-3g/cache.h>
}

namespace vk {

namespace {

// Sectors per disk transfer (1 MB): a written-back run of blocks or a
// file's contents reach the disk in few calls.
constexpr uint32_t kSectorsPerTransfer = 2048;
// Sectors a dry run keeps at most (16 MB): beyond, the library reads the
// disk as it is.
constexpr size_t kMaxUnwritten = 32768;

using Sector = std::array<uint8_t, kSectorSize>;
static_assert(kSectorSize == 512);
using Device = PartitionIo;

uint64_t Bytes(const Device& d) {
    return uint64_t(d.part->sizeSectors) * kSectorSize;
}

Device& DeviceOf(ntfs_device* dev) {
    return *static_cast<Device*>(dev->d_private);
}

bool Transfer(FsState& part, uint64_t first, uint64_t count, uint8_t* data, bool write) {
    while (count > 0) {
        const uint32_t n = uint32_t(std::min<uint64_t>(count, kSectorsPerTransfer));
        if (Seek(part, first) != 0) return false;
        if (write ? WriteSects(part, uint16_t(n), data) != 0
                  : ReadSects(part, uint16_t(n), data) != 0)
            return false;
        first += n;
        count -= n;
        data += size_t(n) * kSectorSize;
    }
    return true;
}

void Overlay(const Device& d, uint64_t first, uint64_t count, uint8_t* data) {
    if (d.unwritten.empty()) return;
    for (uint64_t i = 0; i < count; ++i) {
        auto found = d.unwritten.find(first + i);
        if (found != d.unwritten.end())
            std::memcpy(data + i * kSectorSize, found->second.data(), kSectorSize);
    }
}

void Keep(Device& d, uint64_t first, uint64_t count, const uint8_t* data) {
    if (AllowDiskWrite) return;
    for (uint64_t i = 0; i < count; ++i) {
        auto found = d.unwritten.find(first + i);
        if (found == d.unwritten.end()) {
            if (d.unwritten.size() >= kMaxUnwritten) continue;
            found = d.unwritten.emplace(first + i, Sector{}).first;
        }
        std::memcpy(found->second.data(), data + i * kSectorSize, kSectorSize);
    }
}

bool InRange(const Device& d, int64_t offset, int64_t count) {
    return offset >= 0 && count >= 0 && uint64_t(offset) <= Bytes(d) &&
           uint64_t(count) <= Bytes(d) - uint64_t(offset);
}

// ---- Write-back cache (restores) -------------------------------------------
constexpr uint64_t kBlock = NtfsBlockCache::kBlockSize;
constexpr uint64_t kBlockSectors = kBlock / kSectorSize;
// Transfers at least this long bypass the cache (contents).
constexpr uint64_t kCachedMax = 64 * 1024;

bool DiskRead(Device& d, uint64_t first, uint64_t count, uint8_t* out) {
    if (!Transfer(*d.part, first, count, out, false)) return false;
    Overlay(d, first, count, out);
    return true;
}

bool DiskWrite(Device& d, uint64_t first, uint64_t count, const uint8_t* in) {
    if (!Transfer(*d.part, first, count, const_cast<uint8_t*>(in), true)) return false;
    Keep(d, first, count, in);
    return true;
}

// Writes the dirty blocks back in block order, one transfer per run of
// consecutive blocks.
bool FlushBlocks(Device& d) {
    if (d.blocks.Empty()) return true;
    const auto dirty = d.blocks.Dirty();
    std::vector<uint8_t> run;
    size_t i = 0;
    while (i < dirty.size()) {
        size_t j = i + 1;
        while (j < dirty.size() && dirty[j].first == dirty[j - 1].first + 1 && j - i < 256)
            ++j;
        run.resize((j - i) * kBlock);
        for (size_t k = i; k < j; ++k) {
            std::memcpy(run.data() + (k - i) * kBlock, dirty[k].second, kBlock);
            d.blocks.MarkClean(dirty[k].second);
        }
        if (!DiskWrite(d, dirty[i].first * kBlockSectors, (j - i) * kBlockSectors, run.data()))
            return false;
        i = j;
    }
    return true;
}

// Whether a transfer goes through the cache: small, and in blocks that
// lie whole inside the partition.
bool Cacheable(const Device& d, uint64_t offset, uint64_t count) {
    return d.cached && count < kCachedMax &&
           (offset + count + kBlock - 1) / kBlock * kBlock <= Bytes(d);
}

uint8_t* CachedBlock(Device& d, uint64_t number, bool load) {
    if (uint8_t* found = d.blocks.Find(number)) return found;
    if (d.blocks.Full()) {
        if (!FlushBlocks(d)) return nullptr;
        d.blocks.Clear();
    }
    uint8_t* block = d.blocks.Add(number);
    if (load && !DiskRead(d, number * kBlockSectors, kBlockSectors, block)) {
        d.blocks.DropLast();
        return nullptr;
    }
    return block;
}

bool CachedTransfer(Device& d, uint64_t at, uint64_t left, uint8_t* data, bool write) {
    while (left > 0) {
        const uint64_t number = at / kBlock, skip = at % kBlock;
        const uint64_t n = std::min(left, kBlock - skip);
        uint8_t* block = CachedBlock(d, number, !(write && n == kBlock));
        if (block == nullptr) return false;
        if (write) {
            std::memcpy(block + skip, data, n);
            d.blocks.MarkDirty(block);
        } else {
            std::memcpy(data, block + skip, n);
        }
        at += n;
        data += n;
        left -= n;
    }
    return true;
}

// A transfer past the cache sees, and leaves, what the cache holds: a
// read takes the cached blocks' bytes, a write updates them.
void Reconcile(Device& d, uint64_t at, uint64_t count, uint8_t* data, bool write) {
    if (d.blocks.Empty()) return;
    for (uint64_t number = at / kBlock; number * kBlock < at + count; ++number) {
        uint8_t* found = d.blocks.Find(number);
        if (found == nullptr) continue;
        const uint64_t from = std::max(at, number * kBlock);
        const uint64_t to = std::min(at + count, (number + 1) * kBlock);
        uint8_t* cached = found + (from - number * kBlock);
        if (write)
            std::memcpy(cached, data + (from - at), to - from);
        else
            std::memcpy(data + (from - at), cached, to - from);
    }
}

s64 PRead(ntfs_device* dev, void* buffer, s64 count, s64 offset) {
    Device& d = DeviceOf(dev);
    if (!InRange(d, offset, count)) {
        errno = EIO;
        return -1;
    }
    if (Cacheable(d, uint64_t(offset), uint64_t(count))) {
        if (!CachedTransfer(d, uint64_t(offset), uint64_t(count), static_cast<uint8_t*>(buffer),
                            false)) {
            errno = EIO;
            return -1;
        }
        return count;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t at = uint64_t(offset), left = uint64_t(count);
    Sector sector;
    while (left > 0) {
        const uint64_t first = at / kSectorSize, skip = at % kSectorSize;
        if (skip == 0 && left >= kSectorSize) {
            const uint64_t whole = std::min<uint64_t>(left / kSectorSize, 1024);
            if (!Transfer(*d.part, first, whole, out, false)) {
                errno = EIO;
                return -1;
            }
            Overlay(d, first, whole, out);
            at += whole * kSectorSize;
            out += whole * kSectorSize;
            left -= whole * kSectorSize;
            continue;
        }
        if (!Transfer(*d.part, first, 1, sector.data(), false)) {
            errno = EIO;
            return -1;
        }
        Overlay(d, first, 1, sector.data());
        const uint64_t n = std::min<uint64_t>(left, kSectorSize - skip);
        std::memcpy(out, sector.data() + skip, n);
        at += n;
        out += n;
        left -= n;
    }
    Reconcile(d, uint64_t(offset), uint64_t(count), static_cast<uint8_t*>(buffer), false);
    return count;
}

s64 PWrite(ntfs_device* dev, const void* buffer, s64 count, s64 offset) {
    Device& d = DeviceOf(dev);
    if (NDevReadOnly(dev) || !InRange(d, offset, count)) {
        errno = NDevReadOnly(dev) ? EROFS : ENOSPC;
        return -1;
    }
    NDevSetDirty(dev);
    if (Cacheable(d, uint64_t(offset), uint64_t(count))) {
        if (!CachedTransfer(d, uint64_t(offset), uint64_t(count),
                            static_cast<uint8_t*>(const_cast<void*>(buffer)), true)) {
            errno = EIO;
            return -1;
        }
        return count;
    }
    Reconcile(d, uint64_t(offset), uint64_t(count),
              static_cast<uint8_t*>(const_cast<void*>(buffer)), true);
    const auto* in = static_cast<const uint8_t*>(buffer);
    uint64_t at = uint64_t(offset), left = uint64_t(count);
    Sector sector;
    while (left > 0) {
        const uint64_t first = at / kSectorSize, skip = at % kSectorSize;
        if (skip == 0 && left >= kSectorSize) {
            const uint64_t whole = std::min<uint64_t>(left / kSectorSize, 1024);
            if (!Transfer(*d.part, first, whole, const_cast<uint8_t*>(in), true)) {
                errno = EIO;
                return -1;
            }
            Keep(d, first, whole, in);
            at += whole * kSectorSize;
            in += whole * kSectorSize;
            left -= whole * kSectorSize;
            continue;
        }
        // The rest of a partial sector keeps what the disk holds.
        if (!Transfer(*d.part, first, 1, sector.data(), false)) {
            errno = EIO;
            return -1;
        }
        Overlay(d, first, 1, sector.data());
        const uint64_t n = std::min<uint64_t>(left, kSectorSize - skip);
        std::memcpy(sector.data() + skip, in, n);
        if (!Transfer(*d.part, first, 1, sector.data(), true)) {
            errno = EIO;
            return -1;
        }
        Keep(d, first, 1, sector.data());
        at += n;
        in += n;
        left -= n;
    }
    return count;
}

int Open(ntfs_device* dev, int flags) {
    if (NDevOpen(dev)) {
        errno = EBUSY;
        return -1;
    }
    if ((flags & O_ACCMODE) == O_RDONLY)
        NDevSetReadOnly(dev);
    else
        NDevClearReadOnly(dev);
    DeviceOf(dev).position = 0;
    NDevSetOpen(dev);
    return 0;
}

int Close(ntfs_device* dev) {
    Device& d = DeviceOf(dev);
    const bool flushed = FlushBlocks(d);
    d.blocks.Clear();
    NDevClearOpen(dev);
    if (!flushed) {
        errno = EIO;
        return -1;
    }
    return 0;
}

s64 SeekTo(ntfs_device* dev, s64 offset, int whence) {
    Device& d = DeviceOf(dev);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? d.position : int64_t(Bytes(d));
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
        errno = EINVAL;
        return -1;
    }
    const int64_t at = base + offset;
    if (at < 0) {
        errno = EINVAL;
        return -1;
    }
    d.position = at;
    return at;
}

s64 Read(ntfs_device* dev, void* buffer, s64 count) {
    Device& d = DeviceOf(dev);
    s64 n = PRead(dev, buffer, count, d.position);
    if (n > 0) d.position += n;
    return n;
}

s64 Write(ntfs_device* dev, const void* buffer, s64 count) {
    Device& d = DeviceOf(dev);
    s64 n = PWrite(dev, buffer, count, d.position);
    if (n > 0) d.position += n;
    return n;
}

// Writes reach the disk layer at once, or the cache's when it is written
// back here; the end of the run puts them on stable storage.
int Sync(ntfs_device* dev) {
    if (!FlushBlocks(DeviceOf(dev))) {
        errno = EIO;
        return -1;
    }
    NDevClearDirty(dev);
    return 0;
}

int Stat(ntfs_device* dev, struct stat* buffer) {
    std::memset(buffer, 0, sizeof *buffer);
    buffer->st_mode = S_IFBLK;
    buffer->st_size = off_t(Bytes(DeviceOf(dev)));
    return 0;
}

int Ioctl(ntfs_device*, unsigned long, void*) {
    errno = EOPNOTSUPP;
    return -1;
}

ntfs_device_operations operations = {
    .open = Open,
    .close = Close,
    .seek = SeekTo,
    .read = Read,
    .write = Write,
    .pread = PRead,
    .pwrite = PWrite,
    .sync = Sync,
    .stat = Stat,
    .ioctl = Ioctl,
};

} // namespace

ntfs_volume* MountPartition(PartitionIo& io, bool writable) {
    static char name[] = "partition";
    ntfs_device* dev = ntfs_device_alloc(name, 0, &operations, &io);
    if (dev == nullptr) return nullptr;
    ntfs_volume* vol = ntfs_device_mount(dev, writable ? NTFS_MNT_NONE : NTFS_MNT_RDONLY);
    if (vol == nullptr) {
        const int error = errno;
        ntfs_device_free(dev);
        errno = error;
        return nullptr;
    }
    // The caches a mount by path sets up: without them, the library's
    // lookups of its own files by name ($Extend/$Reparse, $ObjId when
    // reparse data or object IDs are set) fail.
    ntfs_create_lru_caches(vol);
    return vol;
}

} // namespace vk
