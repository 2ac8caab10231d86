// Full restore of an ext4 archive: the volume is made afresh at the
// partition's size with the source's features, identity and parameters
// (from the superblock in the archive's boot area), then the tree is
// rebuilt through the library's calls as the archive streams by:
// directories and inodes with their attributes and extended attributes
// while the directories section is read, contents while the files
// section is read (blocks of zeros are left as holes), and the flags
// that forbid writing (immutable, append-only) and the directories'
// attributes last. Whether the archive fits is checked before the first
// write.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_map>
#include <vector>

#include "archive/source.h"
#include "disk/disk.h"
#include "ext4_internal.h"
#include "fs/ext4_xattr_table.h"
#include "platform/console.h"
#include "platform/util.h"
#include "records.h"

namespace vk {

namespace {

using namespace ext4rec;

constexpr const char* kWho = "EXT4 Unzip";
constexpr uint32_t kAttr = kTotal;
// Content gathered before it is allocated and written.
constexpr size_t kRunBytes = 256 * 1024;
// Flags set once an inode's content and attributes are written.
constexpr uint32_t kLateFlags = EXT2_IMMUTABLE_FL | EXT2_APPEND_FL;
// Incompatible features a restored volume never takes from its source:
// the journal is empty, and the journal lives in the volume.
constexpr uint32_t kIncompatDropped =
    EXT3_FEATURE_INCOMPAT_RECOVER | EXT3_FEATURE_INCOMPAT_JOURNAL_DEV;

Status Damaged(const char* what) {
    LogFormat("%s: damaged archive: %s\r\n", kWho, what);
    return 1;
}

Status Failed(const char* what, errcode_t error) {
    LogFormat("%s: %s: %s\r\n", kWho, what, error_message(error));
    if (error == EXT2_ET_BLOCK_ALLOC_FAIL || error == EXT2_ET_INODE_ALLOC_FAIL ||
        error == EXT2_ET_DIR_NO_SPACE)
        NoteDiskFull();
    return 1;
}

bool IsSpecial(uint16_t mode) {
    return LINUX_S_ISCHR(mode) || LINUX_S_ISBLK(mode) || LINUX_S_ISFIFO(mode) ||
           LINUX_S_ISSOCK(mode);
}

// Maps a file's blocks to the disk by stretches: through the file's extent
// tree, a whole extent at a time (one handle for all the lookups, instead
// of a lookup that opens the tree again for every block); block by block
// for a file without extents.
class BlockMapper {
  public:
    BlockMapper(ext2_filsys fs, ext2_ino_t n, ext2_inode* inode) : fs_(fs), n_(n), inode_(inode) {
        if ((inode->i_flags & EXT4_EXTENTS_FL) != 0 &&
            ext2fs_extent_open2(fs, n, inode, &extents_) != 0)
            extents_ = nullptr;
    }
    ~BlockMapper() {
        if (extents_ != nullptr) ext2fs_extent_free(extents_);
    }
    BlockMapper(const BlockMapper&) = delete;
    BlockMapper& operator=(const BlockMapper&) = delete;

    // The disk block of file block `block` (0 when it has none) and how many
    // blocks, at most `most`, follow it there without a break.
    errcode_t Stretch(blk64_t block, blk64_t most, blk64_t* physical, blk64_t* length) {
        *length = 1;
        if (extents_ != nullptr) {
            ext2fs_extent e{};
            if (ext2fs_extent_goto2(extents_, 0, block) == 0 &&
                ext2fs_extent_get(extents_, EXT2_EXTENT_CURRENT, &e) == 0 && e.e_lblk <= block &&
                block - e.e_lblk < e.e_len && (e.e_flags & EXT2_EXTENT_FLAGS_UNINIT) == 0) {
                *physical = e.e_pblk + (block - e.e_lblk);
                *length = std::min<blk64_t>(e.e_lblk + e.e_len - block, most);
                return 0;
            }
        }
        *physical = 0;
        return ext2fs_bmap2(fs_, n_, inode_, nullptr, 0, block, nullptr, physical);
    }

  private:
    ext2_filsys fs_;
    ext2_ino_t n_;
    ext2_inode* inode_;
    ext2_extent_handle_t extents_ = nullptr;
};

class Restore : public FullRestoreSink {
  public:
    Restore(FsState& p, IArchive* archive)
        : part_(p), archive_(archive), src_(GetFullArchiveSource()) {}
    ~Restore() override {
        if (fs_ != nullptr) ext2fs_free(fs_);
    }
    Status Run();

