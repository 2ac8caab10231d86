// Backends of the device interface: Linux block devices, image files, sparse
// in-memory images and the fault-injecting wrapper.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "disk/disk.h"
#include "platform/hostfile.h"
#include "platform/util.h"

namespace vk {

bool ImageGeometry(uint64_t sizeBytes, DiskGeometry* geometry) {
    const uint64_t cylinderBytes = uint64_t(kImageHeads) * kImageSectors * kSectorSize;
    uint64_t cylinders = sizeBytes / cylinderBytes;
    if (cylinders == 0) return false;
    if (cylinders > 65536) cylinders = 65536; // the highest cylinder is 16-bit
    geometry->lastCylinder = uint16_t(cylinders - 1);
    geometry->lastHead = uint8_t(kImageHeads - 1);
    geometry->sectors = uint8_t(kImageSectors);
    return true;
}

bool DeviceGeometry(bool reported, unsigned heads, unsigned sectors, unsigned cylinders,
                    uint64_t sizeBytes, DiskGeometry* geometry) {
    if (!reported || heads == 0 || heads > 256 || sectors == 0 || sectors > 63)
        return ImageGeometry(sizeBytes, geometry);
    const uint64_t perCylinder = uint64_t(heads) * sectors;
    uint64_t count = sizeBytes / kSectorSize / perCylinder;
    if (count == 0) count = cylinders;
    if (count == 0) return false;
    if (count > 65536) count = 65536;
    geometry->lastCylinder = uint16_t(count - 1);
    geometry->lastHead = uint8_t(heads - 1);
    geometry->sectors = uint8_t(sectors);
    return true;
}

namespace {

// Full positioned transfers, retried on EINTR and partial progress.
size_t PRead(int fd, uint64_t offset, uint8_t* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = pread(fd, buffer + done, length - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    return done;
}

size_t PWrite(int fd, uint64_t offset, const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = pwrite(fd, data + done, length - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    return done;
}

// A raw image file or a block device. Transfers never go past the size the
// device had when it was opened, so a write can never extend an image.
class FileDisk : public BlockDevice {
  public:
    FileDisk(int fd, bool blockDevice, uint64_t sizeBytes)
        : fd_(fd), block_(blockDevice), sizeBytes_(sizeBytes) {}
    ~FileDisk() override {
        Sync();
        FlushBuffers();
        close(fd_);
    }
    size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t length) override {
        return PRead(fd_, offset, buffer, Clip(offset, length));
    }
    size_t WriteAt(uint64_t offset, const uint8_t* data, size_t length) override {
        size_t done = PWrite(fd_, offset, data, Clip(offset, length));
        WriteBehind(fd_, &unflushed_, done);
        if (done > 0) written_ = true;
        return done;
    }
    uint64_t SizeSectors() const override { return sizeBytes_ / kSectorSize; }
    bool GetGeometry(DiskGeometry* geometry) override {
        if (!block_) return ImageGeometry(sizeBytes_, geometry);
        hd_geometry geo{};
        bool reported = ioctl(fd_, HDIO_GETGEO, &geo) == 0;
        return DeviceGeometry(reported, geo.heads, geo.sectors, geo.cylinders, sizeBytes_,
                              geometry);
    }
    void FlushBuffers() override {
        if (block_) ioctl(fd_, BLKFLSBUF, 0);
    }
    void RereadPartitions() override {
        if (block_) ioctl(fd_, BLKRRPART, 0);
    }
    int Sync() override {
        if (!written_) return 0;
        written_ = false;
        return fdatasync(fd_);
    }

  private:
    size_t Clip(uint64_t offset, size_t length) const {
        if (offset >= sizeBytes_) return 0;
        return size_t(std::min<uint64_t>(length, sizeBytes_ - offset));
    }
    int fd_;
    bool block_;
    uint64_t sizeBytes_;
    uint32_t unflushed_ = 0;
    bool written_ = false; // written since the last Sync
};

} // namespace

std::unique_ptr<BlockDevice> OpenDiskDevice(const char* path, bool writable) {
    int fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) {
        LogFormat("ERROR: Cannot open disk %s: %s\r\n", path, strerror(errno));
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        LogFormat("ERROR: %s is neither a block device nor a disk image file\r\n", path);
        close(fd);
        return nullptr;
    }
    bool block = S_ISBLK(st.st_mode);
    uint64_t size = uint64_t(st.st_size);
    if (block) {
        int logical = 0;
        if (ioctl(fd, BLKSSZGET, &logical) == 0 && logical != int(kSectorSize)) {
            LogFormat("ERROR: %s has %d-byte sectors; only disks of %u-byte sectors are "
                      "supported\r\n",
                      path, logical, kSectorSize);
            close(fd);
            return nullptr;
        }
        if (ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
        ioctl(fd, BLKFLSBUF, 0);
        int readAhead = 0;
        ioctl(fd, BLKRASET, readAhead);
    }
    return std::make_unique<FileDisk>(fd, block, size);
}

// ---------------------------------------------------------------------------

MemoryDisk::MemoryDisk(uint64_t sizeBytes) : sizeSectors_(sizeBytes / kSectorSize) {
    hasGeometry_ = ImageGeometry(sizeBytes, &geometry_);
}

MemoryDisk::MemoryDisk(const DiskGeometry& geometry, uint64_t sizeSectors)
    : geometry_(geometry), hasGeometry_(true), sizeSectors_(sizeSectors) {}

bool MemoryDisk::GetGeometry(DiskGeometry* geometry) {
    if (hasGeometry_) *geometry = geometry_;
    return hasGeometry_;
}

size_t MemoryDisk::ReadAt(uint64_t offset, uint8_t* buffer, size_t length) {
    const uint64_t end = sizeSectors_ * kSectorSize;
    size_t done = 0;
    while (done < length && offset + done < end) {
        uint64_t pos = offset + done;
        uint64_t sector = pos / kSectorSize;
        size_t within = size_t(pos % kSectorSize);
        size_t n = std::min<size_t>(kSectorSize - within, length - done);
        auto it = sectors_.find(sector);
        if (it == sectors_.end())
            memset(buffer + done, 0, n);
        else
            memcpy(buffer + done, it->second.data() + within, n);
        done += n;
    }
    return done;
}

size_t MemoryDisk::WriteAt(uint64_t offset, const uint8_t* data, size_t length) {
    ++writes;
    const uint64_t end = sizeSectors_ * kSectorSize;
    size_t done = 0;
    while (done < length && offset + done < end) {
        uint64_t pos = offset + done;
        uint64_t sector = pos / kSectorSize;
        size_t within = size_t(pos % kSectorSize);
        size_t n = std::min<size_t>(kSectorSize - within, length - done);
        auto it = sectors_.find(sector);
        if (it == sectors_.end())
            it = sectors_.emplace(sector, std::vector<uint8_t>(kSectorSize, 0)).first;
        memcpy(it->second.data() + within, data + done, n);
        // Keep the image sparse: an all-zero sector needs no storage.
        bool zero = true;
        for (uint8_t b : it->second)
            if (b != 0) {
                zero = false;
                break;
            }
        if (zero) sectors_.erase(it);
        done += n;
    }
    return done;
}

std::vector<uint8_t> MemoryDisk::Sector(uint64_t sector) const {
    auto it = sectors_.find(sector);
    if (it == sectors_.end()) return std::vector<uint8_t>(kSectorSize, 0);
    return it->second;
}

void MemoryDisk::PutSector(uint64_t sector, const uint8_t* data) {
    uint64_t saved = writes;
    WriteAt(sector * kSectorSize, data, kSectorSize);
    writes = saved;
}

// ---------------------------------------------------------------------------

FaultyDisk::FaultyDisk(std::unique_ptr<BlockDevice> inner, uint64_t failRead, uint64_t failWrite,
                       bool sticky)
    : inner_(std::move(inner)), failRead_(failRead), failWrite_(failWrite), sticky_(sticky) {}

size_t FaultyDisk::ReadAt(uint64_t offset, uint8_t* buffer, size_t length) {
    ++reads;
    if (failRead_ != 0 && (reads == failRead_ || (sticky_ && reads > failRead_))) return 0;
    return inner_->ReadAt(offset, buffer, length);
}

size_t FaultyDisk::WriteAt(uint64_t offset, const uint8_t* data, size_t length) {
    ++writes;
    if (failWrite_ != 0 && (writes == failWrite_ || (sticky_ && writes > failWrite_))) return 0;
    return inner_->WriteAt(offset, data, length);
}

} // namespace vk
