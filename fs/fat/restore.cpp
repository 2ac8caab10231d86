// Full restore of a FAT partition from a full archive, in one sequential
// pass over the archive. The archive announces every directory's and file's
// size (the summaries) before any entry or content, so the whole volume is
// laid out in advance: directories get consecutive clusters in directory
// order, files consecutive clusters in file order, each contiguous. The
// complete FAT is written first (both copies), then all directories, then
// all file data; nothing written is read back.
//
// The volume is recognisable only once it is complete: the first write
// blanks the boot sector (and where a FAT32 backup or an ext2 superblock
// would be found), and the boot area, with the FSInfo sector and the
// backup boot sectors, goes on disk last, the boot sector itself in the
// very last write. A restore cut off on the way leaves a partition that
// other tools take for no file system, and the same restore run again
// rebuilds it.
//
// FAT32 puts the directories from cluster 2 (the root first) and the files
// after them. FAT16 keeps its root in the fixed area, reserves the first
// 1024 data sectors (clusters 2 to D - 1) for the first files, puts the
// subdirectories from D and continues the files behind them.
//
// The archive is untrusted. Before anything is written, the header, the
// boot area and both summaries are read and the layout is checked to fit
// the partition; every later record is checked against the summaries, so
// that no write ever leaves the planned clusters.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "archive/source.h"
#include "disk/disk.h"
#include "disk/partitions.h"
#include "fat_internal.h"
#include "platform/console.h"
#include "platform/util.h"
#include "restore.h"

namespace vk {

namespace {

constexpr uint32_t kFat32BootArea = 16384; // 32 reserved sectors
constexpr uint32_t kFat16BootArea = 512;
constexpr uint32_t kFatBufferBytes = 65536; // FAT and data written 128 sectors at a time
constexpr uint32_t kRootSlots = 512;
constexpr uint32_t kFat16LeadSectors = 1024; // data sectors kept for the first files

Status Damaged(const char* what) {
    LogFormat("FAT Unzip: damaged archive: %s\r\n", what);
    return 1;
}

uint32_t ClustersFor(uint32_t bytes, uint32_t spc) {
    uint32_t sectors = uint32_t((uint64_t(bytes) + kSectorSize - 1) / kSectorSize);
    return (sectors + spc - 1) / spc;
}

// What the summaries say of one directory.
struct DirPlan {
    uint32_t own = 0; // clusters at the volume's cluster size
    uint32_t subdirs = 0;
    uint32_t files = 0;
    uint32_t start = 0; // first cluster (0: the FAT16 root)
};

// The planned volume: directory and file clusters in archive order.
struct Plan {
    bool fat32 = false;
    uint32_t spc = 0;
    uint32_t clusters = 0; // N: clusters 2 .. N + 1
    uint32_t d = 0;        // FAT16: first directory cluster; FAT32: 2
    uint32_t dlast = 0;    // last directory cluster (d - 1 without any)
    uint32_t flast = 0;    // last file cluster (1 without any)
    uint64_t used = 0;     // clusters given to directories and files
    std::vector<DirPlan> dirs;
    std::vector<uint32_t> fileSizes;
};

// Hands out file clusters in file order: FAT16 fills the region before D
// first and continues behind the directories (a file may straddle).
class FilePlacer {
  public:
    explicit FilePlacer(const Plan& plan) : plan_(plan) {
        next_ = plan.fat32 ? plan.dlast + 1 : 2;
        jumped_ = plan.fat32;
    }
    // First cluster of a file of n clusters (0 for none); *split receives
    // how many of them lie before the jump (n when it does not jump).
    uint32_t Place(uint32_t n, uint32_t* split) {
        *split = n;
        if (n == 0) return 0;
        if (!jumped_ && next_ >= plan_.d) Jump();
        uint32_t first = next_;
        if (!jumped_ && uint64_t(next_) + n > plan_.d) {
            *split = plan_.d - next_;
            Jump();
            next_ += n - *split;
        } else {
            next_ += n;
        }
        return first;
    }

