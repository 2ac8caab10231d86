// Full restore of an ext2 partition from a full archive, in one sequential
// pass over the archive. The summaries announce every directory and file
// before any entry or content, so all inodes are numbered and all blocks
// placed in advance: the root is inode 2, the other directories 11, 12, ...
// in directory order, the files follow in file order; the data sequence
// (group 0's data area, then group 1's, ...) holds every directory and
// then every file as one run, indirect blocks first. The inode tables are
// written first, then the directory blocks, then the file data, then the
// bitmaps and group descriptors; nothing is read back. The superblock with
// its magic is the last write that makes the volume (backup copies, when
// asked for, follow): a restore cut off before leaves no file system that
// other tools would try to repair, and the same restore run again
// rebuilds it.
//
// The archive is untrusted. The header, the boot area and both summaries
// are read and the layout is checked to fit the partition before anything
// is written; every later record is checked against the summaries, so that
// no write ever leaves the planned blocks.
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
#include "ext2_internal.h"
#include "fresh.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr uint32_t kB = kExt2FreshBlock;
constexpr uint32_t kP = kB / 4;
constexpr uint32_t kBootArea = 1024;
constexpr uint32_t kAttr = ext2attr::kTotal;
constexpr const char* kLabel = "VESKLOR"; // the volume name of a restored partition
// Inode flags a restored inode keeps: those that change neither how its
// blocks are mapped nor which features the volume needs.
constexpr uint32_t kKeptFlags = 0x0003C0FB;

Status Damaged(const char* what) {
    LogFormat("EXT2 Unzip: damaged archive: %s\r\n", what);
    return 1;
}

uint32_t BlocksFor(uint32_t bytes) {
    return uint32_t((uint64_t(bytes) + kB - 1) / kB);
}

uint16_t TypeOf(const uint8_t* attributes) {
    return uint16_t(ld16(attributes + ext2attr::kMode) & kExt2TypeMask);
}

bool NoData(uint16_t type) {
    return type == kExt2Fifo || type == kExt2CharDev || type == kExt2BlockDev ||
           type == kExt2Socket;
}

struct DirPlan {
    uint16_t blocks = 0; // own 1 KB blocks
    uint32_t subdirs = 0;
    uint32_t files = 0;
};

// Builds a directory's blocks record by record.
class DirWriter {
  public:
    DirWriter(const Ext2Geometry& g, BlockStream* stream) : g_(g), stream_(stream) {}
    void Begin(uint64_t position, uint32_t blocks) {
        position_ = position;
        blocks_ = blocks;
        written_ = 0;
        offset_ = 0;
        last_ = 0;
        std::memset(block_, 0, sizeof block_);
    }
    Status Add(uint32_t inode, const char* name) {
        const uint16_t length = RecLen(uint32_t(strnlen(name, ext2de::kNameMax)));
        if (offset_ + length > kB && EndBlock() != 0) return 1;
        last_ = offset_;
        offset_ += MakeEntry(inode, name, block_ + offset_);
        return 0;
    }
    // The last record reaches to its block end; blocks the directory owns
    // beyond its records hold one empty record each.
    Status End() {
        if (EndBlock() != 0) return 1;
        while (written_ < blocks_) {
            st16(block_ + ext2de::kRecLen, uint16_t(kB));
            if (Emit() != 0) return 1;
        }
        return 0;
    }

  private:
    Status EndBlock() {
        if (offset_ == 0) return 0;
        st16(block_ + last_ + ext2de::kRecLen, uint16_t(kB - last_));
        return Emit();
    }
    Status Emit() {
        if (written_ == blocks_) return Damaged("a directory larger than its summary says");
        Status status = stream_->Put(g_.DataBlock(position_ + written_), block_);
        ++written_;
        offset_ = 0;
        last_ = 0;
        std::memset(block_, 0, sizeof block_);
        return status;
    }
    const Ext2Geometry& g_;
    BlockStream* stream_;
    uint64_t position_ = 0;
    uint32_t blocks_ = 0, written_ = 0;
    uint32_t offset_ = 0, last_ = 0;
    uint8_t block_[kB];
};