    Status DirSummaryEntry(uint32_t, const uint8_t* p) override;
    Status FileSummaryEntry(uint32_t, const uint8_t* p) override;
    Status BeginDirectory(uint32_t index, uint32_t parent, const DirectoryRecord& rec) override;
    Status AddSubdirectory(uint32_t child, const SubdirEntry&, const uint8_t*,
                           const char* name) override;
    Status AddFile(uint32_t file, uint32_t dir, uint32_t size, const uint8_t*,
                   const char* name) override;
    Status BeginFile(uint32_t index, uint64_t size) override;
    Status FilePiece(const uint8_t* data, uint32_t len) override;
    Status EndFile() override;

  private:
    FullRestoreSource Source() { return {src_, archive_, kWho, this}; }
    const uint8_t* Super() const { return boot_.data() + kSuperAt; }
    const uint8_t* DirAttr(uint32_t i) const { return dirAttrs_.data() + size_t(i) * kAttr; }
    const uint8_t* FileAttr(uint32_t i) const { return fileAttrs_.data() + size_t(i) * kAttr; }
    // A file's whole size: the summary's u32 and the high half its
    // attributes carry.
    uint64_t FileSize(uint32_t i) const {
        return uint64_t(fileSizes_[i]) | uint64_t(ld32(FileAttr(i) + kSizeHigh)) << 32;
    }
    Status ReadBootArea();
    Status LayOut();
    Status CheckFit();
    Status MakeVolume();
    Status ReadInode(ext2_ino_t n);
    Status WriteInode(ext2_ino_t n);
    ext2_inode_large& Inode() { return *reinterpret_cast<ext2_inode_large*>(raw_.data()); }
    Status ApplyXattrs(ext2_ino_t n, const uint8_t* attributes);
    Status FinishDirectories();
    Status WriteRun();