  private:
    void Jump() {
        next_ = plan_.dlast + 1;
        jumped_ = true;
    }
    const Plan& plan_;
    uint32_t next_ = 0;
    bool jumped_ = false;
};

// Accumulates consecutive sectors and writes them 128 at a time (and
// again `mirror` sectors further on when that is not 0: the second FAT).
class SectorStream {
  public:
    explicit SectorStream(FsState& part) : part(part), buffer_(new uint8_t[kFatBufferBytes]) {}
    void Start(uint32_t sector, uint32_t mirror = 0) {
        sector_ = sector;
        mirror_ = mirror;
        fill_ = 0;
    }
    Status Put(const uint8_t* data, uint32_t n) {
        while (n > 0) {
            uint32_t take = std::min(n, kFatBufferBytes - fill_);
            std::memcpy(buffer_.get() + fill_, data, take);
            fill_ += take;
            data += take;
            n -= take;
            if (fill_ == kFatBufferBytes && Flush() != 0) return 1;
        }
        return 0;
    }
    Status Zeros(uint64_t n) {
        while (n > 0) {
            uint32_t take = uint32_t(std::min<uint64_t>(n, kFatBufferBytes - fill_));
            std::memset(buffer_.get() + fill_, 0, take);
            fill_ += take;
            n -= take;
            if (fill_ == kFatBufferBytes && Flush() != 0) return 1;
        }
        return 0;
    }
    // Writes what is buffered (whole sectors, the last one zero-padded).
    Status Flush() {
        if (fill_ == 0) return 0;
        uint32_t sectors = (fill_ + kSectorSize - 1) / kSectorSize;
        std::memset(buffer_.get() + fill_, 0, sectors * kSectorSize - fill_);
        MonitorESC();
        if (Seek(part, sector_) != 0 || WriteSects(part, uint16_t(sectors), buffer_.get()) != 0)
            return 1;
        if (mirror_ != 0 && (Seek(part, sector_ + mirror_) != 0 ||
                             WriteSects(part, uint16_t(sectors), buffer_.get()) != 0))
            return 1;
        sector_ += sectors;
        fill_ = 0;
        return 0;
    }
    uint32_t Position() const { return sector_ + fill_ / kSectorSize; }

  private:
    FsState& part;
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t sector_ = 0;
    uint32_t mirror_ = 0;
    uint32_t fill_ = 0;
};

// The restore is the sink of the sections the archive pumps read for it.
class Restore : public FullRestoreSink {
  public:
    Restore(FsState& part, bool fat32, IArchive* archive)
        : fat32_(fat32), archive_(archive), part(part), src_(GetFullArchiveSource()),
          stream_(part) {}
    Status Run();

  private:
    FullRestoreSource Source() { return {src_, archive_, "FAT Unzip", this}; }
    Status DirSummaryEntry(uint32_t i, const uint8_t* p) override;
    Status FileSummaryEntry(uint32_t, const uint8_t* p) override {
        plan_.fileSizes.push_back(ld32(p));
        return 0;
    }
    Status BeginFile(uint32_t, uint64_t size) override;
    Status FilePiece(const uint8_t* data, uint32_t len) override;
    Status EndFile() override;
    Status EndFiles() override { return stream_.Flush(); }
    Status BeginDirectory(uint32_t index, uint32_t parent, const DirectoryRecord& rec) override;
    Status CheckName(const char* name) override;
    Status AddSubdirectory(uint32_t child, const SubdirEntry& e, const uint8_t* attributes,
                           const char* name) override;
    Status AddFile(uint32_t, uint32_t dir, uint32_t size, const uint8_t* attributes,
                   const char* name) override;
    Status EndDirectory() override;
    Status ReadBootArea();
    Status ReadSummaries();
    Status CheckFit();
    Status ForgetOldVolume();
    Status PatchBoot();
    Status WriteFat();
    Status WriteDirectories();
    Status WriteFiles();
    Status WriteBootArea();

    // Directory building: one cluster (or the FAT16 root) at a time.
    Status BeginDir(uint32_t index, uint32_t parentStart);
    Status AddSlot(const uint8_t* slot);
    Status AddEntry(const char* name, const uint8_t* attributes, uint8_t kind, uint32_t cluster,
                    uint32_t size, bool rootFile);
    Status WriteDirCluster();

    bool fat32_;
    IArchive* archive_;
    FsState& part;
    const FullArchiveSource* src_;
    FatGeometry geometry_;
    FatArea area_{};
    Plan plan_;
    uint32_t k_ = 0; // block-size index of the cluster size
    const ArchiveHeader* header_ = nullptr;
    uint32_t dirCount_ = 0, fileCount_ = 0;
    std::unique_ptr<uint8_t[]> boot_;
    uint32_t bootSize_ = 0;
    bool bootFromArchive_ = false;