// The restore is the sink of the sections the archive pumps read for it.
class Restore : public FullRestoreSink {
  public:
    Restore(FsState& part, IArchive* archive)
        : archive_(archive), part(part), src_(GetFullArchiveSource()), stream_(part) {}
    Status Run();

  private:
    FullRestoreSource Source() { return {src_, archive_, "EXT2 Unzip", this}; }
    Status DirSummaryEntry(uint32_t, const uint8_t* p) override;
    Status FileSummaryEntry(uint32_t, const uint8_t* p) override {
        fileSizes_.push_back(ld32(p));
        fileAttrs_.insert(fileAttrs_.end(), p + kFileSummarySize, p + kFileSummarySize + kAttr);
        return 0;
    }
    Status BeginFile(uint32_t index, uint64_t size) override;
    Status FilePiece(const uint8_t* data, uint32_t len) override;
    Status EndFile() override;
    Status EndFiles() override { return stream_.Flush(); }
    Status BeginDirectory(uint32_t index, uint32_t parent, const DirectoryRecord& rec) override;
    Status CheckName(const char* name) override;
    Status AddSubdirectory(uint32_t child, const SubdirEntry&, const uint8_t*,
                           const char* name) override {
        return writer_.Add(DirInode(child), name);
    }
    Status AddFile(uint32_t file, uint32_t, uint32_t, const uint8_t*, const char* name) override {
        return writer_.Add(FileInode(file), name);
    }
    Status EndDirectory() override { return writer_.End(); }
    Status ReadBootArea();
    Status ReadSummaries();
    Status CheckFit();
    Status WriteBootAndSuper();
    Status WriteInodes();
    Status WriteDirectories();
    Status WriteFiles();
    void BuildDirInode(uint32_t index, uint64_t position, uint8_t* raw) const;
    Status BuildFileInode(uint32_t index, uint64_t position, uint8_t* raw) const;

    uint32_t DirInode(uint32_t index) const { return index == 0 ? kExt2RootInode : 10 + index; }
    uint32_t FileInode(uint32_t index) const { return 10 + dirCount_ + index; }
    const uint8_t* DirAttr(uint32_t i) const { return dirAttrs_.data() + size_t(i) * kAttr; }
    const uint8_t* FileAttr(uint32_t i) const { return fileAttrs_.data() + size_t(i) * kAttr; }
    // Bytes of a file that go to its blocks: none for devices, FIFOs and
    // sockets.
    uint32_t DataSize(uint32_t i) const { return NoData(TypeOf(FileAttr(i))) ? 0 : fileSizes_[i]; }
    Ext2RunLayout DirLayout(uint32_t i) const { return LayOutRun(dirs_[i].blocks, kP); }
    Ext2RunLayout FileLayout(uint32_t i) const { return LayOutRun(BlocksFor(DataSize(i)), kP); }

    IArchive* archive_;
    FsState& part;
    const FullArchiveSource* src_;
    Ext2Geometry g_;
    uint32_t dirCount_ = 0, fileCount_ = 0;
    std::vector<uint8_t> boot_;
    std::vector<DirPlan> dirs_;
    std::vector<uint8_t> dirAttrs_;
    std::vector<uint32_t> fileSizes_;
    std::vector<uint8_t> fileAttrs_;
    uint64_t usedData_ = 0;
    uint64_t firstFile_ = 0; // data position of the first file's run
    BlockStream stream_;

    // The directory being written.
    DirWriter writer_{g_, &stream_};
    uint64_t dirAt_ = 0; // data position of the next directory's run
    // Names of the directory as stored: two archive names that translate
    // to the same bytes would make one name twice.
    std::unordered_set<std::string> names_;

    // The file being written.
    uint64_t position_ = 0; // data position of the next file's run
    uint64_t at_ = 0;       // data position of the next block of this one
    uint32_t keep_ = 0;     // bytes that go to its blocks
    uint32_t fill_ = 0;
    uint8_t block_[kB];
};

