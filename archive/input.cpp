// The source adapter's three sources: a full archive, an incremental
// archive and a scanned tree.
#include "archive/input.h"

#include <cstring>

#include "archive/copy.h"
#include "archive/reader.h"
#include "archive/scan.h"
#include "archive/vfile.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

namespace {

// What both archive sources share: the reader, the header as read, and a
// buffer for the entries they make (the root's, the rebuilt ones).
class ArchiveInput : public InputSource {
  public:
    ArchiveInput() : entry_(static_cast<uint8_t*>(Malloc(ParagraphsFor(kChunkData)))) {}
    ~ArchiveInput() override {
        if (open_) AbandonArchive(&r_);
        Free(entry_);
    }

    // The archive, opened by `opened`, and its header.
    Status Open(Status opened) {
        if (opened) return opened;
        const ArchiveHeader* header;
        if (ReadArchiveHeader(&r_, &header)) return 2;
        header_ = *header;
        return 0;
    }

    Status InputFsInfos(char id[4], uint16_t* attrSize) override {
        std::memcpy(id, header_.fsId, 4);
        *attrSize = attrSize_ =
            header_.summaryAttr > header_.dirAttr ? header_.summaryAttr : header_.dirAttr;
        return 0;
    }
    // The archive holds no root entry: one of empty name and attributes.
    Status InputRootDirEntry(const uint8_t** ptr) override {
        std::memset(entry_, 0, SubdirEntry::kSize + attrSize_ + 1);
        *ptr = entry_;
        return 0;
    }

  protected:
    // Ends the reading with `closed` (the reader's close), whatever it says.
    Status Closed(Status closed) {
        open_ = false;
        return closed;
    }

    IArchive r_{};
    bool open_ = true; // until closed: a failure abandons it
    ArchiveHeader header_;
    uint16_t attrSize_ = 0; // of the entries handed out
    uint8_t* entry_;        // kChunkData bytes
};

// A full archive, section by section. Where its directory entries carry
// fewer attributes than its summaries (DA < SA), the entries are rebuilt
// with the summaries' attributes, kept in "INDS" (per directory number)
// and "INFS" (per file).
class FullInput : public ArchiveInput {
  public:
    ~FullInput() override {
        ReleaseVFile(inds_);
        ReleaseVFile(infs_);
    }
    Status Open(const char* name) { return ArchiveInput::Open(OpenArchive(name, &r_)); }

    Status InputBootSectors(uint32_t* size) override { return OpenBootSectors(&r_, size); }
    Status InputBootSectorsChunk(const uint8_t** ptr, uint32_t* len) override {
        return ReadBootSectorsChunk(&r_, ptr, len);
    }
    Status InputedBootSectors() override { return CloseBootSectors(&r_); }
    Status InputDirectories(uint32_t* count) override;
    Status InputRootDirEntry(const uint8_t** ptr) override {
        ArchiveInput::InputRootDirEntry(ptr);
        if (Rebuilds() && (SeekVFile(inds_, 0) ||
                           ReadVFile(inds_, entry_ + SubdirEntry::kSize, header_.summaryAttr)))
            return 1;
        return 0;
    }
    Status InputDirectory(uint16_t* pops, uint32_t* subdirs, uint32_t* files,
                          uint32_t index) override {
        DirectoryRecord record;
        if (ReadDirectory(&r_, &record)) return 1;
        *pops = record.pops;
        *subdirs = record.subdirs;
        *files = record.files;
        // Directories come in pre-order: the index is the directory number,
        // and its subdirectories' numbers follow it.
        nextChild_ = index + 1;
        return 0;
    }
    Status InputDirEntryDir(const uint8_t** ptr) override;
    Status InputDirEntryFile(const uint8_t** ptr) override {
        const uint8_t* p;
        if (ReadDirEntryFile(&r_, &p)) return 1;
        if (!Rebuilds()) {
            *ptr = p;
            return 0;
        }
        return Rebuild(p, kFileEntrySize, infs_, 0xFFFFFFFF, ptr);
    }
    Status InputedDirectories() override {
        ReleaseVFile(inds_);
        ReleaseVFile(infs_);
        return CloseDirectories(&r_);
    }
    Status InputFiles(uint32_t* count) override {
        *count = header_.fileCount;
        return OpenFiles(&r_);
    }
    Status InputSkipFile(uint64_t* size) override { return ReadSkipFile(&r_, size); }
    Status InputFileHeader(uint64_t* size) override { return ReadFileHeader(&r_, size); }
    Status InputFileContent(const uint8_t** ptr, uint32_t* len) override {
        return ReadFileContent(&r_, ptr, len);
    }
    Status InputedFiles() override { return CloseFiles(&r_); }
    Status InputedArchive() override { return Closed(CloseArchive(&r_)); }