    FsState& part_;
    IArchive* archive_;
    const FullArchiveSource* src_;
    ext2_filsys fs_ = nullptr;
    uint32_t dirCount_ = 0, fileCount_ = 0;
    std::vector<uint8_t> boot_;
    XattrTable xattrs_;
    std::vector<uint8_t> dirAttrs_, fileAttrs_;
    std::vector<uint16_t> dirBlocks_; // own block counts at the volume's block size
    std::vector<uint32_t> fileSizes_; // low halves, as the summaries carry them
    std::vector<ext2_ino_t> dirInodes_, fileInodes_;
    std::vector<bool> fileLinked_; // a further name of an inode made before
    std::unordered_map<uint32_t, ext2_ino_t> links_;
    std::unique_ptr<Ext4DirAppender> records_; // the directories' records
    std::vector<uint8_t> raw_;                 // one inode, at least an ext2_inode_large
    uint32_t inodeSize_ = 0;
    uint32_t blockSize_ = 0;
    uint32_t current_ = 0; // the directory whose entries are read
    uint64_t total_ = 0;
    // The file being written: its content arrives in pieces, kept by
    // blocks; blocks of zeros are skipped and the others gathered in runs
    // that are allocated (ext2fs_fallocate) and written in one transfer
    // per stretch of consecutive blocks.
    bool writing_ = false;
    ext2_inode fileInode_{};
    uint32_t fileIndex_ = 0;
    uint64_t at_ = 0;    // file position of the block being gathered
    uint32_t fill_ = 0;  // its bytes so far, behind the run's
    uint64_t runAt_ = 0; // file position of run_
    std::vector<uint8_t> run_;
    size_t runFill_ = 0;
};

Status Restore::Run() {
    const ArchiveHeader* header = AcceptFullArchive(src_, archive_, "EXT4", kAttr, kWho);
    if (header == nullptr) return 1;
    dirCount_ = header->dirCount;
    fileCount_ = header->fileCount;
    if (dirCount_ == 0) return Damaged("no root directory");
    if (ReadBootArea() != 0) return 1;
    if (PumpRestoreSummaries(Source(), dirCount_, fileCount_) != 0) return 1;
    if (LayOut() != 0 || CheckFit() != 0) return 1;
    // From here on the partition is written.
    if (MakeVolume() != 0) return 1;
    LogFormat("%s: Extracting directories...\r\n", kWho);
    dirInodes_.assign(dirCount_, 0);
    fileInodes_.assign(fileCount_, 0);
    fileLinked_.assign(fileCount_, false);
    records_ = std::make_unique<Ext4DirAppender>(fs_);
    if (PumpRestoreDirectories(Source(), dirCount_, fileSizes_.data(), fileCount_, 0) != 0)
        return 1;
    if (errcode_t error = records_->Flush()) return Failed("Cannot write a directory", error);
    if (PumpRestoreFiles(Source(), fileSizes_.data(), fileCount_, total_) != 0) return 1;
    LogFormat("%s: Writing directory attributes...\r\n", kWho);
    if (FinishDirectories() != 0) return 1;
    LogFormat("%s: Writing disk accounting and backups...\r\n", kWho);
    if (errcode_t error = ext2fs_close_free(&fs_)) return Failed("Cannot write the volume", error);
    LogFormat("%s: Done !\r\n", kWho);
    return 0;
}

Status Restore::ReadBootArea() {
    uint32_t size = 0;
    if (src_->OpenBootSectors(archive_, &size) != 0 || size < kTableAt || size > kBootAreaMax)
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
    const uint8_t* s = Super();
    if (ld16(s + sb::kMagic) != sb::kMagicValue || ld32(s + sb::kRevision) < 1 ||
        ld32(s + sb::kLogBlockSize) > 6 || ld16(s + sb::kInodeSize) < EXT2_GOOD_OLD_INODE_SIZE ||
        ld16(s + sb::kInodeSize) > (1024u << ld32(s + sb::kLogBlockSize)) ||
        (ld16(s + sb::kInodeSize) & (ld16(s + sb::kInodeSize) - 1)) != 0)
        return Damaged("no ext4 superblock in the boot area");
    const char* why = nullptr;
    if (!xattrs_.Load(boot_.data() + kTableAt, boot_.size() - kTableAt, &why)) return Damaged(why);
    return 0;
}

Status Restore::DirSummaryEntry(uint32_t, const uint8_t* p) {
    DirSummary s = DirSummary::Load(p);
    dirAttrs_.insert(dirAttrs_.end(), p + DirSummary::kSize, p + DirSummary::kSize + kAttr);
    const uint32_t log = ld32(Super() + sb::kLogBlockSize);
    // Counts stop at 32 KB blocks: a 64 KB block holds half as many.
    dirBlocks_.push_back(log <= 5 ? s.blocks[log] : uint16_t((s.blocks[5] + 1) / 2));
    return 0;
}

Status Restore::FileSummaryEntry(uint32_t, const uint8_t* p) {
    fileSizes_.push_back(ld32(p));
    fileAttrs_.insert(fileAttrs_.end(), p + kFileSummarySize, p + kFileSummarySize + kAttr);
    total_ += FileSize(uint32_t(fileSizes_.size() - 1));
    return 0;
}

// The volume's parameters at the partition's size, in memory: nothing is
// written until the fit is known.
Status Restore::LayOut() {
    const uint8_t* s = Super();
    const uint32_t log = ld32(s + sb::kLogBlockSize);
    blockSize_ = 1024u << log;
    const uint32_t incompat = ld32(s + sb::kFeatureIncompat);
    uint64_t srcBlocks = ld32(s + sb::kBlocksCountLo);
    uint64_t srcReserved = ld32(s + sb::kRBlocksCountLo);
    if (incompat & EXT4_FEATURE_INCOMPAT_64BIT) {
        srcBlocks |= uint64_t(ld32(s + sb::kBlocksCountHi)) << 32;
        srcReserved |= uint64_t(ld32(s + sb::kRBlocksCountHi)) << 32;
    }
    const uint32_t srcInodes = ld32(s + sb::kInodesCount);
    if (srcBlocks == 0 || srcInodes == 0 || srcReserved > srcBlocks)
        return Damaged("the superblock's counts");
    if (s[sb::kLogGroupsPerFlex] > 31) return Damaged("the superblock's flex group size");
    if ((incompat & ~uint32_t(EXT2_LIB_FEATURE_INCOMPAT_SUPP)) ||
        (ld32(s + sb::kFeatureRoCompat) & ~uint32_t(EXT2_LIB_FEATURE_RO_COMPAT_SUPP))) {
        LogFormat("%s: the archived volume has features the library does not know\r\n", kWho);
        return 1;
    }
    const uint64_t bytes = uint64_t(part_.sizeSectors) * kSectorSize;
    const uint64_t blocks = bytes / blockSize_;
    if (!(incompat & EXT4_FEATURE_INCOMPAT_64BIT) && blocks > 0xFFFFFFFFull) {
        LogFormat("%s: the partition is larger than a volume without 64-bit block numbers\r\n",
                  kWho);
        return 1;
    }

    ext2_super_block param{};
    ext2fs_blocks_count_set(&param, blocks);
    ext2fs_r_blocks_count_set(&param,
                              uint64_t(double(blocks) * double(srcReserved) / double(srcBlocks)));
    param.s_log_block_size = log;
    param.s_rev_level = EXT2_DYNAMIC_REV;
    param.s_inode_size = ld16(s + sb::kInodeSize);
    // The source's bytes per inode, and at least the inodes the archive
    // needs with some room.
    const double perInode = double(srcBlocks) * blockSize_ / srcInodes;
    uint64_t inodes = uint64_t(double(bytes) / perInode);
    const uint64_t needed = uint64_t(dirCount_) + fileCount_ + EXT2_GOOD_OLD_FIRST_INO;
    inodes = std::max<uint64_t>(inodes, needed + needed / 16);
    param.s_inodes_count = uint32_t(std::min<uint64_t>(inodes, 0xFFFFFFF0u));
    param.s_feature_compat = ld32(s + sb::kFeatureCompat);
    param.s_feature_incompat = incompat & ~kIncompatDropped;
    param.s_feature_ro_compat = ld32(s + sb::kFeatureRoCompat);
    param.s_log_groups_per_flex = s[sb::kLogGroupsPerFlex];
    param.s_desc_size = ld16(s + sb::kDescSize);
    param.s_min_extra_isize = ld16(s + sb::kMinExtraIsize);
    param.s_want_extra_isize = ld16(s + sb::kWantExtraIsize);
    param.s_checksum_type = s[sb::kChecksumType];
    param.s_encoding = ld16(s + sb::kEncoding);
    param.s_encoding_flags = ld16(s + sb::kEncodingFlags);

    BindNextChannel(part_);
    if (errcode_t error =
            ext2fs_initialize(kChannelName, EXT2_FLAG_64BITS, &param, PartitionIoManager(), &fs_)) {
        fs_ = nullptr;
        NoteDiskFull();
        LogFormat("%s: the volume cannot be laid out on a partition of %u sectors: %s\r\n", kWho,
                  unsigned(part_.sizeSectors), error_message(error));
        return 1;
    }
    // Room for the large inode's fields even where the volume's inodes
    // are smaller: what lies beyond them reads as zero and is not written.
    inodeSize_ = EXT2_INODE_SIZE(fs_->super);
    raw_.assign(std::max<size_t>(inodeSize_, sizeof(ext2_inode_large)), 0);
    run_.assign(std::max<size_t>(kRunBytes, blockSize_), 0);
    return 0;
}

// Blocks and inodes the tree takes, against what the laid-out volume
// holds once its journal and reserved directories are placed.
Status Restore::CheckFit() {
    const uint64_t B = blockSize_;
    uint64_t neededBlocks = 0, neededInodes = dirCount_;
    for (uint32_t i = 0; i < dirCount_; ++i) {
        neededBlocks += std::max<uint16_t>(dirBlocks_[i], 1);
        if (xattrs_.RecordBytes(ld32(DirAttr(i) + kInode)) > 0) ++neededBlocks;
    }
    std::unordered_map<uint32_t, bool> seen;
    for (uint32_t i = 0; i < fileCount_; ++i) {
        const uint8_t* a = FileAttr(i);
        const uint32_t identity = ld32(a + kInode);
        if (ld16(a + kLinks) > 1 && identity != 0 && !seen.emplace(identity, true).second) continue;
        ++neededInodes;
        // A sparse file takes no more than its source allocated.
        const uint64_t data = std::min<uint64_t>(
            (FileSize(i) + B - 1) / B, (uint64_t(ld32(a + kAllocated)) * 1024 + B - 1) / B);
        // Extents of at most 32768 blocks; four in the inode, the others in
        // tree blocks.
        const uint64_t extents = (data + 32767) / 32768;
        neededBlocks += data + (extents > 4 ? (extents * 12 + B - 13) / (B - 12) + 1 : 0);
        // Attributes beyond what the inode holds take a block.
        if (xattrs_.RecordBytes(identity) + 32 > EXT2_INODE_SIZE(fs_->super) - 160u) ++neededBlocks;
    }
    ext2fs_journal_params journal{};
    uint64_t journalBlocks = 0;
    if (ext2fs_has_feature_journal(fs_->super) && ext2fs_get_journal_params(&journal, fs_) == 0)
        journalBlocks = uint64_t(journal.num_journal_blocks) + journal.num_fc_blocks;
    // Root, lost+found, and the tree blocks of the journal.
    const uint64_t overhead = journalBlocks + journalBlocks / (B / 12) + 8 + 16384 / B;
    const uint64_t free = ext2fs_free_blocks_count(fs_->super);
    const uint64_t inodes = fs_->super->s_inodes_count;
    if (neededInodes + EXT2_FIRST_INO(fs_->super) > inodes) {
        NoteDiskFull();
        LogFormat("%s: the archive does not fit: it needs %llu inodes (%u directories, %u "
                  "files), the partition holds %llu inodes\r\n",
                  kWho, (unsigned long long)(neededInodes + EXT2_FIRST_INO(fs_->super)),
                  unsigned(dirCount_), unsigned(fileCount_), (unsigned long long)inodes);
        return 1;
    }
    if (neededBlocks + overhead > free) {
        NoteDiskFull();
        LogFormat("%s: the archive does not fit: it needs %llu blocks of %u KB, the partition "
                  "holds %llu\r\n",
                  kWho, (unsigned long long)(neededBlocks + overhead), unsigned(B / 1024),
                  (unsigned long long)free);
        return 1;
    }
    return 0;
}

// The source's identity and settings on the laid-out volume, then the
// group tables, root, lost+found and the empty journal.
Status Restore::MakeVolume() {
    part_.driverData.reset();
    // The old superblock goes first: a restore cut off on the way leaves
    // no volume that tools would take for the old one.
    if (Seek(part_, 2) != 0 || BlankSects(part_, 2) != 0) return 1;
    const uint8_t* src = Super();
    ext2_super_block* s = fs_->super;
    std::memcpy(s->s_uuid, src + sb::kUuid, sizeof s->s_uuid);
    std::memcpy(s->s_volume_name, src + sb::kVolumeName, sizeof s->s_volume_name);
    std::memcpy(s->s_last_mounted, src + sb::kLastMounted, sizeof s->s_last_mounted);
    std::memcpy(s->s_mount_opts, src + sb::kMountOpts, sizeof s->s_mount_opts);
    for (int i = 0; i < 4; ++i)
        s->s_hash_seed[i] = ld32(src + sb::kHashSeed + 4 * size_t(i));
    s->s_def_hash_version = src[sb::kDefHashVersion];
    s->s_flags = (s->s_flags & ~uint32_t(EXT2_FLAGS_SIGNED_HASH | EXT2_FLAGS_UNSIGNED_HASH)) |
                 (ld32(src + sb::kFlags) & (EXT2_FLAGS_SIGNED_HASH | EXT2_FLAGS_UNSIGNED_HASH));
    s->s_default_mount_opts = ld32(src + sb::kDefaultMountOpts);
    s->s_errors = ld16(src + sb::kErrors);
    s->s_def_resuid = ld16(src + sb::kDefResuid);
    s->s_def_resgid = ld16(src + sb::kDefResgid);
    s->s_mkfs_time = ld32(src + sb::kMkfsTime);
    s->s_max_mnt_count = -1;
    s->s_checkinterval = 0;
    s->s_lastcheck = uint32_t(std::time(nullptr));
    s->s_checksum_type = src[sb::kChecksumType];
    if (ext2fs_has_feature_csum_seed(s)) s->s_checksum_seed = ld32(src + sb::kChecksumSeed);
    ext2fs_init_csum_seed(fs_);
    LogFormat("%s: Building the group tables...\r\n", kWho);
    if (Ext4LayOutVolume(fs_) != 0) return 1;
    if (ext2fs_has_feature_orphan_file(s)) {
        if (errcode_t error =
                ext2fs_create_orphan_file(fs_, blk_t(ext2fs_default_orphan_file_blocks(fs_))))
            return Failed("Cannot make the orphan file", error);
    }
    return 0;
}

Status Restore::ReadInode(ext2_ino_t n) {
    std::fill(raw_.begin(), raw_.end(), 0);
    if (errcode_t error = ext2fs_read_inode_full(fs_, n, reinterpret_cast<ext2_inode*>(raw_.data()),
                                                 int(inodeSize_)))
        return Failed("Cannot read an inode", error);
    return 0;
}

Status Restore::WriteInode(ext2_ino_t n) {
    if (errcode_t error = ext2fs_write_inode_full(
            fs_, n, reinterpret_cast<ext2_inode*>(raw_.data()), int(inodeSize_)))
        return Failed("Cannot write an inode", error);
    return 0;
}

Status Restore::ApplyXattrs(ext2_ino_t n, const uint8_t* attributes) {
    const uint32_t identity = ld32(attributes + kInode);
    if (identity == 0 || xattrs_.RecordBytes(identity) == 0) return 0;
    ext2_xattr_handle* h = nullptr;
    errcode_t error = ext2fs_xattrs_open(fs_, n, &h);
    if (error == 0) error = ext2fs_xattrs_read(h);
    std::string name;
    if (error == 0)
        xattrs_.ForEach(identity, [&](const char* key, size_t keyLength, const uint8_t* value,
                                      size_t valueLength) {
            name.assign(key, keyLength);
            error = ext2fs_xattr_set(h, name.c_str(), value, valueLength);
            return error == 0;
        });
    if (h != nullptr) ext2fs_xattrs_close(&h);
    if (error != 0) {
        LogFormat("%s: Cannot write the extended attribute %.255s: %s\r\n", kWho, name.c_str(),
                  error_message(error));
        return 1;
    }
    return 0;
}

Status Restore::BeginDirectory(uint32_t index, uint32_t, const DirectoryRecord&) {
    current_ = index;
    if (index == 0) {
        dirInodes_[0] = EXT2_ROOT_INO;
        return ApplyXattrs(EXT2_ROOT_INO, DirAttr(0));
    }
    return dirInodes_[index] == 0 ? Damaged("a directory its parent did not list") : 0;
}

Status Restore::AddSubdirectory(uint32_t child, const SubdirEntry&, const uint8_t*,
                                const char* name) {
    const ext2_ino_t parent = dirInodes_[current_];
    const std::string diskName = Ext4NameToDisk(name);
    // The root's lost+found is there already: the archived one is that.
    if (parent == EXT2_ROOT_INO && diskName == "lost+found") {
        ext2_ino_t found = 0;
        if (ext2fs_lookup(fs_, parent, diskName.c_str(), int(diskName.size()), nullptr, &found) ==
            0) {
            dirInodes_[child] = found;
            return ApplyXattrs(found, DirAttr(child));
        }
    }
    ext2_ino_t n = 0;
    if (errcode_t error = ext2fs_new_inode(fs_, parent, LINUX_S_IFDIR | 0755, nullptr, &n))
        return Failed("No free inode", error);
    // The directory is made without a name (the library would look the
    // name up and link it by walking the whole parent); the parent's
    // record comes from the appender.
    if (errcode_t error = ext2fs_mkdir(fs_, parent, n, nullptr))
        return Failed("Cannot make a directory", error);
    if (errcode_t error = records_->Add(parent, diskName, n, EXT2_FT_DIR))
        return error == EXT2_ET_DIR_EXISTS ? Damaged("a name twice in one directory")
                                           : Failed("Cannot make a directory", error);
    dirInodes_[child] = n;
    return ApplyXattrs(n, DirAttr(child));
}

Status Restore::AddFile(uint32_t file, uint32_t, uint32_t size, const uint8_t*, const char* name) {
    const ext2_ino_t dir = dirInodes_[current_];
    const uint8_t* a = FileAttr(file);
    const std::string diskName = Ext4NameToDisk(name);
    uint16_t mode = ld16(a + kAttrMode);
    if ((mode & LINUX_S_IFMT) == 0 || LINUX_S_ISDIR(mode))
        mode = uint16_t(LINUX_S_IFREG | (mode & 07777));
    // A further name of an inode made before is a link to it.
    const uint32_t identity = ld32(a + kInode);
    if (ld16(a + kLinks) > 1 && identity != 0) {
        const auto found = links_.find(identity);
        if (found != links_.end()) {
            const ext2_ino_t n = found->second;
            if (errcode_t error = records_->Add(dir, diskName, n, Ext4FileType(mode)))
                return error == EXT2_ET_DIR_EXISTS ? Damaged("a name twice in one directory")
                                                   : Failed("Cannot add a link", error);
            if (ReadInode(n) != 0) return 1;
            ++Inode().i_links_count;
            if (WriteInode(n) != 0) return 1;
            fileInodes_[file] = n;
            fileLinked_[file] = true;
            return 0;
        }
    }
    ext2_ino_t n = 0;
    if (errcode_t error = ext2fs_new_inode(fs_, dir, mode, nullptr, &n))
        return Failed("No free inode", error);
    std::fill(raw_.begin(), raw_.end(), 0);
    ext2_inode_large& inode = Inode();
    ext2_inode& base = *reinterpret_cast<ext2_inode*>(raw_.data());
    UnPackInodeAttr(base, a);
    inode.i_mode = mode;
    inode.i_flags &= ~kLateFlags;
    if (inodeSize_ > EXT2_GOOD_OLD_INODE_SIZE)
        inode.i_extra_isize = uint16_t(std::min<size_t>(sizeof(ext2_inode_large), inodeSize_) -
                                       EXT2_GOOD_OLD_INODE_SIZE);
    UnPackInodeExtra(inode, a);
    inode.i_links_count = 1;
    const bool fastLink = LINUX_S_ISLNK(mode) && size == 0;
    if (fastLink) {
        const uint32_t length = ld32(a + kAttrSize);
        if (length == 0 || length > kExt4FastLinkMax ||
            strnlen(reinterpret_cast<const char*>(a + kAttrExtra), kShortLinkMax) != length)
            return Damaged("a symbolic link without its target");
    } else if (!IsSpecial(mode)) {
        // Content goes through the file calls: an empty extent tree (or
        // block map) to start from.
        inode.i_size = inode.i_size_high = 0;
        std::memset(inode.i_block, 0, sizeof inode.i_block);
        inode.i_flags &= ~uint32_t(EXT4_EXTENTS_FL);
        if (ext2fs_has_feature_extents(fs_->super)) {
            ext2_extent_handle_t extents = nullptr;
            if (errcode_t error = ext2fs_extent_open2(fs_, n, &base, &extents))
                return Failed("Cannot make a file", error);
            ext2fs_extent_free(extents);
        }
    } else {
        inode.i_size = 0;
    }
    if (WriteInode(n) != 0) return 1;
    ext2fs_inode_alloc_stats2(fs_, n, +1, 0);
    if (errcode_t error = records_->Add(dir, diskName, n, Ext4FileType(mode)))
        return error == EXT2_ET_DIR_EXISTS ? Damaged("a name twice in one directory")
                                           : Failed("Cannot add a directory record", error);
    if (ApplyXattrs(n, a) != 0) return 1;
    if (ld16(a + kLinks) > 1 && identity != 0) links_.emplace(identity, n);
    fileInodes_[file] = n;
    return 0;
}

Status Restore::BeginFile(uint32_t index, uint64_t size) {
    fileIndex_ = index;
    at_ = 0;
    fill_ = 0;
    runAt_ = 0;
    runFill_ = 0;
    writing_ = false;
    if (size == 0 || fileLinked_[index]) return 0;
    const ext2_ino_t n = fileInodes_[index];
    const uint16_t mode = ld16(FileAttr(index) + kAttrMode);
    if (IsSpecial(mode)) return Damaged("a device or pipe with content");
    // The size first: the blocks allocated below lie inside the file.
    if (errcode_t error = ext2fs_read_inode(fs_, n, &fileInode_))
        return Failed("Cannot read an inode", error);
    if (errcode_t error = ext2fs_inode_size_set(fs_, &fileInode_, size))
        return Failed("Cannot size a file", error);
    writing_ = true;
    return 0;
}

// Allocates the blocks of the run gathered and writes it, one transfer
// for each stretch of blocks that lie one after the other.
Status Restore::WriteRun() {
    if (runFill_ == 0) return 0;
    const ext2_ino_t n = fileInodes_[fileIndex_];
    const blk64_t first = runAt_ / blockSize_;
    const blk64_t count = (runFill_ + blockSize_ - 1) / blockSize_;
    // The last block's tail is zeros.
    std::fill(run_.begin() + ptrdiff_t(runFill_), run_.begin() + ptrdiff_t(count * blockSize_), 0);
    if (errcode_t error =
            ext2fs_fallocate(fs_, EXT2_FALLOCATE_FORCE_INIT, n, &fileInode_, ~0ULL, first, count))
        return Failed("Cannot allocate a file's blocks", error);
    BlockMapper map(fs_, n, &fileInode_);
    blk64_t i = 0;
    while (i < count) {
        blk64_t physical = 0, length = 0;
        if (errcode_t error = map.Stretch(first + i, count - i, &physical, &length))
            return Failed("Cannot map a file's blocks", error);
        if (physical == 0) return Failed("Cannot map a file's blocks", EXT2_ET_BLOCK_ALLOC_FAIL);
        // Stretches that continue one another on the disk go in one transfer.
        while (i + length < count) {
            blk64_t next = 0, more = 0;
            if (errcode_t error = map.Stretch(first + i + length, count - i - length, &next, &more))
                return Failed("Cannot map a file's blocks", error);
            if (next != physical + length) break;
            length += more;
        }
        if (errcode_t error = io_channel_write_blk64(fs_->io, physical, int(length),
                                                     run_.data() + i * blockSize_))
            return Failed("Cannot write a file", error);
        i += length;
    }
    runFill_ = 0;
    return 0;
}

Status Restore::FilePiece(const uint8_t* data, uint32_t len) {
    if (!writing_) return 0;
    while (len > 0) {
        // A block is gathered where it goes in the run, so a run that it
        // cannot continue (a hole before it, or no room) is written first.
        if (fill_ == 0 && runFill_ > 0 &&
            (runAt_ + runFill_ != at_ || runFill_ + blockSize_ > run_.size()) && WriteRun() != 0)
            return 1;
        uint8_t* block = run_.data() + runFill_;
        const uint32_t take = std::min<uint32_t>(len, blockSize_ - fill_);
        std::memcpy(block + fill_, data, take);
        fill_ += take;
        data += take;
        len -= take;
        const bool last = at_ + fill_ == FileSize(fileIndex_);
        if (fill_ < blockSize_ && !last) continue;
        // A block of zeros stays a hole: it is left out of the run.
        const bool zero = block[0] == 0 && std::memcmp(block, block + 1, fill_ - 1) == 0;
        if (!zero) {
            if (runFill_ == 0) runAt_ = at_;
            runFill_ += fill_;
        }
        at_ += fill_;
        fill_ = 0;
    }
    return 0;
}

Status Restore::EndFile() {
    const uint32_t index = fileIndex_;
    if (fileLinked_[index]) return 0;
    const ext2_ino_t n = fileInodes_[index];
    const uint8_t* a = FileAttr(index);
    const bool wrote = writing_;
    if (writing_) {
        writing_ = false;
        if (WriteRun() != 0) return 1;
    }
    // Times and the flags that forbid writing, now that the content is
    // there. The content's size and block map go in the same write: the
    // inode's base part as the allocation left it, its extra part as the
    // volume holds it.
    const uint32_t flags = ld32(a + kAttrFlags) & kLateFlags;
    if (ReadInode(n) != 0) return 1;
    if (wrote) std::memcpy(raw_.data(), &fileInode_, sizeof fileInode_);
    ext2_inode_large& inode = Inode();
    inode.i_atime = ld32(a + kAttrAtime);
    inode.i_mtime = ld32(a + kAttrMtime);
    inode.i_ctime = ld32(a + kAttrCtime);
    UnPackInodeExtra(inode, a);
    inode.i_flags |= flags;
    return WriteInode(n);
}

// Directories take their mode, owners, times and flags once everything
// in them is made; their type, size and block map stay as made.
Status Restore::FinishDirectories() {
    for (uint32_t i = 0; i < dirCount_; ++i) {
        MonitorESC();
        const uint8_t* a = DirAttr(i);
        if (ld16(a + kAttrMode) == 0) continue;
        const ext2_ino_t n = dirInodes_[i];
        if (ReadInode(n) != 0) return 1;
        ext2_inode_large& inode = Inode();
        ext2_inode& base = *reinterpret_cast<ext2_inode*>(raw_.data());
        const uint32_t size = base.i_size, sizeHigh = base.i_size_high, flags = base.i_flags;
        const uint16_t links = base.i_links_count;
        uint32_t block[EXT2_N_BLOCKS];
        std::memcpy(block, base.i_block, sizeof block);
        const uint16_t mode = ld16(a + kAttrMode);
        inode.i_mode = uint16_t(LINUX_S_IFDIR | (mode & 07777));
        inode.i_uid = ld16(a + kAttrUid);
        inode.i_gid = ld16(a + kAttrGid);
        inode.i_atime = ld32(a + kAttrAtime);
        inode.i_mtime = ld32(a + kAttrMtime);
        inode.i_ctime = ld32(a + kAttrCtime);
        constexpr uint32_t kLayout = EXT4_EXTENTS_FL | EXT4_INLINE_DATA_FL | EXT2_INDEX_FL;
        inode.i_flags = (flags & kLayout) | (ld32(a + kAttrFlags) & kPortableInodeFlags);
        UnPackInodeExtra(inode, a);
        base.i_size = size;
        base.i_size_high = sizeHigh;
        base.i_links_count = links;
        std::memcpy(base.i_block, block, sizeof block);
        if (WriteInode(n) != 0) return 1;
    }
    return 0;
}

} // namespace

Status Ext4FullUnzip(FsState& part, IArchive* archive) {
    Restore restore(part, archive);
    const Status status = restore.Run();
    part.driverData.reset();
    return status;
}

} // namespace vk