Status Restore::Run() {
    const ArchiveHeader* header = AcceptFullArchive(src_, archive_, "EXT2", kAttr, "EXT2 Unzip");
    if (header == nullptr) return 1;
    dirCount_ = header->dirCount;
    fileCount_ = header->fileCount;
    FlushCache();
    if (part.sizeSectors > kExt2MostSectors) {
        LogFormat("EXT2 Unzip: a partition of %llu sectors is too large for ext2 (at most %u)\r\n",
                  static_cast<unsigned long long>(part.sizeSectors), unsigned(kExt2MostSectors));
        return 1;
    }
    if (ComputeExt2Params(uint32_t(part.sizeSectors), &g_) != 0) {
        NoteDiskFull();
        LogFormat("EXT2 Unzip: a partition of %u sectors is too small for ext2\r\n",
                  unsigned(part.sizeSectors));
        return 1;
    }
    if (ReadBootArea() != 0 || ReadSummaries() != 0 || CheckFit() != 0) return 1;
    // From here on the partition is written.
    StoreFreshArea(part, g_);
    if (WriteBootAndSuper() != 0 || WriteInodes() != 0 || WriteDirectories() != 0 ||
        WriteFiles() != 0)
        return 1;
    Log("EXT2 Unzip: Building groups descriptors...\r\n");
    FreshUse use;
    use.usedData = usedData_;
    use.lastInode = std::max<uint32_t>(10, 9 + dirCount_ + fileCount_);
    use.directories = dirCount_;
    if (WriteGroups(part, g_, use, &stream_) != 0 ||
        BuildSuper(part, g_, g_.totalInodes, kLabel) != 0)
        return 1;
    Log("EXT2 Unzip: Writing disk accounting and backups...\r\n");
    part.state = kStateModified;
    part.valid = 1;
    if (Ext2FlushFsSpecific(part) != 0) return 1;
    Log("EXT2 Unzip: Done !\r\n");
    return 0;
}

Status Restore::ReadBootArea() {
    boot_.assign(kBootArea, 0);
    bool kept = false;
    if (PumpRestoreBootArea(Source(), kBootArea, boot_.data(), &kept) != 0) return 1;
    if (!kept) boot_.clear();
    return 0;
}

Status Restore::ReadSummaries() {
    if (dirCount_ == 0) return Damaged("no root directory");
    // Inodes 1 to 10 are reserved; the root takes 2, every other directory
    // and every file one of its own. Counts beyond the partition's inodes
    // cannot fit (and are not worth reading).
    const uint64_t inodes = 10 + uint64_t(dirCount_) - 1 + fileCount_;
    if (inodes > g_.totalInodes) {
        NoteDiskFull();
        LogFormat("EXT2 Unzip: the archive does not fit: it needs %llu inodes (%u directories, %u "
                  "files), the partition holds %u inodes\r\n",
                  (unsigned long long)inodes, unsigned(dirCount_), unsigned(fileCount_),
                  unsigned(g_.totalInodes));
        return 1;
    }
    return PumpRestoreSummaries(Source(), dirCount_, fileCount_);
}

Status Restore::DirSummaryEntry(uint32_t, const uint8_t* p) {
    DirSummary s = DirSummary::Load(p);
    DirPlan& d = dirs_.emplace_back();
    d.blocks = s.blocks[0];
    d.subdirs = s.subdirs;
    d.files = s.files;
    if (d.blocks == 0) return Damaged("a directory without blocks");
    dirAttrs_.insert(dirAttrs_.end(), p + DirSummary::kSize, p + DirSummary::kSize + kAttr);
    return 0;
}

Status Restore::CheckFit() {
    uint64_t needed = 0;
    for (uint32_t i = 0; i < dirCount_; ++i) {
        Ext2RunLayout r = DirLayout(i);
        needed += uint64_t(r.indirect) + r.dataBlocks;
    }
    firstFile_ = needed;
    for (uint32_t i = 0; i < fileCount_; ++i) {
        Ext2RunLayout r = FileLayout(i);
        needed += uint64_t(r.indirect) + r.dataBlocks;
        // What the inode can hold: a symbolic link's target in its block
        // pointers or in one block.
        const uint8_t* a = FileAttr(i);
        if (ld16(a + ext2attr::kMode) != 0 && TypeOf(a) == kExt2Symlink) {
            const uint32_t size = ld32(a + ext2attr::kSize);
            const char* target = reinterpret_cast<const char*>(a + ext2attr::kExtra);
            if (DataSize(i) == 0 && (size == 0 || size > kExt2FastLinkMax ||
                                     strnlen(target, ext2attr::kExtraSize) != size))
                return Damaged("a symbolic link without its target");
            if (DataSize(i) >= kB) return Damaged("a symbolic link longer than a block");
        }
    }
    if (needed > g_.DataBlocks()) {
        NoteDiskFull();
        LogFormat(
            "EXT2 Unzip: the archive does not fit: it needs %llu blocks of 1 KB, the partition "
            "holds %llu\r\n",
            (unsigned long long)needed, (unsigned long long)g_.DataBlocks());
        return 1;
    }
    usedData_ = needed;
    return 0;
}

