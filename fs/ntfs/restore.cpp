// Full restore of an NTFS archive: mkntfs lays a fresh volume out at the
// partition's size, with the source's cluster size and label, in a scratch
// file; whether the archive fits is checked there, the source's serial
// number and boot code go into its boot sectors, and only then is it
// copied onto the partition. The tree is rebuilt through libntfs-3g as the
// archive streams by: directories, files, links, named streams and their
// metadata (security descriptors, attributes, DOS names, reparse data,
// object IDs, extended attributes) while the directories section is read,
// contents while the files section is read (blocks of zeros of sparse
// streams stay holes), the directories' attributes and times last.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archive/source.h"
#include "disk/disk.h"
#include "fs/ntfs_table.h"
#include "ntfs_internal.h"
#include "platform/console.h"
#include "platform/util.h"
#include "records.h"

extern "C" {
#include <ntfs-3g/ea.h>
#include <ntfs-3g/object_id.h>
#include <ntfs-3g/reparse.h>
#include <ntfs-3g/security.h>
}

namespace vk {

namespace {

using namespace ntfsrec;

constexpr const char* kWho = "NTFS Unzip";
constexpr uint32_t kAttr = kTotal;
// Content gathered before it is written.
constexpr size_t kRunBytes = 1024 * 1024;
// Blocks checked for zeros (holes) on their own.
constexpr size_t kHoleBlock = 4096;
// Data up to this size stays in the file record (resident) and takes no
// cluster.
constexpr uint64_t kResidentMax = 600;
// The file attributes a restore sets; the directory, reparse, sparse and
// compressed bits follow from what it makes.
constexpr uint32_t kSettable = 0x1 | 0x2 | 0x4 | 0x20 | 0x100 | 0x1000 | 0x2000 | 0x8000 | 0x20000 |
                               0x40000 | 0x80000 | 0x100000 | 0x400000;

uint64_t Ld64(const uint8_t* p) {
    return ld32(p) | uint64_t(ld32(p + 4)) << 32;
}

Status Damaged(const char* what) {
    LogFormat("%s: damaged archive: %s\r\n", kWho, what);
    return 1;
}

Status Failed(const char* what) {
    const int error = errno;
    LogFormat("%s: %s: %s\r\n", kWho, what, std::strerror(error));
    if (error == ENOSPC) NoteDiskFull();
    return 1;
}

std::u16string DiskUnits(const std::u16string& host) {
    std::u16string out(host);
    for (char16_t& u : out)
        u = char16_t(cpu_to_le16(u));
    return out;
}

class Restore : public FullRestoreSink {
  public:
    Restore(FsState& p, IArchive* archive)
        : part_(p), archive_(archive), src_(GetFullArchiveSource()) {}
    ~Restore() override;
    Status Run();

    Status DirSummaryEntry(uint32_t, const uint8_t* p) override;
    Status FileSummaryEntry(uint32_t, const uint8_t* p) override;
    Status BeginDirectory(uint32_t index, uint32_t parent, const DirectoryRecord& rec) override;
    Status AddSubdirectory(uint32_t child, const SubdirEntry&, const uint8_t*,
                           const char* name) override;
    Status AddFile(uint32_t file, uint32_t dir, uint32_t size, const uint8_t*,
                   const char* name) override;
    Status EndDirectory() override;
    Status BeginFile(uint32_t index, uint64_t size) override;
    Status FilePiece(const uint8_t* data, uint32_t len) override;
    Status EndFile() override;

  private:
    FullRestoreSource Source() { return {src_, archive_, kWho, this}; }
    const uint8_t* DirAttr(uint32_t i) const { return dirAttrs_.data() + size_t(i) * kAttr; }
    const uint8_t* FileAttr(uint32_t i) const { return fileAttrs_.data() + size_t(i) * kAttr; }
    // A file's whole size: the summary's low half and the attributes' high.
    uint64_t FileSize(uint32_t i) const {
        return uint64_t(fileSizes_[i]) | uint64_t(ld32(FileAttr(i) + ntfsrec::kSizeHigh)) << 32;
    }
    Status ReadBootArea();
    Status Prepare(int fd);
    Status CheckFit(int fd);
    Status PatchBoot(int fd);
    ntfs_inode* Dir();
    Status Metadata(ntfs_inode* ni, const uint8_t* a, bool directory);
    Status DosName(ntfs_inode** ni, const uint8_t* a, const std::u16string& longName);
    Status SetTimes(ntfs_inode* ni, const uint8_t* a, bool directory);
    Status WriteRun();
    Status FinishDirectories();