    // The directory being built.
    std::unique_ptr<uint8_t[]> cluster_; // one cluster, or the whole FAT16 root
    std::unique_ptr<uint8_t[]> first_;   // the root's first cluster, written last
    uint32_t slotsPerBuffer_ = 0;
    uint32_t slot_ = 0;       // next slot in the buffer
    uint32_t dirStart_ = 0;   // first cluster (0: FAT16 root)
    uint32_t dirOwn_ = 0;     // clusters it may take
    uint32_t dirWritten_ = 0; // clusters written so far
    bool root_ = false;
    uint32_t rootFiles_ = 0;         // files of the root entered so far
    char label_[12] = "NO NAME    "; // the root's volume-label entry
    bool labelled_ = false;
    std::unordered_set<std::string> names_; // short names of the directory
    SectorStream stream_;

    // The file being written.
    std::unique_ptr<FilePlacer> placer_;
    uint32_t clusterBytes_ = 0;
    bool started_ = false;     // the stream has been started
    bool fileWritten_ = false; // the file takes clusters
    bool straddles_ = false;   // a FAT16 file that continues behind the directories
    uint64_t beforeJump_ = 0;
    uint64_t done_ = 0;
    uint32_t size_ = 0;
};

Status Restore::Run() {
    if (src_ == nullptr) {
        Log("FAT Unzip: no archive reader registered\r\n");
        return 1;
    }
    if (src_->ReadArchiveHeader(archive_, &header_) != 0) return 1;
    if (std::memcmp(header_->fsId, "FATx", 4) != 0 || header_->summaryAttr != 0 ||
        header_->dirAttr != fatattr::kSize) {
        Log("FAT Unzip: Archive is not compatible with target partition\r\n");
        return 1;
    }
    dirCount_ = header_->dirCount;
    fileCount_ = header_->fileCount;
    if (!FatAddressable("FAT Unzip", part.sizeSectors)) return 1;
    if (ComputeFatParams(fat32_, uint32_t(part.sizeSectors), &geometry_) != 0) {
        LogFatGeometryRefusal("FAT Unzip", fat32_, part.sizeSectors);
        return 1;
    }
    plan_.fat32 = fat32_;
    plan_.spc = geometry_.spc;
    plan_.clusters = geometry_.clusters;
    k_ = 0;
    while ((2u << k_) < geometry_.spc)
        ++k_;
    if (ReadBootArea() != 0 || ReadSummaries() != 0 || CheckFit() != 0) return 1;
    if (PatchBoot() != 0) return 1;
    // From here on the partition is written.
    if (ForgetOldVolume() != 0 || WriteFat() != 0 || WriteDirectories() != 0 || WriteFiles() != 0)
        return 1;
    area_ = LoadFatArea(part);
    area_.freeCount = uint32_t(plan_.clusters - plan_.used);
    area_.nextFree = std::max(std::max(plan_.flast, plan_.dlast), 2u);
    if (area_.nextFree > plan_.clusters + 1) area_.nextFree = plan_.clusters + 1;
    // Both FATs are written; the boot area completes FSInfo and the backup.
    area_.fatDirtyFirst = area_.fatDirtyEnd = 0;
    StoreFatArea(part, area_);
    if (WriteBootArea() != 0) return 1;
    part.state = kStateClean;
    Log("FAT Unzip: Done !\r\n");
    return 0;
}

Status Restore::ReadBootArea() {
    const uint32_t expected = fat32_ ? kFat32BootArea : kFat16BootArea;
    boot_.reset(new uint8_t[kFat32BootArea]());
    if (PumpRestoreBootArea(Source(), expected, boot_.get(), &bootFromArchive_) != 0) return 1;
    if (bootFromArchive_) {
        bootSize_ = expected;
        return 0;
    }
    if (Seek(part, 0) != 0 || ReadSects(part, 1, boot_.get()) != 0) return 1;
    bootSize_ = kSectorSize;
    return 0;
}

Status Restore::ReadSummaries() {
    if (dirCount_ == 0) return Damaged("no root directory");
    // Every directory takes a cluster at least, so a count beyond the
    // partition's clusters cannot fit (and is not worth reading).
    if (dirCount_ > plan_.clusters) {
        NoteDiskFull();
        LogFormat("FAT Unzip: the archive does not fit: it has %u directories, the partition holds "
                  "%u clusters\r\n",
                  unsigned(dirCount_), unsigned(plan_.clusters));
        return 1;
    }
    // Kept as read: memory follows what the archive really holds.
    plan_.dirs.reserve(std::min(dirCount_, 65536u));
    plan_.fileSizes.reserve(std::min(fileCount_, 65536u));
    return PumpRestoreSummaries(Source(), dirCount_, fileCount_);
}

Status Restore::DirSummaryEntry(uint32_t i, const uint8_t* p) {
    DirSummary s = DirSummary::Load(p);
    DirPlan& d = plan_.dirs.emplace_back();
    d.own = s.blocks[k_];
    d.subdirs = s.subdirs;
    d.files = s.files;
    if (d.own == 0) return Damaged("a directory without clusters");
    if (i == 0 && !fat32_) {
        // The FAT16 root lives in its fixed area of 512 slots, that is
        // 16 blocks of 1 KB.
        if (s.blocks[0] > kRootSlots * 32 / 1024) {
            NoteDiskFull();
            LogFormat("FAT Unzip: the archive does not fit: its root directory needs %u KB, the "
                      "FAT16 root holds %u KB (%u entries)\r\n",
                      unsigned(s.blocks[0]), unsigned(kRootSlots * 32 / 1024),
                      unsigned(kRootSlots));
            return 1;
        }
    }
    return 0;
}

Status Restore::CheckFit() {
    Plan& p = plan_;
    uint64_t dirClusters = 0;
    p.d = fat32_ ? 2 : kFat16LeadSectors / p.spc + 2;
    uint64_t next = p.d;
    for (uint32_t i = 0; i < dirCount_; ++i) {
        DirPlan& d = p.dirs[i];
        if (i == 0 && !fat32_) continue; // the fixed root area
        d.start = uint32_t(std::min<uint64_t>(next, UINT32_MAX));
        next += d.own;
        dirClusters += d.own;
    }
    uint64_t fileClusters = 0;
    for (uint32_t size : p.fileSizes)
        fileClusters += ClustersFor(size, p.spc);
    uint64_t dlast = next - 1;
    uint64_t flast;
    const uint64_t lead = p.d - 2; // FAT16 clusters before the directories
    if (fat32_)
        flast = dlast + fileClusters;
    else if (fileClusters <= lead)
        flast = 1 + fileClusters;
    else
        flast = dlast + fileClusters - lead;
    const uint64_t needed = dirClusters + fileClusters;
    const uint64_t last = std::max(dlast, flast);
    if (last > uint64_t(p.clusters) + 1) {
        const uint32_t kb = p.spc / 2;
        uint64_t span = last - 1; // clusters 2 .. last
        NoteDiskFull();
        LogFormat("FAT Unzip: the archive does not fit: it needs %llu clusters (%llu KB) of %u KB, "
                  "the partition holds %u clusters (%llu KB)\r\n",
                  (unsigned long long)span, (unsigned long long)(span * kb), unsigned(kb),
                  unsigned(p.clusters), (unsigned long long)(uint64_t(p.clusters) * kb));
        return 1;
    }
    p.dlast = uint32_t(dlast);
    p.flast = uint32_t(flast);
    p.used = needed;
    return 0;
}

Status Restore::PatchBoot() {
    using namespace fatboot;
    uint8_t* s = boot_.get();
    // A partition whose current first sector is no boot sector gets a fresh
    // one to patch (the archive gave none to use).
    if (!bootFromArchive_ &&
        (ld16(s + kBytesPerSector) != kSectorSize || s[510] != 0x55 || s[511] != 0xAA)) {
        if (BuildFATBoot(part, s, fat32_, uint8_t(geometry_.spc), geometry_.sectorsPerFat,
                         "NO NAME") != 0)
            return 1;
    }
    st16(s + kBytesPerSector, kSectorSize);
    s[kSectorsPerCluster] = uint8_t(geometry_.spc);
    st16(s + kReservedSectors, fat32_ ? 32 : 1);
    s[kNumFats] = 2;
    st16(s + kRootEntries, fat32_ ? 0 : kRootSlots);
    st16(s + kSmallSectors, 0);
    s[kMedia] = kFatMedia;
    st16(s + kSectorsPerFat16, fat32_ ? 0 : uint16_t(geometry_.sectorsPerFat));
    st16(s + kSectorsPerTrack, part.geometry.sectors);
    st16(s + kHeads, uint16_t(part.geometry.heads()));
    st32(s + kHiddenSectors, HiddenSectors(part));
    st32(s + kTotalSectors, VolumeSectors(geometry_, uint32_t(part.sizeSectors)));
    if (fat32_) {
        st32(s + kSectorsPerFat32, geometry_.sectorsPerFat);
        st32(s + kFat32Flags, 0);
        st32(s + kRootCluster, 2);
        st16(s + kInfoSector, 1);
        st16(s + kBackupBoot, 6);
        std::memset(s + 52, 0, 12);
    }
    s[(fat32_ ? kExtendedFat32 : kExtendedFat16) + kDriveNumber] = part.disk;
    s[510] = 0x55;
    s[511] = 0xAA;
    if (PrepareFatBoot(part, s, geometry_) != 0) return 1;
    area_ = LoadFatArea(part);
    return 0;
}

// The first write: the partition stops being the volume it was. Its boot
// sector goes (kept in memory when it is to be patched), and so do the
// places where other tools would still find a file system: the FAT32
// backup boot sector and an ext2 superblock.
Status Restore::ForgetOldVolume() {
    uint8_t zero[2 * kSectorSize] = {};
    uint8_t sector[kSectorSize];
    if (Seek(part, 2) == 0 && ReadSects(part, 1, sector) == 0 && ld16(sector + 56) == 0xEF53 &&
        (Seek(part, 2) != 0 || WriteSects(part, 2, zero) != 0))
        return 1;
    if (Seek(part, 6) != 0 || WriteSects(part, 1, zero) != 0) return 1;
    return Seek(part, 0) != 0 || WriteSects(part, 1, zero) != 0 ? 1 : 0;
}

// FAT number 1 in cluster order: the runs of directories and files, each
// chained and terminated, zeros elsewhere.
Status Restore::WriteFat() {
    Log("FAT Unzip: Building FAT...\r\n");
    const Plan& p = plan_;
    const uint32_t width = 1u << area_.widthCode;
    const uint32_t end = fat32_ ? kFatEndOfChain : 0xFFFF;
    stream_.Start(area_.reservedSectors, area_.sectorsPerFat);
    uint32_t at = 0; // next cluster whose entry is due
    uint8_t entry[4];
    auto put = [&](uint32_t value) {
        if (width == 4)
            st32(entry, value);
        else
            st16(entry, uint16_t(value));
        ++at;
        return stream_.Put(entry, width);
    };
    auto skipTo = [&](uint32_t cluster) {
        if (cluster < at) return Status(1); // runs come in cluster order
        Status s = stream_.Zeros(uint64_t(cluster - at) * width);
        at = cluster;
        return s;
    };
    // A run of n clusters from `first`, its last one linked to `tail`.
    auto run = [&](uint32_t first, uint32_t n, uint32_t tail) {
        if (skipTo(first) != 0) return Status(1);
        for (uint32_t i = 1; i < n; ++i)
            if (put(first + i) != 0) return Status(1);
        return put(tail);
    };
    if (put(fat32_ ? 0x0FFFFFF8 : 0xFFF8) != 0 || put(fat32_ ? kFatEndOfChain : 0xFFFF) != 0)
        return 1;
    auto dirRuns = [&]() {
        for (uint32_t i = fat32_ ? 0 : 1; i < dirCount_; ++i)
            if (run(p.dirs[i].start, p.dirs[i].own, end) != 0) return Status(1);
        return Status(0);
    };
    if (fat32_ && dirRuns() != 0) return 1;
    FilePlacer placer(p);
    bool dirsDone = fat32_;
    for (uint32_t size : p.fileSizes) {
        uint32_t n = ClustersFor(size, p.spc), split;
        uint32_t first = placer.Place(n, &split);
        if (n == 0) continue;
        if (!dirsDone && first > p.d - 1) {
            if (dirRuns() != 0) return 1;
            dirsDone = true;
        }
        if (split < n) {
            // The file straddles the directories: its chain jumps over them.
            if (run(first, split, p.dlast + 1) != 0 || dirRuns() != 0) return 1;
            dirsDone = true;
            if (run(p.dlast + 1, n - split, end) != 0) return 1;
        } else if (run(first, n, end) != 0) {
            return 1;
        }
    }
    if (!dirsDone && dirRuns() != 0) return 1;
    // The rest of the FAT is free.
    uint64_t total = uint64_t(area_.sectorsPerFat) * kSectorSize;
    uint64_t written = uint64_t(at) * width;
    if (stream_.Zeros((kSectorSize - written % kSectorSize) % kSectorSize) != 0 ||
        stream_.Flush() != 0)
        return 1;
    uint64_t left = total - (written + kSectorSize - 1) / kSectorSize * kSectorSize;
    for (uint32_t copy = 0; copy < 2; ++copy)
        if (Seek(part, stream_.Position() + copy * area_.sectorsPerFat) != 0 ||
            BlankSects(part, uint32_t(left / kSectorSize)) != 0)
            return 1;
    stream_.Start(0);
    return 0;
}

Status Restore::WriteDirCluster() {
    if (dirWritten_ >= dirOwn_) return Damaged("a directory larger than its summary says");
    const uint8_t* data = cluster_.get();
    if (root_ && dirWritten_ == 0) {
        std::memcpy(first_.get(), cluster_.get(), area_.ClusterBytes());
    } else if (Seek(part, area_.ClusterSector(dirStart_ + dirWritten_)) != 0 ||
               WriteSects(part, uint16_t(area_.sectorsPerCluster), data) != 0) {
        return 1;
    }
    ++dirWritten_;
    std::memset(cluster_.get(), 0, area_.ClusterBytes());
    slot_ = 0;
    return 0;
}

Status Restore::AddSlot(const uint8_t* slot) {
    if (slot_ == slotsPerBuffer_) {
        if (dirStart_ == 0) {
            LogFormat("FAT Unzip: the root directory holds more than %u entries\r\n",
                      unsigned(kRootSlots));
            return 1;
        }
        if (WriteDirCluster() != 0) return 1;
    }
    std::memcpy(cluster_.get() + slot_ * fatdir::kSlotSize, slot, fatdir::kSlotSize);
    ++slot_;
    return 0;
}

Status Restore::BeginDir(uint32_t index, uint32_t parentStart) {
    const DirPlan& d = plan_.dirs[index];
    root_ = index == 0;
    dirStart_ = d.start;
    dirOwn_ = root_ && !fat32_ ? 1 : d.own;
    dirWritten_ = 0;
    slot_ = 0;
    rootFiles_ = 0;
    names_.clear();
    slotsPerBuffer_ = (dirStart_ == 0 ? kRootSlots * fatdir::kSlotSize : area_.ClusterBytes()) /
                      fatdir::kSlotSize;
    std::memset(cluster_.get(), 0, slotsPerBuffer_ * fatdir::kSlotSize);
    uint8_t slot[fatdir::kSlotSize];
    if (root_) {
        // Deleted placeholders that the first two plain-named files of the
        // root take over.
        BuildFATDirEnt(slot, "MSDOS.SYS", "MSDOS   SYS", 0, 0, nullptr, kKindFile, 0, 0);
        slot[0] = fatdir::kDeletedMark;
        if (AddSlot(slot) != 0) return 1;
        BuildFATDirEnt(slot, "IO.SYS", "IO      SYS", 0, 0, nullptr, kKindFile, 0, 0);
        slot[0] = fatdir::kDeletedMark;
        return AddSlot(slot);
    }
    BuildFATDirEnt(slot, ".", ".          ", 0, 0, nullptr, kKindDir, dirStart_, 0);
    if (AddSlot(slot) != 0) return 1;
    BuildFATDirEnt(slot, "..", "..         ", 0, 0, nullptr, kKindDir, parentStart, 0);
    return AddSlot(slot);
}

Status Restore::AddEntry(const char* name, const uint8_t* attributes, uint8_t kind,
                         uint32_t cluster, uint32_t size, bool rootFile) {
    // The attribute byte as the slot may hold it: a directory is marked as
    // one and a file is not; a volume label is one empty file of the root;
    // no combination reads as a long-name slot.
    uint8_t attrs[fatattr::kSize];
    std::memcpy(attrs, attributes, sizeof attrs);
    uint8_t& a = attrs[fatattr::kAttr];
    a = SlotAttrFor(a, kind == kKindDir);
    if (kind != kKindDir && (a & kFatAttrVolume) &&
        (!rootFile || size != 0 || labelled_ || (a & kFatAttrLongName) == kFatAttrLongName))
        a &= uint8_t(~kFatAttrVolume);
    attributes = attrs;
    // A label is the name's first 11 characters in upper case, in one slot
    // of its own (it is no file name, so it takes none of the names).
    const bool label = rootFile && (a & kFatAttrVolume) != 0;
    char shortName[kShortNameBuffer];
    uint16_t slots = 0;
    if (label) {
        LabelSlotName(name, shortName);
        std::memcpy(label_, shortName, fatdir::kNameSize);
        labelled_ = true;
    } else {
        uint32_t tail = PackedTail(attributes);
        slots = GetShortName(name, shortName, &tail);
        if (!names_.insert(std::string(shortName, fatdir::kNameSize)).second)
            return Damaged("two entries of a directory with one short name");
    }
    uint8_t slot[fatdir::kSlotSize];
    if (rootFile && rootFiles_ < 2 && slots == 0) {
        // Slot 0 or 1 of the root, over its placeholder (in the first
        // cluster, which the root keeps until its end).
        BuildFATDirEnt(slot, name, shortName, 0, 0, attributes, kind, cluster, size);
        uint8_t* first = dirWritten_ == 0 ? cluster_.get() : first_.get();
        std::memcpy(first + rootFiles_ * fatdir::kSlotSize, slot, fatdir::kSlotSize);
        ++rootFiles_;
        return 0;
    }
    if (rootFile) rootFiles_ = 2; // only the first two files may take the slots
    for (uint16_t ordinal = slots; ordinal >= 1; --ordinal) {
        BuildFATDirEnt(slot, name, shortName, uint8_t(ordinal), slots, attributes, kind, 0, 0);
        if (AddSlot(slot) != 0) return 1;
    }
    BuildFATDirEnt(slot, name, shortName, 0, slots, attributes, kind, cluster, size);
    return AddSlot(slot);
}

Status Restore::EndDirectory() {
    if (dirStart_ == 0) {
        // The FAT16 root area, all 512 slots.
        return Seek(part, area_.RootSector()) != 0 ||
                       WriteSects(part, uint16_t(area_.RootSectors()), cluster_.get()) != 0
                   ? 1
                   : 0;
    }
    if (WriteDirCluster() != 0) return 1;
    if (dirWritten_ < dirOwn_ &&
        (Seek(part, area_.ClusterSector(dirStart_ + dirWritten_)) != 0 ||
         BlankSects(part, (dirOwn_ - dirWritten_) * area_.sectorsPerCluster) != 0))
        return 1;
    if (root_ && (Seek(part, area_.ClusterSector(dirStart_)) != 0 ||
                  WriteSects(part, uint16_t(area_.sectorsPerCluster), first_.get()) != 0))
        return 1;
    return 0;
}

Status Restore::WriteDirectories() {
    Log("FAT Unzip: Building directories...\r\n");
    cluster_.reset(new uint8_t[std::max(area_.ClusterBytes(), kRootSlots * 32)]);
    first_.reset(new uint8_t[area_.ClusterBytes()]);
    placer_.reset(new FilePlacer(plan_));
    return PumpRestoreDirectories(Source(), dirCount_, plan_.fileSizes.data(), fileCount_,
                                  fatattr::kSize);
}

Status Restore::BeginDirectory(uint32_t index, uint32_t parent, const DirectoryRecord& rec) {
    const DirPlan& d = plan_.dirs[index];
    if (((index > 0 || fat32_) && rec.blocks[k_] != d.own) || rec.subdirs != d.subdirs ||
        rec.files != d.files)
        return Damaged("a directory differs from its summary");
    return BeginDir(index, parent == 0 ? 0 : plan_.dirs[parent].start);
}

// Beyond one path component, a name the volume can hold has no control
// character and no backslash.
Status Restore::CheckName(const char* name) {
    for (const char* c = name; *c; ++c)
        if (uint8_t(*c) < 0x20 || *c == '\\') return Damaged("an unusable name");
    return 0;
}

Status Restore::AddSubdirectory(uint32_t child, const SubdirEntry& e, const uint8_t* attributes,
                                const char* name) {
    const DirPlan& c = plan_.dirs[child];
    // Its subtree's clusters must be those the summaries gave it.
    const uint32_t behind = child + e.descendants;
    const uint64_t next = behind < dirCount_ ? plan_.dirs[behind].start : plan_.dlast + 1;
    // (Totals are 16-bit; a large subtree's wraps.)
    if (uint16_t(next - c.start) != e.totals[k_]) return Damaged("a subtree's size");
    return AddEntry(name, attributes, kKindDir, c.start, 0, false);
}

Status Restore::AddFile(uint32_t, uint32_t dir, uint32_t size, const uint8_t* attributes,
                        const char* name) {
    uint32_t split;
    const uint32_t first = placer_->Place(ClustersFor(size, plan_.spc), &split);
    return AddEntry(name, attributes, kKindFile, first, size, dir == 0);
}

Status Restore::WriteFiles() {
    placer_.reset(new FilePlacer(plan_));
    clusterBytes_ = area_.ClusterBytes();
    started_ = false;
    // The progress total counted in 64 bits: the header's u32 sum stops at
    // 0xFFFFFFFF once a volume holds more than 4 GB in all.
    uint64_t total = 0;
    for (uint32_t size : plan_.fileSizes)
        total += size;
    return PumpRestoreFiles(Source(), plan_.fileSizes.data(), fileCount_, total);
}

Status Restore::BeginFile(uint32_t, uint64_t size) {
    // FAT archives carry 32-bit sizes only.
    if (size > UINT32_MAX) return Damaged("a file of 4 GB or more");
    const uint32_t n = ClustersFor(uint32_t(size), plan_.spc);
    uint32_t split;
    const uint32_t first = placer_->Place(n, &split);
    fileWritten_ = n != 0;
    if (!fileWritten_) return 0;
    const uint32_t sector = area_.ClusterSector(first);
    if (!started_ || sector != stream_.Position()) {
        if (stream_.Flush() != 0) return 1;
        stream_.Start(sector);
        started_ = true;
    }
    // A FAT16 file that reaches the directories continues behind them.
    straddles_ = split < n;
    beforeJump_ = uint64_t(split) * clusterBytes_;
    done_ = 0;
    size_ = size;
    return 0;
}

Status Restore::FilePiece(const uint8_t* data, uint32_t len) {
    while (len > 0) {
        if (straddles_ && done_ == beforeJump_) {
            if (stream_.Flush() != 0) return 1;
            stream_.Start(area_.ClusterSector(plan_.dlast + 1));
            straddles_ = false;
        }
        uint32_t take = len;
        if (straddles_ && done_ + take > beforeJump_) take = uint32_t(beforeJump_ - done_);
        if (stream_.Put(data, take) != 0) return 1;
        data += take;
        len -= take;
        done_ += take;
    }
    return 0;
}

Status Restore::EndFile() {
    if (!fileWritten_) return 0;
    uint32_t tail = uint32_t((clusterBytes_ - size_ % clusterBytes_) % clusterBytes_);
    return stream_.Zeros(tail);
}

// The last writes: the boot area with the final FSInfo counts and the
// FAT32 backup boot sectors, then the boot sector alone. A boot sector
// kept from the partition names the volume it had; it takes the label of
// the restored root instead.
Status Restore::WriteBootArea() {
    uint8_t* s = boot_.get();
    const size_t e = fat32_ ? fatboot::kExtendedFat32 : fatboot::kExtendedFat16;
    if (!bootFromArchive_ && s[e + fatboot::kBootSignature] == 0x29)
        std::memcpy(s + e + fatboot::kLabel, label_, fatboot::kLabelSize);
    if (fat32_) {
        // The reserved sectors 0 to 2, the backup at 6 to 8; kept from the
        // partition, only those are written (its other sectors stay).
        uint8_t* info = s + kSectorSize;
        if (!bootFromArchive_ &&
            (Seek(part, area_.fsInfoSector) != 0 || ReadSects(part, 1, info) != 0 ||
             Seek(part, 2) != 0 || ReadSects(part, 1, s + 2 * kSectorSize) != 0))
            return 1;
        if (ld32(info + fsinfo::kLeadSig) != fsinfo::kLeadValue ||
            ld32(info + fsinfo::kStructSig) != fsinfo::kStructValue) {
            std::memset(info, 0, kSectorSize);
            st32(info + fsinfo::kLeadSig, fsinfo::kLeadValue);
            st32(info + fsinfo::kStructSig, fsinfo::kStructValue);
            st32(info + fsinfo::kTrailSig, fsinfo::kTrailValue);
        }
        st32(info + fsinfo::kFreeCount, area_.freeCount);
        st32(info + fsinfo::kNextFree, area_.nextFree);
        uint8_t* backup = s + area_.backupBootSector * kSectorSize;
        std::memcpy(backup, s, 3 * kSectorSize);
        if (bootFromArchive_) {
            if (Seek(part, 1) != 0 ||
                WriteSects(part, uint16_t(bootSize_ / kSectorSize - 1), info) != 0)
                return 1;
        } else if (Seek(part, 1) != 0 || WriteSects(part, 2, info) != 0 ||
                   Seek(part, area_.backupBootSector) != 0 || WriteSects(part, 3, backup) != 0) {
            return 1;
        }
    } else if (bootFromArchive_ && bootSize_ > kSectorSize &&
               (Seek(part, 1) != 0 ||
                WriteSects(part, uint16_t(bootSize_ / kSectorSize - 1), s + kSectorSize) != 0)) {
        return 1;
    }
    return Seek(part, 0) != 0 || WriteSects(part, 1, s) != 0 ? 1 : 0;
}

} // namespace

Status FullUnzipFat(FsState& part, bool fat32, IArchive* archive) {
    Restore restore(part, fat32, archive);
    Status status = restore.Run();
    if (status != 0) {
        // Nothing of a failed restore is worth flushing.
        part.state = kStateClean;
        return 1;
    }
    return 0;
}

Status FullUnzip16(FsState& part, IArchive* archive) {
    return FullUnzipFat(part, false, archive);
}
Status FullUnzip32(FsState& part, IArchive* archive) {
    return FullUnzipFat(part, true, archive);
}

} // namespace vk