Status Restore::WriteBootAndSuper() {
    if (ForgetOldVolume(part, part.sizeSectors) != 0) return 1;
    if (!boot_.empty() && (Seek(part, 0) != 0 || WriteSects(part, 2, boot_.data()) != 0)) return 1;
    return 0;
}

void Restore::BuildDirInode(uint32_t index, uint64_t position, uint8_t* raw) const {
    const uint8_t* a = DirAttr(index);
    st16(raw + ext2ino::kMode, kExt2NewDirMode);
    if (ld16(a + ext2attr::kMode) != 0) {
        UnPackAttr(raw, a);
        st16(raw + ext2ino::kMode, uint16_t(kExt2Dir | (ld16(raw + ext2ino::kMode) & 0x0FFF)));
    }
    std::memset(raw + ext2ino::kBlock, 0, ext2ino::kBlockArea);
    st32(raw + ext2ino::kFlags, ld32(raw + ext2ino::kFlags) & kKeptFlags);
    st32(raw + ext2ino::kGeneration, 1);
    st16(raw + ext2ino::kLinks, uint16_t(std::min<uint32_t>(dirs_[index].subdirs + 2, 65000)));
    st32(raw + ext2ino::kFileSize, uint32_t(dirs_[index].blocks) * kB);
    FillInodeBlocks(raw, g_, position, DirLayout(index));
}

Status Restore::BuildFileInode(uint32_t index, uint64_t position, uint8_t* raw) const {
    const uint8_t* a = FileAttr(index);
    st16(raw + ext2ino::kMode, kExt2NewFileMode);
    st16(raw + ext2ino::kLinks, 1);
    if (ld16(a + ext2attr::kMode) != 0) UnPackAttr(raw, a);
    st32(raw + ext2ino::kGeneration, 1);
    st32(raw + ext2ino::kFlags, ld32(raw + ext2ino::kFlags) & kKeptFlags);
    uint16_t mode = ld16(raw + ext2ino::kMode);
    const uint16_t type = mode & kExt2TypeMask;
    if (type != kExt2Fifo && type != kExt2CharDev && type != kExt2BlockDev &&
        type != kExt2Regular && type != kExt2Symlink && type != kExt2Socket)
        st16(raw + ext2ino::kMode, uint16_t(kExt2Regular | (mode & 0x0FFF)));
    const uint32_t size = DataSize(index);
    if (type == kExt2Symlink) {
        // The link's length: its target, without a terminator the data may hold.
        const uint32_t length = ld32(raw + ext2ino::kFileSize);
        if (size > 0 && (length == 0 || length > size)) st32(raw + ext2ino::kFileSize, size);
    } else {
        st32(raw + ext2ino::kFileSize, size);
    }
    if (size == 0) {
        st32(raw + ext2ino::kSectors, 0);
        return 0;
    }
    std::memset(raw + ext2ino::kBlock, 0, ext2ino::kBlockArea);
    FillInodeBlocks(raw, g_, position, FileLayout(index));
    return 0;
}