    FsState& part_;
    IArchive* archive_;
    const FullArchiveSource* src_;
    PartitionIo io_;
    ntfs_volume* vol_ = nullptr;
    int scratch_ = -1; // a dry run's volume
    uint32_t dirCount_ = 0, fileCount_ = 0;
    std::vector<uint8_t> boot_;
    NtfsTable table_;
    std::vector<uint8_t> dirAttrs_, fileAttrs_;
    std::vector<uint32_t> fileSizes_;
    std::vector<uint64_t> dirRecords_, fileRecords_;
    std::vector<bool> fileLinked_;                // a later name of a record made before
    std::unordered_map<uint64_t, uint64_t> made_; // source record: restored record
    std::vector<std::u16string> streamNames_;     // per file: its stream's name, if one
    uint32_t current_ = 0;
    ntfs_inode* dir_ = nullptr; // the current directory, kept open
    uint64_t total_ = 0;
    bool compression_ = false;
    std::unordered_set<std::string> streamsMade_; // source record and stream name
    // The file being written.
    ntfs_inode* ni_ = nullptr;
    ntfs_attr* na_ = nullptr;
    uint32_t fileIndex_ = 0;
    bool holes_ = true;
    bool compressed_ = false;
    uint64_t at_ = 0; // file position of run_[0]
    std::vector<uint8_t> run_;
    size_t runFill_ = 0;
};

Restore::~Restore() {
    if (na_ != nullptr) ntfs_attr_close(na_);
    if (ni_ != nullptr) ntfs_inode_close(ni_);
    if (dir_ != nullptr) ntfs_inode_close(dir_);
    if (vol_ != nullptr) ntfs_umount(vol_, FALSE);
    if (scratch_ >= 0) close(scratch_);
}

Status Restore::Run() {
    const ArchiveHeader* header = AcceptFullArchive(src_, archive_, "NTFS", kAttr, kWho);
    if (header == nullptr) return 1;
    dirCount_ = header->dirCount;
    fileCount_ = header->fileCount;
    if (dirCount_ == 0) return Damaged("no root directory");
    if (ReadBootArea() != 0) return 1;
    if (PumpRestoreSummaries(Source(), dirCount_, fileCount_) != 0) return 1;
    LogFormat("%s: Formatting...\r\n", kWho);
    part_.driverData.reset();
    const NtfsVolumeInfo& info = table_.Volume();
    const int fd = NtfsMakeScratch(part_, info.label.c_str(), info.clusterSize);
    if (fd < 0) return 1;
    const Status prepared = Prepare(fd);
    if (prepared != 0 || AllowDiskWrite) close(fd);
    if (prepared != 0) return 1;
    if (AllowDiskWrite) {
        // The partition now holds the fresh volume.
        io_.part = &part_;
        io_.cached = true;
        vol_ = MountPartition(io_, true);
    } else {
        // A dry run goes on in the scratch file, which holds the fresh
        // volume the partition would hold, so that it runs as it would
        // with writes.
        scratch_ = fd;
        vol_ = ntfs_mount(NtfsScratchPath(fd).c_str(), NTFS_MNT_NONE);
    }
    if (vol_ == nullptr) return Failed("Cannot open the fresh volume");
    // The library's free counts, which its allocations consult.
    if (ntfs_volume_get_free_space(vol_) != 0) return Failed("Cannot read the fresh volume");
    compression_ = vol_->cluster_size <= 4096;
    if (compression_) NVolSetCompression(vol_);
    LogFormat("%s: Extracting directories...\r\n", kWho);
    dirRecords_.assign(dirCount_, 0);
    fileRecords_.assign(fileCount_, 0);
    fileLinked_.assign(fileCount_, false);
    streamNames_.assign(fileCount_, {});
    if (PumpRestoreDirectories(Source(), dirCount_, fileSizes_.data(), fileCount_, 0) != 0)
        return 1;
    run_.assign(kRunBytes, 0);
    if (PumpRestoreFiles(Source(), fileSizes_.data(), fileCount_, total_) != 0) return 1;
    LogFormat("%s: Writing directory attributes...\r\n", kWho);
    if (FinishDirectories() != 0) return 1;
    ntfs_volume* vol = vol_;
    vol_ = nullptr;
    if (ntfs_umount(vol, FALSE) != 0) return Failed("Cannot write the volume");
    LogFormat("%s: Done !\r\n", kWho);
    return 0;
}

Status Restore::ReadBootArea() {
    uint32_t size = 0;
    if (src_->OpenBootSectors(archive_, &size) != 0 || size < kTableAt + kTableHeader ||
        size > kBootAreaMax)
        return Damaged("boot area");
    boot_.resize(size);
    uint32_t at = 0;
    while (at < size) {
        const uint8_t* data = nullptr;
        uint32_t len = 0;
        if (src_->ReadBootSectorsChunk(archive_, &data, &len) != 0 || len == 0 || len > size - at)
            return Damaged("boot area");
        std::memcpy(boot_.data() + at, data, len);
        at += len;
    }
    if (src_->CloseBootSectors(archive_) != 0) return Damaged("boot area");
    if (std::memcmp(boot_.data() + bs::kOemId, "NTFS    ", 8) != 0)
        return Damaged("no NTFS boot sector in the boot area");
    const char* why = nullptr;
    if (!table_.Load(boot_.data() + kTableAt, boot_.size() - kTableAt, &why)) return Damaged(why);
    const uint32_t cluster = table_.Volume().clusterSize;
    if (cluster < 512 || cluster > 2 * 1024 * 1024 || (cluster & (cluster - 1)) != 0)
        return Damaged("the cluster size");
    return 0;
}

Status Restore::DirSummaryEntry(uint32_t, const uint8_t* p) {
    dirAttrs_.insert(dirAttrs_.end(), p + DirSummary::kSize, p + DirSummary::kSize + kAttr);
    return 0;
}

Status Restore::FileSummaryEntry(uint32_t, const uint8_t* p) {
    fileSizes_.push_back(ld32(p));
    fileAttrs_.insert(fileAttrs_.end(), p + kFileSummarySize, p + kFileSummarySize + kAttr);
    total_ += FileSize(uint32_t(fileSizes_.size() - 1));
    return 0;
}

// The fit check, the boot sectors, then the copy onto the partition.
Status Restore::Prepare(int fd) {
    if (CheckFit(fd) != 0 || PatchBoot(fd) != 0) return 1;
    if (!NtfsCopyScratch(fd, part_)) {
        Log("NTFS ERROR: Cannot write the fresh volume\r\n");
        return 1;
    }
    return 0;
}

// Clusters the source's files and directories took (each record once,
// sparse streams as allocated), and a file record per entry, against the
// fresh volume's free clusters.
Status Restore::CheckFit(int fd) {
    const std::string path = NtfsScratchPath(fd);
    ntfs_volume* fresh = ntfs_mount(path.c_str(), NTFS_MNT_RDONLY);
    if (fresh == nullptr) return Failed("Cannot read the fresh volume");
    const uint64_t cluster = fresh->cluster_size;
    const uint64_t record = fresh->mft_record_size;
    const int counted = ntfs_volume_get_free_space(fresh);
    const uint64_t free = counted == 0 ? uint64_t(std::max<s64>(fresh->free_clusters, 0)) : 0;
    ntfs_umount(fresh, FALSE);
    if (counted != 0) return Failed("Cannot read the fresh volume");
    auto clusters = [&](uint64_t bytes) { return (bytes + cluster - 1) / cluster; };
    uint64_t needed = 0, records = dirCount_;
    for (uint32_t i = 0; i < dirCount_; ++i)
        needed += clusters(uint64_t(ld32(DirAttr(i) + kAllocated)) * 1024);
    std::unordered_map<uint64_t, bool> seen;
    for (uint32_t i = 0; i < fileCount_; ++i) {
        const uint8_t* a = FileAttr(i);
        const uint16_t flags = ld16(a + kFlags);
        const uint64_t source = Ld64(a + kRecord);
        if (!(flags & kFlagStream)) {
            if (ld16(a + kLinks) > 1 && !seen.emplace(source, true).second) continue;
            ++records;
        }
        const uint64_t size = FileSize(i);
        if (size <= kResidentMax) continue;
        const uint64_t allocated = uint64_t(ld32(a + kAllocated)) * 1024;
        needed += clusters((flags & kFlagSparse) ? std::min(size, allocated) : size);
    }
    // The file records, and the MFT's bitmap and growth with them.
    needed += clusters(records * record) + clusters(records * record / 8) + 16;
    if (needed > free) {
        NoteDiskFull();
        LogFormat("%s: the archive does not fit: it needs %llu clusters of %u bytes, the "
                  "partition holds %llu\r\n",
                  kWho, (unsigned long long)needed, unsigned(cluster), (unsigned long long)free);
        return 1;
    }
    return 0;
}

// The source's serial number and boot code in the fresh boot sector and
// its backup (the parameter block stays the fresh volume's).
Status Restore::PatchBoot(int fd) {
    uint8_t sector[kSectorSize];
    if (pread(fd, sector, kSectorSize, 0) != ssize_t(kSectorSize))
        return Failed("Cannot read the fresh boot sector");
    const uint8_t* src = boot_.data();
    std::memcpy(sector + bs::kSerial, src + bs::kSerial, 8);
    if (ld16(src + bs::kBytesPerSector) == kSectorSize && ld16(src + bs::kSignature) == 0xAA55) {
        std::memcpy(sector, src, 3);
        std::memcpy(sector + bs::kBpbEnd, src + bs::kBpbEnd, bs::kSignature - bs::kBpbEnd);
        if (pwrite(fd, src + kSectorSize, kBootBytes - kSectorSize, kSectorSize) !=
            ssize_t(kBootBytes - kSectorSize))
            return Failed("Cannot write the boot code");
    }
    // The backup lies in the partition's last sector, behind the volume.
    const uint64_t backup = Ld64(sector + bs::kTotalSectors);
    if (pwrite(fd, sector, kSectorSize, 0) != ssize_t(kSectorSize) ||
        (backup < part_.sizeSectors &&
         pwrite(fd, sector, kSectorSize, off_t(backup * kSectorSize)) != ssize_t(kSectorSize)))
        return Failed("Cannot write the boot sector");
    return 0;
}

ntfs_inode* Restore::Dir() {
    if (dir_ == nullptr) dir_ = ntfs_inode_open(vol_, dirRecords_[current_]);
    return dir_;
}

// The security descriptor, file attributes, reparse data and object ID of
// a record just made.
Status Restore::Metadata(ntfs_inode* ni, const uint8_t* a, bool directory) {
    const uint64_t source = Ld64(a + kRecord);
    const uint32_t sd = ld32(a + kSecurity);
    if (sd != 0) {
        uint32_t length = 0;
        const uint8_t* bytes = table_.Descriptor(sd - 1, &length);
        if (bytes == nullptr) return Damaged("a security descriptor index");
        SECURITY_CONTEXT scx{};
        scx.vol = vol_;
        if (ntfs_set_ntfs_acl(&scx, ni, reinterpret_cast<const char*>(bytes), length, 0) != 0)
            return Failed("Cannot set a security descriptor");
    }
    Status status = 0;
    table_.ForEach(source, [&](uint8_t type, const uint8_t* bytes, size_t length) {
        const char* value = reinterpret_cast<const char*>(bytes);
        // A record whose metadata the library refuses is restored without
        // it, and said so.
        if (type == kItemReparse && ntfs_set_ntfs_reparse_data(ni, value, length, 0) != 0)
            LogFormat("%s: WARNING: the reparse data of record %llu not restored: %s\r\n", kWho,
                      (unsigned long long)source, std::strerror(errno));
        else if (type == kItemObjectId && ntfs_set_ntfs_object_id(ni, value, length, 0) != 0)
            LogFormat("%s: WARNING: the object ID of record %llu not restored: %s\r\n", kWho,
                      (unsigned long long)source, std::strerror(errno));
        else if (type == kItemEa && ntfs_set_ntfs_ea(ni, value, length, 0) != 0)
            LogFormat("%s: WARNING: the extended attributes of record %llu not restored: %s\r\n",
                      kWho, (unsigned long long)source, std::strerror(errno));
        return status == 0;
    });
    if (status != 0) return status;
    const uint32_t wanted = ld32(a + kFileAttributes);
    uint32_t flags = le32_to_cpu(ni->flags);
    flags = (flags & ~kSettable) | (wanted & kSettable);
    ni->flags = FILE_ATTR_FLAGS(cpu_to_le32(flags));
    if (!directory && compression_ && (wanted & FILE_ATTR_COMPRESSED) &&
        !(ld16(a + kFlags) & kFlagStream)) {
        // Data written from here on is compressed by the library.
        if (ntfs_attr_set_flags(ni, AT_DATA, AT_UNNAMED, 0, ATTR_IS_COMPRESSED,
                                ATTR_COMPRESSION_MASK) == 0)
            ni->flags = FILE_ATTR_FLAGS(ni->flags | FILE_ATTR_COMPRESSED);
    }
    ntfs_inode_mark_dirty(ni);
    return 0;
}

// The DOS name the record had beside its long name in this directory.
// The library closes both records when it sets one: they are opened
// again.
Status Restore::DosName(ntfs_inode** ni, const uint8_t* a, const std::u16string&) {
    if (!(ld16(a + kFlags) & kFlagDosName)) return 0;
    const uint64_t source = Ld64(a + kRecord), parent = Ld64(DirAttr(current_) + kRecord);
    std::string name;
    table_.ForEach(source, [&](uint8_t type, const uint8_t* bytes, size_t length) {
        if (type == kItemDosName && length > 8 && Ld64(bytes) == parent)
            name.assign(reinterpret_cast<const char*>(bytes + 8), length - 8);
        return true;
    });
    if (name.empty()) return 0;
    if (Dir() == nullptr) return Failed("Cannot open a directory");
    const uint64_t record = (*ni)->mft_no;
    const int result = ntfs_set_ntfs_dos_name(*ni, dir_, name.data(), name.size(), 0);
    *ni = nullptr;
    dir_ = nullptr;
    if (result != 0) {
        LogFormat("%s: Cannot set the DOS name %.12s: %s\r\n", kWho, name.c_str(),
                  std::strerror(errno));
    }
    *ni = ntfs_inode_open(vol_, record);
    if (*ni == nullptr || Dir() == nullptr) return Failed("Cannot open a record again");
    return 0;
}

Status Restore::SetTimes(ntfs_inode* ni, const uint8_t* a, bool) {
    // The record's file name attributes (which the library leaves at the
    // time they were made) take the same four times.
    if (ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr)) {
        while (ntfs_attr_lookup(AT_FILE_NAME, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) ==
               0) {
            if (ctx->attr->non_resident) continue;
            auto* fn = reinterpret_cast<FILE_NAME_ATTR*>(reinterpret_cast<uint8_t*>(ctx->attr) +
                                                         le16_to_cpu(ctx->attr->value_offset));
            fn->creation_time = cpu_to_sle64(int64_t(Ld64(a + kCreation)));
            fn->last_data_change_time = cpu_to_sle64(int64_t(Ld64(a + kModification)));
            fn->last_mft_change_time = cpu_to_sle64(int64_t(Ld64(a + kMftChange)));
            fn->last_access_time = cpu_to_sle64(int64_t(Ld64(a + kAccess)));
            ntfs_inode_mark_dirty(ctx->ntfs_ino);
        }
        ntfs_attr_put_search_ctx(ctx);
    }
    ni->creation_time = cpu_to_sle64(int64_t(Ld64(a + kCreation)));
    ni->last_data_change_time = cpu_to_sle64(int64_t(Ld64(a + kModification)));
    ni->last_mft_change_time = cpu_to_sle64(int64_t(Ld64(a + kMftChange)));
    ni->last_access_time = cpu_to_sle64(int64_t(Ld64(a + kAccess)));
    ntfs_inode_mark_dirty(ni);
    NInoFileNameSetDirty(ni);
    return 0;
}

Status Restore::BeginDirectory(uint32_t index, uint32_t, const DirectoryRecord&) {
    current_ = index;
    if (dir_ != nullptr) ntfs_inode_close(dir_);
    dir_ = nullptr;
    if (index == 0) dirRecords_[0] = FILE_root;
    if (dirRecords_[index] == 0) return Damaged("a directory its parent did not list");
    if (index == 0) {
        if (Dir() == nullptr) return Failed("Cannot open the root directory");
        return Metadata(dir_, DirAttr(0), true);
    }
    return 0;
}

Status Restore::EndDirectory() {
    if (dir_ != nullptr && ntfs_inode_close(dir_) != 0) {
        dir_ = nullptr;
        return Failed("Cannot write a directory");
    }
    dir_ = nullptr;
    return 0;
}

Status Restore::AddSubdirectory(uint32_t child, const SubdirEntry&, const uint8_t*,
                                const char* name) {
    std::u16string units;
    if (!NtfsUtf8ToUtf16(name, std::strlen(name), units) || units.empty() || units.size() > 255)
        return Damaged("a name that is not UTF-8");
    std::u16string disk = DiskUnits(units);
    if (Dir() == nullptr) return Failed("Cannot open a directory");
    ntfs_inode* ni = ntfs_create(dir_, 0, reinterpret_cast<ntfschar*>(disk.data()),
                                 uint8_t(disk.size()), S_IFDIR);
    if (ni == nullptr) return Failed("Cannot make a directory");
    const uint8_t* a = DirAttr(child);
    dirRecords_[child] = ni->mft_no;
    // For its named streams, listed after it as files.
    made_.emplace(Ld64(a + kRecord), ni->mft_no);
    Status status = Metadata(ni, a, true);
    if (status == 0) status = DosName(&ni, a, units);
    if (ni != nullptr && ntfs_inode_close_in_dir(ni, dir_) != 0 && status == 0)
        status = Failed("Cannot write a directory");
    return status;
}

Status Restore::AddFile(uint32_t file, uint32_t, uint32_t, const uint8_t*, const char* name) {
    const uint8_t* a = FileAttr(file);
    const uint64_t source = Ld64(a + kRecord);
    const size_t length = std::strlen(name);
    if (Dir() == nullptr) return Failed("Cannot open a directory");
    if (ld16(a + kFlags) & kFlagStream) {
        // "NAME:STREAM": a stream of the record made for its file.
        const char* colon = static_cast<const char*>(std::memchr(name, ':', length));
        const auto found = made_.find(source);
        std::u16string units;
        if (colon == nullptr || found == made_.end() ||
            !NtfsUtf8ToUtf16(colon + 1, length - size_t(colon + 1 - name), units) ||
            units.empty() || units.size() > 255)
            return Damaged("a named stream without its file");
        fileRecords_[file] = found->second;
        // A later name's streams are those made with the first.
        std::string key(reinterpret_cast<const char*>(&source), sizeof source);
        key.append(reinterpret_cast<const char*>(units.data()), units.size() * 2);
        if (!streamsMade_.insert(std::move(key)).second) {
            fileLinked_[file] = true;
            return 0;
        }
        streamNames_[file] = DiskUnits(units);
        ntfs_inode* ni = ntfs_inode_open(vol_, found->second);
        if (ni == nullptr) return Failed("Cannot open a file");
        std::u16string& disk = streamNames_[file];
        Status status = 0;
        if (ntfs_attr_add(ni, AT_DATA, reinterpret_cast<ntfschar*>(disk.data()),
                          uint8_t(disk.size()), nullptr, 0) != 0)
            status = Failed("Cannot make a named stream");
        if (ntfs_inode_close(ni) != 0 && status == 0) status = Failed("Cannot write a file");
        return status;
    }
    std::u16string units;
    if (!NtfsUtf8ToUtf16(name, length, units) || units.empty() || units.size() > 255)
        return Damaged("a name that is not UTF-8");
    std::u16string disk = DiskUnits(units);
    // A later name of a record made before is a link to it.
    if (ld16(a + kLinks) > 1) {
        const auto found = made_.find(source);
        if (found != made_.end()) {
            ntfs_inode* ni = ntfs_inode_open(vol_, found->second);
            if (ni == nullptr) return Failed("Cannot open a file");
            Status status = 0;
            if (ntfs_link(ni, dir_, reinterpret_cast<ntfschar*>(disk.data()),
                          uint8_t(disk.size())) != 0)
                status = Failed("Cannot add a link");
            if (status == 0) status = DosName(&ni, a, units);
            if (ni != nullptr && ntfs_inode_close(ni) != 0 && status == 0)
                status = Failed("Cannot write a file");
            fileRecords_[file] = found->second;
            fileLinked_[file] = true;
            return status;
        }
    }
    ntfs_inode* ni = ntfs_create(dir_, 0, reinterpret_cast<ntfschar*>(disk.data()),
                                 uint8_t(disk.size()), S_IFREG);
    if (ni == nullptr) return Failed("Cannot make a file");
    fileRecords_[file] = ni->mft_no;
    made_.emplace(source, ni->mft_no);
    Status status = Metadata(ni, a, false);
    if (status == 0) status = DosName(&ni, a, units);
    if (ni != nullptr && ntfs_inode_close_in_dir(ni, dir_) != 0 && status == 0)
        status = Failed("Cannot write a file");
    return status;
}

Status Restore::BeginFile(uint32_t index, uint64_t size) {
    fileIndex_ = index;
    at_ = 0;
    runFill_ = 0;
    if (fileLinked_[index]) return 0;
    ni_ = ntfs_inode_open(vol_, fileRecords_[index]);
    if (ni_ == nullptr) return Failed("Cannot open a file");
    if (size == 0) return 0;
    std::u16string& stream = streamNames_[index];
    na_ = stream.empty() ? ntfs_attr_open(ni_, AT_DATA, AT_UNNAMED, 0)
                         : ntfs_attr_open(ni_, AT_DATA, reinterpret_cast<ntfschar*>(stream.data()),
                                          u32(stream.size()));
    if (na_ == nullptr) return Failed("Cannot open a file's data");
    // Compressed data is written whole. A file that was sparse takes its
    // size first and its blocks of zeros are not written, so that they stay
    // holes; any other file takes its clusters first and is written whole
    // (zeros too), so that it stays as allocated and initialized as it was.
    compressed_ = (na_->data_flags & ATTR_IS_COMPRESSED) != 0;
    holes_ = !compressed_ && (ld16(FileAttr(index) + kFlags) & kFlagSparse) != 0;
    if (holes_ && ntfs_attr_truncate(na_, s64(size)) != 0) return Failed("Cannot size a file");
    if (!compressed_ && !holes_ && ntfs_attr_truncate_solid(na_, s64(size)) != 0)
        return Failed("Cannot size a file");
    return 0;
}

Status Restore::WriteRun() {
    size_t from = 0;
    while (from < runFill_) {
        size_t to = from;
        if (holes_) {
            // Skip zero blocks, then gather the non-zero ones that follow.
            auto zero = [&](size_t at) {
                const size_t end = std::min(at + kHoleBlock, runFill_);
                return std::all_of(run_.begin() + ptrdiff_t(at), run_.begin() + ptrdiff_t(end),
                                   [](uint8_t b) { return b == 0; });
            };
            while (from < runFill_ && zero(from))
                from += kHoleBlock;
            if (from >= runFill_) break;
            to = from;
            while (to < runFill_ && !zero(to))
                to += kHoleBlock;
            to = std::min(to, runFill_);
        } else {
            to = runFill_;
        }
        const s64 count = s64(to - from);
        if (ntfs_attr_pwrite(na_, s64(at_ + from), count, run_.data() + from) != count)
            return Failed("Cannot write a file");
        from = to;
    }
    at_ += runFill_;
    runFill_ = 0;
    return 0;
}

Status Restore::FilePiece(const uint8_t* data, uint32_t len) {
    if (na_ == nullptr) return 0;
    while (len > 0) {
        const size_t take = std::min<size_t>(len, run_.size() - runFill_);
        std::memcpy(run_.data() + runFill_, data, take);
        runFill_ += take;
        data += take;
        len -= uint32_t(take);
        if (runFill_ == run_.size() && WriteRun() != 0) return 1;
    }
    return 0;
}

// The library leaves a sparse stream initialized up to the last byte
// written; one that ends in a hole is initialized to its size, as it was
// (the hole reads as zeros either way).
Status InitializeToEnd(ntfs_attr* na) {
    if (!NAttrNonResident(na) || na->initialized_size >= na->data_size) return 0;
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(na->ni, nullptr);
    if (ctx == nullptr) return Failed("Cannot size a file");
    const int found =
        ntfs_attr_lookup(AT_DATA, na->name, na->name_len, CASE_SENSITIVE, 0, nullptr, 0, ctx);
    if (found == 0) {
        ctx->attr->initialized_size = cpu_to_sle64(na->data_size);
        na->initialized_size = na->data_size;
        ntfs_inode_mark_dirty(ctx->ntfs_ino);
    }
    ntfs_attr_put_search_ctx(ctx);
    return found == 0 ? 0 : Failed("Cannot size a file");
}

Status Restore::EndFile() {
    Status status = 0;
    if (na_ != nullptr) {
        status = WriteRun();
        if (status == 0 && holes_) status = InitializeToEnd(na_);
        if (status == 0 && compressed_ && ntfs_attr_pclose(na_) != 0)
            status = Failed("Cannot write a file");
        ntfs_attr_close(na_);
        na_ = nullptr;
    }
    if (ni_ == nullptr) return status;
    const uint8_t* a = FileAttr(fileIndex_);
    // Times once the content is there; a stream's file has its own.
    if (status == 0 && !(ld16(a + kFlags) & kFlagStream)) SetTimes(ni_, a, false);
    if (ntfs_inode_close(ni_) != 0 && status == 0) status = Failed("Cannot write a file");
    ni_ = nullptr;
    return status;
}

// Directories take their attributes and times once everything in them is
// made.
Status Restore::FinishDirectories() {
    for (uint32_t i = 0; i < dirCount_; ++i) {
        MonitorESC();
        ntfs_inode* ni = ntfs_inode_open(vol_, dirRecords_[i]);
        if (ni == nullptr) return Failed("Cannot open a directory");
        const uint8_t* a = DirAttr(i);
        const uint32_t wanted = ld32(a + kFileAttributes);
        ni->flags = FILE_ATTR_FLAGS(
            cpu_to_le32((le32_to_cpu(ni->flags) & ~kSettable) | (wanted & kSettable)));
        // A compressed directory (its index root marked so) has files made
        // in it compressed by default: it becomes one only now that its
        // files are made, each as compressed as it was.
        if ((wanted & FILE_ATTR_COMPRESSED) && !(ni->flags & FILE_ATTR_COMPRESSED)) {
            if (ntfs_attr_set_flags(ni, AT_INDEX_ROOT, NTFS_INDEX_I30, 4, ATTR_IS_COMPRESSED,
                                    ATTR_COMPRESSION_MASK) == 0)
                ni->flags = FILE_ATTR_FLAGS(ni->flags | FILE_ATTR_COMPRESSED);
            else
                LogFormat("%s: WARNING: a directory not marked compressed: %s\r\n", kWho,
                          std::strerror(errno));
        }
        SetTimes(ni, a, true);
        if (ntfs_inode_close(ni) != 0) return Failed("Cannot write a directory");
    }
    return 0;
}

} // namespace

Status NtfsFullUnzip(FsState& part, IArchive* archive) {
    Status status;
    {
        Restore restore(part, archive);
        status = restore.Run();
    }
    part.driverData.reset();
    return status;
}

} // namespace vk
