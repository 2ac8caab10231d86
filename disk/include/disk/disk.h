// Raw sector access to the hard disks (devices or image files), addressed in
// 512-byte sectors relative to a partition whose state the caller passes.
//
// Each disk sits behind a small device interface (BlockDevice) with
// interchangeable backends: a Linux block device, a raw image file, a sparse
// in-memory image and a fault-injecting wrapper for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk/gpt.h"
#include "platform/types.h"

namespace vk {

struct FsState;

constexpr uint32_t kSectorSize = 512;
constexpr int kMaxDisks = 8;
constexpr uint8_t kFirstHardDisk = 0x80;

// Geometry of an image file: 64 heads, 63 sectors per track, and as many
// whole cylinders as the file holds.
constexpr uint32_t kImageHeads = 64;
constexpr uint32_t kImageSectors = 63;

extern uint8_t AllowDiskWrite; // option -w: writes reach the disks
extern uint8_t LBAMode;        // script variable LBA: 10-bit cylinders, 8-bit heads
extern uint8_t FDAMode;        // script variable FDA: only mirrored into FsState::fda

// Disk geometry as the BIOS numbers it: highest cylinder and head numbers,
// sectors per track.
struct DiskGeometry {
    uint16_t lastCylinder = 0;
    uint8_t lastHead = 0;
    uint8_t sectors = 0;
};

// One disk. Offsets and lengths are in bytes; transfers return the number of
// bytes moved (short on error or at the end of the device).
class BlockDevice {
  public:
    virtual ~BlockDevice() = default;
    virtual size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t length) = 0;
    virtual size_t WriteAt(uint64_t offset, const uint8_t* data, size_t length) = 0;
    // Total size in sectors; nothing beyond it is ever read or written.
    virtual uint64_t SizeSectors() const = 0;
    // False when the geometry cannot be determined (the disk is then not counted).
    virtual bool GetGeometry(DiskGeometry* geometry) = 0;
    // Drop the kernel's cached blocks (BLKFLSBUF); nothing for files.
    virtual void FlushBuffers() {}
    // Put what was written since the last call on stable storage
    // (fdatasync); nothing when nothing was written. Non-zero on failure.
    virtual int Sync() { return 0; }
    // Make the kernel re-read the partition table (BLKRRPART); nothing for files.
    virtual void RereadPartitions() {}
};

// Geometry of an image of the given size: 64 heads x 63 sectors and
// floor(size / (64 * 63 * 512)) cylinders, at most 65536. False when the
// image holds less than one cylinder.
bool ImageGeometry(uint64_t sizeBytes, DiskGeometry* geometry);

// Geometry of a block device from what HDIO_GETGEO reported (`reported`
// false when the device answers none, as loop devices do): the device's
// heads and sectors per track with as many cylinders as its size holds (the
// ioctl's 16-bit count wraps on large disks), at most 65536. A device
// without a usable answer (no heads, or more than 63 sectors per track,
// which no partition table holds) gets an image's geometry for its size.
// False when neither gives a cylinder.
bool DeviceGeometry(bool reported, unsigned heads, unsigned sectors, unsigned cylinders,
                    uint64_t sizeBytes, DiskGeometry* geometry);

// Opens a block device of 512-byte logical sectors (size from BLKGETSIZE64,
// geometry by DeviceGeometry, ioctls honoured) or a regular image file
// (geometry from its size, no ioctls). Read-only unless `writable`. Null,
// with a logged error, on failure: a device whose logical sectors are
// larger (4096-byte NVMe namespaces) is refused, since its partition
// tables count in those sectors.
std::unique_ptr<BlockDevice> OpenDiskDevice(const char* path, bool writable);

// A sparse in-memory image: unwritten sectors read as zeros, so large
// virtual disks cost only what is written.
class MemoryDisk : public BlockDevice {
  public:
    explicit MemoryDisk(uint64_t sizeBytes); // image geometry from the size
    MemoryDisk(const DiskGeometry& geometry, uint64_t sizeSectors);
    size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t length) override;
    size_t WriteAt(uint64_t offset, const uint8_t* data, size_t length) override;
    uint64_t SizeSectors() const override { return sizeSectors_; }
    bool GetGeometry(DiskGeometry* geometry) override;
    void RereadPartitions() override { ++rereads; }
    // Convenience for tests: one sector's bytes (zeros when unwritten).
    std::vector<uint8_t> Sector(uint64_t sector) const;
    void PutSector(uint64_t sector, const uint8_t* data);
    size_t StoredSectors() const { return sectors_.size(); }
    int rereads = 0;
    uint64_t writes = 0; // number of WriteAt calls

  private:
    DiskGeometry geometry_{};
    bool hasGeometry_ = false;
    uint64_t sizeSectors_ = 0;
    std::map<uint64_t, std::vector<uint8_t>> sectors_;
};

