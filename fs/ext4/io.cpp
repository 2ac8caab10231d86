// The channel through which libext2fs reads and writes a partition: block
// numbers of the library's block size become sector positions inside the
// partition, transfers beyond its end fail before any disk access.
#include <algorithm>
#include <array>
#include <cstring>
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
struct Channel {
    FsState* part = nullptr;
    std::unordered_map<uint64_t, Sector> unwritten;
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

errcode_t Read64(io_channel channel, unsigned long long block, int count, void* data) {
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

errcode_t Write64(io_channel channel, unsigned long long block, int count, const void* data) {
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
    channel->private_data = new Channel{nextPartition, {}};
    nextPartition = nullptr;
    *result = channel;
    return 0;
}

errcode_t Close(io_channel channel) {
    if (--channel->refcount > 0) return 0;
    delete &ChannelOf(channel);
    delete[] channel->name;
    delete channel;
    return 0;
}

errcode_t SetBlockSize(io_channel channel, int size) {
    if (size < int(kSectorSize) || size % int(kSectorSize) != 0) return EXT2_ET_INVALID_ARGUMENT;
    channel->block_size = size;
    return 0;
}

// Writes reach the disk layer at once; the end of the run puts them on
// stable storage.
errcode_t Flush(io_channel) {
    return 0;
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