  private:
    bool Rebuilds() const { return header_.dirAttr < header_.summaryAttr; }
    Status Rebuild(const uint8_t* p, uint32_t fixed, int16_t attrs, uint32_t attrsAt,
                   const uint8_t** ptr);

    int16_t inds_ = -1;
    int16_t infs_ = -1;
    uint32_t nextChild_ = 0; // the next subdirectory's directory number
};

Status FullInput::InputDirectories(uint32_t* count) {
    *count = header_.dirCount;
    uint16_t sa = header_.summaryAttr;
    if (Rebuilds()) {
        inds_ = RewriteVFile("INDS");
        infs_ = RewriteVFile("INFS");
        if (inds_ < 0 || infs_ < 0) return 1;
    }
    const uint8_t* p;
    if (OpenDirSummary(&r_)) return 1;
    for (uint32_t i = 0; i < header_.dirCount; ++i) {
        if (ReadDirSummaryEntry(&r_, &p)) return 1;
        if (inds_ >= 0 && WriteVFile(inds_, p + DirSummary::kSize, sa)) return 1;
    }
    if (CloseDirSummary(&r_) || OpenFileSummary(&r_)) return 1;
    for (uint32_t i = 0; i < header_.fileCount; ++i) {
        if (ReadFileSummaryEntry(&r_, &p)) return 1;
        if (infs_ >= 0 && WriteVFile(infs_, p + kFileSummarySize, sa)) return 1;
    }
    if (CloseFileSummary(&r_)) return 1;
    if (infs_ >= 0 && SeekVFile(infs_, 0)) return 1;
    return OpenDirectories(&r_);
}

// Puts the entry's fixed part, the given attributes and its name into the
// rebuild buffer.
Status FullInput::Rebuild(const uint8_t* p, uint32_t fixed, int16_t attrs, uint32_t attrsAt,
                          const uint8_t** ptr) {
    uint16_t da = header_.dirAttr, sa = header_.summaryAttr;
    int32_t nameLength = EntryNameLength(p + fixed + da, kEntryNameMax);
    if (nameLength < 0) return 1;
    std::memcpy(entry_, p, fixed);
    if (attrsAt != 0xFFFFFFFF && SeekVFile(attrs, attrsAt)) return 1;
    if (ReadVFile(attrs, entry_ + fixed, sa)) return 1;
    std::memcpy(entry_ + fixed + sa, p + fixed + da, size_t(nameLength) + 1);
    *ptr = entry_;
    return 0;
}

Status FullInput::InputDirEntryDir(const uint8_t** ptr) {
    const uint8_t* p;
    if (ReadDirEntryDir(&r_, &p)) return 1;
    uint32_t number = nextChild_;
    uint64_t next = uint64_t(number) + SubdirEntry::Load(p).descendants;
    nextChild_ = next > 0xFFFFFFFF ? 0xFFFFFFFF : uint32_t(next);
    if (!Rebuilds()) {
        *ptr = p;
        return 0;
    }
    if (number >= header_.dirCount) return 1;
    return Rebuild(p, SubdirEntry::kSize, inds_, number * header_.summaryAttr, ptr);
}

// An incremental archive, read twice: its directory records and entries
// (each file's content passed), then again for the files' contents.
class IncrInput : public ArchiveInput {
  public:
    Status Open(const char* name) { return ArchiveInput::Open(OpenIArchive(name, &r_)); }

    Status InputDirectories(uint32_t* count) override {
        *count = header_.dirCount;
        return OpenIFiles(&r_);
    }
    Status InputDirectory(uint16_t* pops, uint32_t* subdirs, uint32_t* files, uint32_t) override {
        IDirectoryRecord record;
        const char* name;
        if (ReadIDirectory(&r_, &record, &name)) return 1;
        *pops = record.pops;
        *subdirs = record.subdirs;
        *files = record.files;
        return 0;
    }
    Status InputDirEntryDir(const uint8_t** ptr) override { return ReadIDirEntryDir(&r_, ptr); }
    // The content follows the entry: pass it.
    Status InputDirEntryFile(const uint8_t** ptr) override { return ReadISkipFile(&r_, ptr); }
    // The file pass reads the archive a second time.
    Status InputedDirectories() override {
        if (CloseIFiles(&r_) || ReopenIArchive(&r_)) return 1;
        const ArchiveHeader* again;
        if (ReadIArchiveHeader(&r_, &again)) return 1;
        return std::memcmp(again, &header_, sizeof header_) == 0 ? 0 : 1;
    }
    Status InputFiles(uint32_t* count) override {
        *count = header_.fileCount;
        dirsLeft_ = header_.dirCount;
        filesLeft_ = 0;
        return OpenIFiles(&r_);
    }
    Status InputSkipFile(uint64_t* size) override {
        return NextFile(size, [this](const uint8_t** p) { return ReadISkipFile(&r_, p); });
    }
    Status InputFileHeader(uint64_t* size) override {
        return NextFile(size, [this](const uint8_t** p) { return ReadIDirEntryFile(&r_, p); });
    }
    Status InputFileContent(const uint8_t** ptr, uint32_t* len) override {
        return ReadIFileContent(&r_, ptr, len);
    }
    // Directories without files after the last file.
    Status InputedFiles() override {
        while (dirsLeft_ > 0)
            if (PassDirectory(true)) return 1;
        return CloseIFiles(&r_);
    }
    Status InputedArchive() override { return Closed(CloseIArchive(&r_)); }

