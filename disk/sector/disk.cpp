// The table of hard disks and sector access relative to the current
// partition.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "disk/disk.h"
#include "disk/fsdriver.h"
#include "platform/console.h"
#include "platform/hostfile.h"
#include "platform/util.h"

namespace vk {

uint8_t AllowDiskWrite = 0;
uint8_t LBAMode = 1;
uint8_t FDAMode = 0;

namespace {

struct Disk {
    std::unique_ptr<BlockDevice> device;
    DiskGeometry geometry;
    std::vector<gpt::SectorRun> repair; // written before the next write
    std::string note;                   // the last note about its table
};

std::vector<Disk> disks;
std::vector<std::string> diskPaths;
bool counted = false;      // HDCount has looked for the disks
bool probeDevices = false; // without -d paths, look under /dev

// Registers an open device when its geometry is known; false otherwise.
bool TakeDisk(std::unique_ptr<BlockDevice> device) {
    Disk d;
    if (!device->GetGeometry(&d.geometry)) return false;
    d.device = std::move(device);
    disks.push_back(std::move(d));
    return true;
}

void OpenDiskPaths() {
    for (const std::string& path : diskPaths) {
        if (int(disks.size()) == kMaxDisks) {
            LogFormat("WARNING: only %d disks are supported, %s ignored\r\n", kMaxDisks,
                      path.c_str());
            break;
        }
        std::unique_ptr<BlockDevice> device = OpenDiskDevice(path.c_str(), AllowDiskWrite);
        bool ok = device != nullptr;
        if (ok && !TakeDisk(std::move(device))) {
            LogFormat("ERROR: Cannot determine the geometry of %s (an image holds at least one "
                      "cylinder of 64 x 63 sectors)\r\n",
                      path.c_str());
            ok = false;
        }
        if (ok) continue;
        // A missing disk would shift the numbers of the following ones onto
        // the wrong images: count none at all.
        Log("ERROR: Disk list incomplete, no disk is used\r\n");
        disks.clear();
        return;
    }
}

void ProbeDevices() {
    for (const std::string& path : ProbedDiskNames()) {
        if (int(disks.size()) == kMaxDisks) break;
        if (access(path.c_str(), F_OK) != 0) continue;
        int fd = open(path.c_str(), (AllowDiskWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC);
        if (fd < 0) continue;
        close(fd);
        std::unique_ptr<BlockDevice> device = OpenDiskDevice(path.c_str(), AllowDiskWrite);
        if (device) TakeDisk(std::move(device));
    }
}

const Disk* FindDisk(int disk) {
    int index = disk - kFirstHardDisk;
    if (index < 0 || index >= int(disks.size())) return nullptr;
    return &disks[size_t(index)];
}

// Checks a transfer of `count` sectors at the current position against the
// partition and the disk. Returns the device, or null after logging.
BlockDevice* CheckTransfer(const FsState& s, uint32_t count, uint64_t* absolute) {
    if (s.position > s.sizeSectors || s.sizeSectors - s.position < count) {
        Log("ERROR: Read operation beyond partition limit\r\n");
        return nullptr;
    }
    const Disk* d = FindDisk(s.disk);
    *absolute = s.start + s.position;
    if (d == nullptr || *absolute < s.start || *absolute + count > d->device->SizeSectors()) {
        Log("ERROR: Operation beyond the end of the disk\r\n");
        return nullptr;
    }
    return d->device.get();
}

// Writes what SetPendingRepair left for the disk; false when a write failed.
bool RunPendingRepair(int disk) {
    int index = disk - kFirstHardDisk;
    if (index < 0 || index >= int(disks.size()) || disks[size_t(index)].repair.empty()) return true;
    Disk& d = disks[size_t(index)];
    std::vector<gpt::SectorRun> runs = std::move(d.repair);
    d.repair.clear();
    for (const gpt::SectorRun& run : runs) {
        if (run.lba + run.bytes.size() / kSectorSize > d.device->SizeSectors() ||
            d.device->WriteAt(run.lba * kSectorSize, run.bytes.data(), run.bytes.size()) !=
                run.bytes.size()) {
            LogFormat("ERROR: Cannot repair the partition table of hard disk %d\r\n", index);
            return false;
        }
    }
    LogFormat("Partition table of hard disk %d repaired\r\n", index);
    return true;
}

} // namespace

std::vector<std::string> ProbedDiskNames() {
    std::vector<std::string> names;
    for (const char* prefix : {"/dev/hd", "/dev/sd"})
        for (char letter = 'a'; letter <= 'h'; ++letter)
            names.push_back(std::string(prefix) + letter);
    // NVMe namespaces: the first of each of the first eight controllers.
    for (int controller = 0; controller < kMaxDisks; ++controller)
        names.push_back("/dev/nvme" + std::to_string(controller) + "n1");
    return names;
}

bool NewTableNote(int disk, const std::string& note) {
    int index = disk - kFirstHardDisk;
    if (index < 0 || index >= int(disks.size()) || disks[size_t(index)].note == note) return false;
    disks[size_t(index)].note = note;
    return true;
}

void SetPendingRepair(int disk, std::vector<gpt::SectorRun> runs) {
    int index = disk - kFirstHardDisk;
    if (index >= 0 && index < int(disks.size())) disks[size_t(index)].repair = std::move(runs);
}

void AddDiskPath(const char* path) {
    diskPaths.emplace_back(path);
}
int DiskPathCount() {
    return int(diskPaths.size());
}
void EnableDeviceProbe() {
    probeDevices = true;
}

BlockDevice* AddDiskDevice(std::unique_ptr<BlockDevice> device) {
    counted = true;
    if (int(disks.size()) == kMaxDisks) return nullptr;
    BlockDevice* raw = device.get();
    if (!TakeDisk(std::move(device))) return nullptr;
    return raw;
}

void ResetDisks() {
    disks.clear();
    diskPaths.clear();
    counted = false;
    probeDevices = false;
}

BlockDevice* DiskDevice(int disk) {
    const Disk* d = FindDisk(disk);
    return d ? d->device.get() : nullptr;
}

uint64_t DiskSizeSectors(int disk) {
    const Disk* d = FindDisk(disk);
    return d ? d->device->SizeSectors() : 0;
}

int HDCount() {
    if (!counted) {
        counted = true;
        // Each device drops the kernel's stale blocks as it is opened
        // (BLKFLSBUF, which writes dirty ones first); images are read
        // through the same page cache that writes to them went to.
        if (!diskPaths.empty())
            OpenDiskPaths();
        else if (probeDevices)
            ProbeDevices();
    }
    return int(disks.size());
}

int GetGeometry(int disk, uint16_t* lastCylinder, uint8_t* lastHead, uint8_t* sectors) {
    const Disk* d = FindDisk(disk);
    if (d == nullptr) return -1;
    *lastCylinder = d->geometry.lastCylinder;
    *lastHead = d->geometry.lastHead;
    *sectors = d->geometry.sectors;
    return 0;
}

Status Seek(FsState& s, uint64_t sector) {
    s.position = sector;
    return 0;
}

Status RewindPart(FsState& s) {
    return Seek(s, 0);
}

Status SkipSects(FsState& s, uint64_t count) {
    s.position = count > UINT64_MAX - s.position ? UINT64_MAX : s.position + count;
    return 0;
}

Status ReadSects(FsState& s, uint16_t count, uint8_t* buffer) {
    uint64_t absolute = 0;
    BlockDevice* device = CheckTransfer(s, count, &absolute);
    if (device == nullptr) return -1;
    size_t bytes = size_t(count) * kSectorSize;
    if (device->ReadAt(absolute * kSectorSize, buffer, bytes) != bytes) {
        Log("ERROR: Low-level read failed\r\n");
        return -1;
    }
    s.position += count;
    return 0;
}

Status WriteSects(FsState& s, uint16_t count, const uint8_t* data) {
    uint64_t absolute = 0;
    BlockDevice* device = CheckTransfer(s, count, &absolute);
    if (device == nullptr) return -1;
    if (AllowDiskWrite) {
        if (!RunPendingRepair(s.disk)) return -1;
        size_t bytes = size_t(count) * kSectorSize;
        if (device->WriteAt(absolute * kSectorSize, data, bytes) != bytes) {
            Log("ERROR: Low-level write failed\r\n");
            return -1;
        }
    } else {
        Log("Disk write cancelled (default behaviour under Linux)\r\n");
    }
    s.position += count;
    return 0;
}

Status BlankSects(FsState& s, uint64_t count) {
    constexpr uint16_t kBlock = 64;
    static const uint8_t zeros[kBlock * kSectorSize] = {};
    for (uint64_t blocks = count / kBlock; blocks > 0; --blocks) {
        MonitorESC();
        if (WriteSects(s, kBlock, zeros) != 0) return -1;
    }
    if (count % kBlock != 0 && WriteSects(s, uint16_t(count % kBlock), zeros) != 0) return -1;
    return 0;
}

namespace {

// A partition table was rewritten this run: flushes then cover the whole
// host, as before the kernel re-reads a table.
bool tableRewritten = false;

} // namespace

void FlushPartTable(const FsState& s) {
    tableRewritten = true;
    if (BlockDevice* device = DiskDevice(s.disk)) device->RereadPartitions();
}

int FlushWrittenData() {
    if (tableRewritten) sync();
    int result = 0;
    for (Disk& d : disks)
        if (d.device->Sync() != 0) result = 1;
    if (SyncWrittenFileSystems() != 0) result = 1;
    return result;
}

void CloseDisks() {
    if (tableRewritten) {
        sync();
        sync();
    } else {
        FlushWrittenData();
    }
    while (!disks.empty()) {
        disks.back().device->FlushBuffers();
        disks.pop_back();
    }
    if (tableRewritten) sync();
    tableRewritten = false;
    counted = false;
}

Status ReadFloppyBootSect(uint8_t* sector) {
    // Like the hard disks, the floppy device is only opened when the program
    // may probe devices (no -d paths): tests on images never reach it.
    if (!probeDevices) return -1;
    int fd = open("/dev/fd0", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = pread(fd, sector, kSectorSize, 0);
    close(fd);
    if (n != ssize_t(kSectorSize)) return -1;
    if (sector[510] != 0x55 || sector[511] != 0xAA) Log("Warning: no boot record signature\r\n");
    return 0;
}

Status ReadRootDeviceBootSect(uint8_t* buffer) {
    // Devices are only looked for when the program may probe them (no -d).
    if (!probeDevices) return 1;
    struct stat root {};
    if (stat("/", &root) != 0) return 1;
    DIR* dir = opendir("/dev");
    if (dir == nullptr) return 1;
    std::string found;
    while (dirent* e = readdir(dir)) {
        std::string path = std::string("/dev/") + e->d_name;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == root.st_dev) {
            found = path;
            break;
        }
    }
    closedir(dir);
    if (found.empty()) return 1;
    int fd = open(found.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    ssize_t n = pread(fd, buffer, 1024, 0);
    close(fd);
    return n == 1024 ? 0 : 1;
}

} // namespace vk