Status Restore::WriteInodes() {
    Log("EXT2 Unzip: Extracting directories inodes...\r\n");
    uint8_t block[kB] = {};
    const uint32_t perBlock = kB / ext2ino::kSize;
    const uint32_t last = std::max<uint32_t>(10, 9 + dirCount_ + fileCount_);
    uint64_t position = 0;
    bool filesLogged = false;
    for (uint32_t n = 1; n <= last; ++n) {
        uint8_t* raw = block + ((n - 1) % perBlock) * ext2ino::kSize;
        if (n == kExt2RootInode || (n >= kExt2FirstInode && n < FileInode(0))) {
            const uint32_t i = n == kExt2RootInode ? 0 : n - 10;
            BuildDirInode(i, position, raw);
            Ext2RunLayout r = DirLayout(i);
            position += uint64_t(r.indirect) + r.dataBlocks;
        } else if (n >= FileInode(0)) {
            if (!filesLogged) Log("EXT2 Unzip: Extracting files inodes...\r\n");
            filesLogged = true;
            const uint32_t i = n - FileInode(0);
            if (BuildFileInode(i, position, raw) != 0) return 1;
            Ext2RunLayout r = FileLayout(i);
            position += uint64_t(r.indirect) + r.dataBlocks;
        }
        if (n % perBlock == 0 || n == last) {
            MonitorESC();
            if (stream_.Put(g_.InodeTableBlock((n - 1) / perBlock), block) != 0) return 1;
            std::memset(block, 0, sizeof block);
        }
    }
    if (!filesLogged) Log("EXT2 Unzip: Extracting files inodes...\r\n");
    if (stream_.Flush() != 0) return 1;
    return BlankInodeTables(part, g_, (last - 1) / perBlock + 1);
}

Status Restore::WriteDirectories() {
    Log("EXT2 Unzip: Extracting directories...\r\n");
    if (PumpRestoreDirectories(Source(), dirCount_, fileSizes_.data(), fileCount_, 0) != 0)
        return 1;
    return stream_.Flush();
}

Status Restore::BeginDirectory(uint32_t index, uint32_t parent, const DirectoryRecord& rec) {
    const DirPlan& d = dirs_[index];
    if (rec.blocks[0] != d.blocks || rec.subdirs != d.subdirs || rec.files != d.files)
        return Damaged("a directory differs from its summary");
    const Ext2RunLayout layout = DirLayout(index);
    if (CreateBlocks(g_, dirAt_, layout, &stream_) != 0) return 1;
    writer_.Begin(dirAt_ + layout.indirect, layout.dataBlocks);
    dirAt_ += uint64_t(layout.indirect) + layout.dataBlocks;
    names_.clear();
    return writer_.Add(DirInode(index), ".") != 0 || writer_.Add(DirInode(parent), "..") != 0;
}

Status Restore::CheckName(const char* name) {
    uint8_t disk[ext2de::kNameMax];
    const size_t n = strnlen(name, ext2de::kNameMax);
    NameToDisk(name, disk, n);
    if (names_.insert(std::string(reinterpret_cast<const char*>(disk), n)).second) return 0;
    LogFormat("EXT2 Unzip: two entries of a directory would have one name: %.128s\r\n", name);
    return 1;
}

Status Restore::WriteFiles() {
    uint64_t total = 0;
    for (uint32_t size : fileSizes_)
        total += size;
    position_ = firstFile_;
    return PumpRestoreFiles(Source(), fileSizes_.data(), fileCount_, total);
}

Status Restore::BeginFile(uint32_t index, uint64_t) {
    const Ext2RunLayout layout = FileLayout(index);
    if (CreateBlocks(g_, position_, layout, &stream_) != 0) return 1;
    at_ = position_ + layout.indirect;
    position_ += uint64_t(layout.indirect) + layout.dataBlocks;
    keep_ = DataSize(index);
    fill_ = 0;
    return 0;
}

Status Restore::FilePiece(const uint8_t* data, uint32_t len) {
    if (keep_ == 0) return 0;
    while (len > 0) {
        const uint32_t take = std::min(len, kB - fill_);
        std::memcpy(block_ + fill_, data, take);
        fill_ += take;
        data += take;
        len -= take;
        if (fill_ == kB) {
            if (stream_.Put(g_.DataBlock(at_++), block_) != 0) return 1;
            fill_ = 0;
        }
    }
    return 0;
}

Status Restore::EndFile() {
    if (fill_ == 0) return 0;
    std::memset(block_ + fill_, 0, kB - fill_);
    return stream_.Put(g_.DataBlock(at_++), block_);
}

} // namespace

Status Ext2FullUnzip(FsState& part, IArchive* archive) {
    Status status = Restore(part, archive).Run();
    if (status != 0) {
        // Nothing of a failed restore is worth flushing.
        part.state = kStateClean;
        return -1;
    }
    return 0;
}

} // namespace vk