// Wraps a device and fails its n-th read and/or n-th write (counted from 1;
// 0 never fails). With `sticky`, every later one fails as well.
class FaultyDisk : public BlockDevice {
  public:
    FaultyDisk(std::unique_ptr<BlockDevice> inner, uint64_t failRead, uint64_t failWrite,
               bool sticky = false);
    size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t length) override;
    size_t WriteAt(uint64_t offset, const uint8_t* data, size_t length) override;
    uint64_t SizeSectors() const override { return inner_->SizeSectors(); }
    bool GetGeometry(DiskGeometry* geometry) override { return inner_->GetGeometry(geometry); }
    void FlushBuffers() override { inner_->FlushBuffers(); }
    int Sync() override { return inner_->Sync(); }
    void RereadPartitions() override { inner_->RereadPartitions(); }
    BlockDevice* inner() { return inner_.get(); }
    uint64_t reads = 0;
    uint64_t writes = 0;

  private:
    std::unique_ptr<BlockDevice> inner_;
    uint64_t failRead_;
    uint64_t failWrite_;
    bool sticky_;
};

// Names a raw disk image file or block device as the next hard disk (option
// -d<path>). The paths are opened in order at the first HDCount; when any of
// them cannot be opened, no disk at all is counted, so that a missing image
// never shifts the numbers of the disks after it.
void AddDiskPath(const char* path);
int DiskPathCount();
// Without -d paths, the programs call this so that HDCount probes the
// devices of ProbedDiskNames. Without it (unit tests, tools) nothing under
// /dev is ever opened.
void EnableDeviceProbe();
// The device names looked for, in the order disks are numbered:
// /dev/hda../dev/hdh, /dev/sda../dev/sdh, then the NVMe disks
// /dev/nvme0n1../dev/nvme7n1; at most kMaxDisks of them are taken.
std::vector<std::string> ProbedDiskNames();
// Adds an already open device as the next hard disk (tests). Returns it.
BlockDevice* AddDiskDevice(std::unique_ptr<BlockDevice> device);
// Forgets every disk and path and closes the devices, as at program start.
// Partition states must have been flushed first (FlushParts).
void ResetDisks();
// The device behind a disk number (0x80...), or null.
BlockDevice* DiskDevice(int disk);
// Size of a disk in sectors, 0 for an unknown disk.
uint64_t DiskSizeSectors(int disk);

// Sectors to put on the disk before anything else is written to it (a
// partition table that was read from its one sound copy gets its other
// copy back); replaces what was pending. Written, and the log told, by the
// first write that reaches the disk; dropped, unwritten, by an empty set.
void SetPendingRepair(int disk, std::vector<gpt::SectorRun> runs);
// Records what was last noted about the disk's partition table (empty:
// nothing); true when that differs from the note before, which is then
// worth logging.
bool NewTableNote(int disk, const std::string& note);

int HDCount();
int GetGeometry(int disk, uint16_t* lastCylinder, uint8_t* lastHead, uint8_t* sectors);
// Transfers at the partition's position (relative to its start), which
// they advance; each fails (logged) beyond the partition or the disk.
Status Seek(FsState& s, uint64_t sector);
Status RewindPart(FsState& s);
Status SkipSects(FsState& s, uint64_t count);
Status ReadSects(FsState& s, uint16_t count, uint8_t* buffer);
Status WriteSects(FsState& s, uint16_t count, const uint8_t* data);
Status BlankSects(FsState& s, uint64_t count);
// The partition's table was rewritten: the kernel re-reads the disk's.
void FlushPartTable(const FsState& s);
// Puts what this run wrote on stable storage: the disks and images written
// since the last call (fdatasync) and the host file systems that host files
// were written to (syncfs). After a partition table was rewritten the whole
// host is flushed instead (sync), as the kernel's re-read needs. Non-zero
// when a flush failed.
int FlushWrittenData();
void CloseDisks();
Status ReadFloppyBootSect(uint8_t* sector);     // sector: 512 bytes
Status ReadRootDeviceBootSect(uint8_t* buffer); // buffer: 1024 bytes

} // namespace vk