  private:
    // The file pass: one directory record and its subdirectory entries;
    // after the last file (`last`) one without files.
    Status PassDirectory(bool last = false) {
        IDirectoryRecord record;
        const char* name;
        const uint8_t* p;
        if (ReadIDirectory(&r_, &record, &name) || (last && record.files != 0)) return 1;
        for (uint32_t i = 0; i < record.subdirs; ++i)
            if (ReadIDirEntryDir(&r_, &p)) return 1;
        filesLeft_ = record.files;
        --dirsLeft_;
        return 0;
    }
    // The next file's entry, read by `read` after the directory records
    // before it; its size into *size.
    template <typename Read> Status NextFile(uint64_t* size, Read read) {
        while (filesLeft_ == 0)
            if (dirsLeft_ == 0 || PassDirectory()) return 1;
        --filesLeft_;
        const uint8_t* p;
        if (read(&p)) return 1;
        *size = FullSize(ld32(p), p + kFileEntrySize, header_.dirAttr, r_.sizeHighAt);
        return 0;
    }

    uint32_t filesLeft_ = 0; // files left in the directory
    uint32_t dirsLeft_ = 0;  // the file pass: directory records left
};

// A file tree, scanned when opened.
class ScanInput : public InputSource {
  public:
    ~ScanInput() override { FinishArchive(&s_); }
    Status Open(const char* name) { return NewArchive(name, &s_); }

    Status InputFsInfos(char id[4], uint16_t* attrSize) override {
        return GetFsInfos(&s_, id, attrSize) ? 1 : 0;
    }
    Status InputBootSectors(uint32_t* size) override { return NewBootSectors(&s_, size); }
    Status InputBootSectorsChunk(const uint8_t** ptr, uint32_t* len) override {
        return GetBootSectorsChunk(&s_, ptr, len);
    }
    Status InputedBootSectors() override { return FinishBootSectors(&s_) == 0 ? 0 : 1; }
    Status InputDirectories(uint32_t* count) override {
        *count = s_.dirs;
        return NewDirectories(&s_);
    }
    Status InputRootDirEntry(const uint8_t** ptr) override { return GetRootDirEntry(&s_, ptr); }
    Status InputDirectory(uint16_t* pops, uint32_t* subdirs, uint32_t* files, uint32_t) override {
        return GetDirectory(&s_, pops, subdirs, files);
    }
    Status InputDirEntryDir(const uint8_t** ptr) override { return GetDirEntryDir(&s_, ptr); }
    Status InputDirEntryFile(const uint8_t** ptr) override { return GetDirEntryFile(&s_, ptr); }
    Status InputedDirectories() override { return FinishDirectories(&s_); }
    Status InputFiles(uint32_t* count) override {
        *count = s_.files;
        return NewFiles(&s_);
    }
    Status InputSkipFile(uint64_t* size) override { return DismissFile(&s_, size); }
    Status InputFileHeader(uint64_t* size) override { return GetFileHeader(&s_, size); }
    Status InputFileContent(const uint8_t** ptr, uint32_t* len) override {
        return GetFileContent(&s_, ptr, len);
    }
    Status InputedFiles() override { return FinishFiles(&s_); }
    Status InputedArchive() override { return FinishArchive(&s_); }

    const FsHandler* Handler() const override { return s_.handler; }
    uint32_t Unreadable() const override { return s_.unreadable; }

  private:
    ScanState s_{};
};

// Makes the source of type T and opens it.
template <typename T> Status Opened(const char* name, std::unique_ptr<InputSource>* source) {
    auto* s = new T;
    source->reset(s);
    return s->Open(name);
}

} // namespace

Status InputArchive(uint8_t type, const char* name, std::unique_ptr<InputSource>* source) {
    switch (type) {
    case kEndArchive: return Opened<FullInput>(name, source);
    case kEndIArchive: return Opened<IncrInput>(name, source);
    case kEndScan: return Opened<ScanInput>(name, source);
    default: return -1;
    }
}

} // namespace vk
