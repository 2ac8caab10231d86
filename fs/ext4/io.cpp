// The channel through which libext2fs reads and writes a partition: block
// numbers of the library's block size become sector positions inside the
// partition, transfers beyond its end fail before any disk access. Single
// blocks (inode tables, bitmaps, descriptors, directory blocks: what the
// library reads and writes one at a time, again and again) stay in memory
// and are written back in block order when the library flushes, when the
// channel closes, or when the cache is full.
#include <algorithm>
#include <array>
#include <cstring>
#include <list>
#include <unordered_map>
#include <vector>

#include "disk/disk.h"
#include "ext4_internal.h"

namespace vk {

namespace {

FsState* nextPartition = nullptr;

// Sectors per disk transfer.
constexpr uint32_t kSectorsPerTransfer = 64;

using Sector = std::array<uint8_t, kSectorSize>;
// Sectors a dry run keeps at most (16 MB): beyond, the library reads the
// disk as it is.
constexpr size_t kMaxUnwritten = 32768;

// What a channel keeps: its partition and, while disk writes are switched
// off (a dry run), the sectors the library wrote, so that it reads back
// what it believes written (a new directory block, a grown table) and the
// run goes on as it would with writes.
// Blocks the cache holds at most (8 MB of 4 KB blocks).
constexpr size_t kCachedBlocks = 2048;

struct CachedBlock {
    std::vector<uint8_t> data;
    bool dirty = false;
    std::list<uint64_t>::iterator age; // place in Channel::ages
};

struct Channel {
    FsState* part = nullptr;
    std::unordered_map<uint64_t, Sector> unwritten;
    std::unordered_map<uint64_t, CachedBlock> cache;
    std::list<uint64_t> ages; // cached block numbers, the most recently used first
};

Channel& ChannelOf(io_channel channel) {
    return *static_cast<Channel*>(channel->private_data);
}

FsState* PartitionOf(io_channel channel) {
    return ChannelOf(channel).part;
}

void OverlayUnwritten(const Channel& c, uint64_t first, uint64_t count, uint8_t* data) {
    if (c.unwritten.empty()) return;
    for (uint64_t i = 0; i < count; ++i) {
        auto found = c.unwritten.find(first + i);
        if (found != c.unwritten.end())
            std::memcpy(data + i * kSectorSize, found->second.data(), kSectorSize);
    }
}

void KeepUnwritten(Channel& c, uint64_t first, uint64_t count, const uint8_t* data) {
    if (AllowDiskWrite) return;
    for (uint64_t i = 0; i < count; ++i) {
        auto found = c.unwritten.find(first + i);
        if (found == c.unwritten.end()) {
            if (c.unwritten.size() >= kMaxUnwritten) continue;
            found = c.unwritten.emplace(first + i, Sector{}).first;
        }
        std::memcpy(found->second.data(), data + i * kSectorSize, kSectorSize);
    }
}

// The byte range of a transfer: count blocks, or -count bytes when count
// is negative (the library's way of naming the superblock's 1024 bytes).
bool Range(io_channel channel, unsigned long long block, int count, uint64_t* offset,
           uint64_t* length) {
    const uint64_t blockSize = uint64_t(channel->block_size);
    *length = count < 0 ? uint64_t(-int64_t(count)) : uint64_t(count) * blockSize;
    if (blockSize == 0 || block > UINT64_MAX / blockSize) return false;
    *offset = block * blockSize;
    const uint64_t size = uint64_t(PartitionOf(channel)->sizeSectors) * kSectorSize;
    return *offset <= size && *length <= size - *offset;
}

// Whole sectors from sector `first` of the partition.
errcode_t ReadSectors(FsState& part, uint64_t first, uint64_t count, uint8_t* data) {
    while (count > 0) {
        const uint32_t n = uint32_t(std::min<uint64_t>(count, kSectorsPerTransfer));
        if (Seek(part, first) != 0 || ReadSects(part, uint16_t(n), data) != 0)
            return EXT2_ET_SHORT_READ;
        first += n;
        count -= n;
        data += size_t(n) * kSectorSize;
    }
    return 0;
}

errcode_t WriteSectors(FsState& part, uint64_t first, uint64_t count, const uint8_t* data) {
    while (count > 0) {
        const uint32_t n = uint32_t(std::min<uint64_t>(count, kSectorsPerTransfer));
        if (Seek(part, first) != 0 || WriteSects(part, uint16_t(n), data) != 0)
            return EXT2_ET_SHORT_WRITE;
        first += n;
        count -= n;
        data += size_t(n) * kSectorSize;
    }
    return 0;
}

errcode_t DiskRead(io_channel channel, unsigned long long block, int count, void* data) {
    uint64_t offset = 0, length = 0;
    if (!Range(channel, block, count, &offset, &length)) return EXT2_ET_SHORT_READ;
    Channel& c = ChannelOf(channel);
    auto* out = static_cast<uint8_t*>(data);
    // Blocks are at least 1024 bytes: a transfer starts on a sector.
    if (offset % kSectorSize != 0) return EXT2_ET_SHORT_READ;
    const uint64_t first = offset / kSectorSize, whole = length / kSectorSize;
    if (errcode_t error = ReadSectors(*c.part, first, whole, out)) return error;
    OverlayUnwritten(c, first, whole, out);
    if (length % kSectorSize != 0) {
        uint8_t sector[kSectorSize];
        if (errcode_t error = ReadSectors(*c.part, first + whole, 1, sector)) return error;
        OverlayUnwritten(c, first + whole, 1, sector);
        std::memcpy(out + whole * kSectorSize, sector, length % kSectorSize);
    }
    return 0;
}

errcode_t DiskWrite(io_channel channel, unsigned long long block, int count, const void* data) {
    uint64_t offset = 0, length = 0;
    if (!Range(channel, block, count, &offset, &length)) return EXT2_ET_SHORT_WRITE;
    Channel& c = ChannelOf(channel);
    const auto* in = static_cast<const uint8_t*>(data);
    if (offset % kSectorSize != 0) return EXT2_ET_SHORT_WRITE;
    const uint64_t first = offset / kSectorSize, whole = length / kSectorSize;
    if (errcode_t error = WriteSectors(*c.part, first, whole, in)) return error;
    KeepUnwritten(c, first, whole, in);
    if (length % kSectorSize != 0) {
        // The rest of a partial sector keeps what the disk holds.
        uint8_t sector[kSectorSize];
        const uint64_t at = first + whole;
        if (ReadSectors(*c.part, at, 1, sector) != 0) return EXT2_ET_SHORT_WRITE;
        OverlayUnwritten(c, at, 1, sector);
        std::memcpy(sector, in + whole * kSectorSize, length % kSectorSize);
        if (errcode_t error = WriteSectors(*c.part, at, 1, sector)) return error;
        KeepUnwritten(c, at, 1, sector);
    }
    return 0;
}

// Writes the cached dirty blocks, in block order and in runs of adjacent
// blocks.
errcode_t WriteBack(io_channel channel) {
    Channel& c = ChannelOf(channel);
    std::vector<uint64_t> dirty;
    for (auto& [block, cached] : c.cache)
        if (cached.dirty) dirty.push_back(block);
    std::sort(dirty.begin(), dirty.end());
    const size_t blockSize = size_t(channel->block_size);
    const size_t most = std::max<size_t>(1, (256 * 1024) / blockSize);
    std::vector<uint8_t> run;
    errcode_t result = 0;
    for (size_t i = 0; i < dirty.size();) {
        size_t n = 1;
        while (i + n < dirty.size() && n < most && dirty[i + n] == dirty[i] + n)
            ++n;
        run.resize(n * blockSize);
        for (size_t k = 0; k < n; ++k) {
            CachedBlock& cached = c.cache[dirty[i + k]];
            std::memcpy(run.data() + k * blockSize, cached.data.data(), blockSize);
            cached.dirty = false;
        }
        if (errcode_t error = DiskWrite(channel, dirty[i], int(n), run.data())) result = error;
        i += n;
    }
    return result;
}

// Forgets every cached block, writing the dirty ones first.
errcode_t DropCache(io_channel channel) {
    errcode_t error = WriteBack(channel);
    Channel& c = ChannelOf(channel);
    c.cache.clear();
    c.ages.clear();
    return error;
}

// The cache entry of a block, made (empty, clean) when missing: room is
// made by writing back and dropping the least recently used one.
errcode_t Entry(io_channel channel, uint64_t block, CachedBlock** entry, bool* made) {
    Channel& c = ChannelOf(channel);
    auto found = c.cache.find(block);
    *made = found == c.cache.end();
    if (!*made) {
        c.ages.splice(c.ages.begin(), c.ages, found->second.age);
        *entry = &found->second;
        return 0;
    }
    if (c.cache.size() >= kCachedBlocks) {
        // Full: every dirty block is written back in runs (file contents
        // written a block at a time arrive here in order), and the least
        // recently used quarter is dropped.
        if (errcode_t error = WriteBack(channel)) return error;
        for (size_t n = 0; n < kCachedBlocks / 4; ++n) {
            c.cache.erase(c.ages.back());
            c.ages.pop_back();
        }
    }
    c.ages.push_front(block);
    CachedBlock& fresh = c.cache[block];
    fresh.data.resize(size_t(channel->block_size));
    fresh.age = c.ages.begin();
    *entry = &fresh;
    return 0;
}

// The cached blocks that overlap the bytes [offset, offset + length).
template <typename Visit>
void ForCached(io_channel channel, uint64_t offset, uint64_t length, Visit visit) {
    Channel& c = ChannelOf(channel);
    if (c.cache.empty() || length == 0) return;
    const uint64_t blockSize = uint64_t(channel->block_size);
    for (uint64_t b = offset / blockSize; b <= (offset + length - 1) / blockSize; ++b) {
        auto found = c.cache.find(b);
        if (found == c.cache.end()) continue;
        const uint64_t start = std::max(offset, b * blockSize);
        const uint64_t end = std::min(offset + length, (b + 1) * blockSize);
        visit(found, start - b * blockSize, start - offset, end - start);
    }
}

errcode_t Read64(io_channel channel, unsigned long long block, int count, void* data) {
    if (count == 1) {
        uint64_t offset = 0, length = 0;
        if (!Range(channel, block, count, &offset, &length)) return EXT2_ET_SHORT_READ;
        CachedBlock* entry = nullptr;
        bool made = false;
        if (errcode_t error = Entry(channel, block, &entry, &made)) return error;
        if (made) {
            if (errcode_t error = DiskRead(channel, block, 1, entry->data.data())) {
                Channel& c = ChannelOf(channel);
                c.ages.erase(entry->age);
                c.cache.erase(block);
                return error;
            }
        }
        std::memcpy(data, entry->data.data(), entry->data.size());
        return 0;
    }
    if (errcode_t error = DiskRead(channel, block, count, data)) return error;
    // What the cache holds is newer than the disk.
    uint64_t offset = 0, length = 0;
    Range(channel, block, count, &offset, &length);
    auto* out = static_cast<uint8_t*>(data);
    ForCached(channel, offset, length, [&](auto found, uint64_t inBlock, uint64_t at, uint64_t n) {
        std::memcpy(out + at, found->second.data.data() + inBlock, n);
    });
    return 0;
}

errcode_t Write64(io_channel channel, unsigned long long block, int count, const void* data) {
    uint64_t offset = 0, length = 0;
    if (!Range(channel, block, count, &offset, &length)) return EXT2_ET_SHORT_WRITE;
    if (count == 1) {
        CachedBlock* entry = nullptr;
        bool made = false;
        if (errcode_t error = Entry(channel, block, &entry, &made)) return error;
        std::memcpy(entry->data.data(), data, entry->data.size());
        entry->dirty = true;
        return 0;
    }
    if (errcode_t error = DiskWrite(channel, block, count, data)) return error;
    // Cached copies take the written bytes (a dirty one then writes them
    // again, whole, with its own).
    const auto* in = static_cast<const uint8_t*>(data);
    ForCached(channel, offset, length, [&](auto found, uint64_t inBlock, uint64_t at, uint64_t n) {
        std::memcpy(found->second.data.data() + inBlock, in + at, n);
    });
    return 0;
}

errcode_t Read32(io_channel channel, unsigned long block, int count, void* data) {
    return Read64(channel, block, count, data);
}

errcode_t Write32(io_channel channel, unsigned long block, int count, const void* data) {
    return Write64(channel, block, count, data);
}

errcode_t ZeroOut(io_channel channel, unsigned long long block, unsigned long long count) {
    const uint64_t blockSize = uint64_t(channel->block_size);
    const uint64_t size = uint64_t(PartitionOf(channel)->sizeSectors) * kSectorSize;
    if (blockSize == 0 || block > size / blockSize || count > size / blockSize - block)
        return EXT2_ET_SHORT_WRITE;
    // A dry run keeps its zeros like any other write.
    if (!AllowDiskWrite) return EXT2_ET_UNIMPLEMENTED;
    // The zeros supersede what the cache holds of these blocks.
    Channel& c = ChannelOf(channel);
    for (uint64_t b = block; b < block + count && !c.cache.empty(); ++b) {
        auto found = c.cache.find(b);
        if (found == c.cache.end()) continue;
        c.ages.erase(found->second.age);
        c.cache.erase(found);
    }
    FsState& part = *PartitionOf(channel);
    const uint64_t sectorsPerBlock = blockSize / kSectorSize;
    if (Seek(part, block * sectorsPerBlock) != 0 || BlankSects(part, count * sectorsPerBlock) != 0)
        return EXT2_ET_SHORT_WRITE;
    return 0;
}

errcode_t Open(const char* name, int flags, io_channel* result) {
    if (nextPartition == nullptr) return EXT2_ET_BAD_DEVICE_NAME;
    auto* channel = new struct_io_channel{};
    channel->magic = EXT2_ET_MAGIC_IO_CHANNEL;
    channel->manager = PartitionIoManager();
    channel->name = new char[std::strlen(name) + 1];
    std::strcpy(channel->name, name);
    channel->block_size = 1024;
    channel->refcount = 1;
    channel->flags = flags;
    auto* c = new Channel;
    c->part = nextPartition;
    channel->private_data = c;
    nextPartition = nullptr;
    *result = channel;
    return 0;
}

errcode_t Close(io_channel channel) {
    if (--channel->refcount > 0) return 0;
    // What the library wrote reaches the disk, as it would have without
    // the cache.
    const errcode_t error = WriteBack(channel);
    delete &ChannelOf(channel);
    delete[] channel->name;
    delete channel;
    return error;
}

errcode_t SetBlockSize(io_channel channel, int size) {
    if (size < int(kSectorSize) || size % int(kSectorSize) != 0) return EXT2_ET_INVALID_ARGUMENT;
    // Cached blocks are numbered in the old size.
    if (size != channel->block_size) {
        if (errcode_t error = DropCache(channel)) return error;
    }
    channel->block_size = size;
    return 0;
}

// Cached blocks reach the disk layer; the end of the run puts them on
// stable storage.
errcode_t Flush(io_channel channel) {
    return WriteBack(channel);
}

errcode_t SetOption(io_channel, const char*, const char*) {
    return EXT2_ET_INVALID_ARGUMENT;
}

struct_io_manager manager = [] {
    struct_io_manager m{};
    m.magic = EXT2_ET_MAGIC_IO_MANAGER;
    m.name = "Vesklor partition";
    m.open = Open;
    m.close = Close;
    m.set_blksize = SetBlockSize;
    m.read_blk = Read32;
    m.write_blk = Write32;
    m.flush = Flush;
    m.set_option = SetOption;
    m.read_blk64 = Read64;
    m.write_blk64 = Write64;
    m.zeroout = ZeroOut;
    return m;
}();

} // namespace

io_manager PartitionIoManager() {
    return &manager;
}

void BindNextChannel(FsState& part) {
    nextPartition = &part;
}

} // namespace vk
