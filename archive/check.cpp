// The archive check: a pass over the fragment files (headers, lengths,
// continuity, CRCs), then a pass over the logical stream through the reader
// (sections, records, runs, counts and sums), each problem placed at the
// fragment file and byte where it was found.
#include "archive/check.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/format.h"
#include "archive/reader.h"
#include "archive/sink.h"
#include "archive/worker.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

// Where the archive header and the first section tag lie in fragment 0.
constexpr uint32_t kKindTagAt = ArchiveHeader::kSize; // data offset of "BS" or "CF"
// Full archives: directories and files whose summaries the check keeps.
constexpr uint32_t kCheckDirsMax = 1u << 22;
constexpr uint32_t kCheckFilesMax = 1u << 24;

// Fragments of at least this many data bytes are read by two threads.
constexpr uint32_t kSplitAt = 8u << 20;
constexpr uint32_t kSplitPiece = 1u << 20;

struct Checker {
    const char* name;
    ArchiveCheck* result;
    // Before a restore: copies in the remote-file cache were checked when
    // they entered it and are not read again; a remote fragment read
    // without the cache ends the pass (the reader checks it as it goes).
    bool beforeRestore = false;
    bool remoteUnchecked = false;
    bool droppedCopy = false;                     // a damaged copy was dropped from the cache
    uint8_t start[ArchiveHeader::kSize + 2] = {}; // first data bytes of fragment 0
    uint32_t startBytes = 0;
    uint32_t firstData = FragmentHeader::kSize; // where fragment 0's data begin
    // The thread that reads the second half of large fragments, and its
    // buffer (kSplitPiece bytes), made for the first such fragment.
    std::unique_ptr<ChunkWorker> worker{};
    std::unique_ptr<uint8_t[]> splitBuffer{};

    // Records the first problem: what, in which file, at which byte.
    Status Problem(const char* fragment, uint64_t offset, const char* format, ...)
        __attribute__((format(printf, 4, 5))) {
        char what[kCheckProblemMax / 2];
        va_list args;
        va_start(args, format);
        std::vsnprintf(what, sizeof what, format, args);
        va_end(args);
        std::snprintf(result->problem, sizeof result->problem, "%s in fragment %s at byte %" PRIu64,
                      what, fragment, offset);
        return 1;
    }
};

// Pass 1 ------------------------------------------------------------------------

// The second half of a fragment's data, read and summed by the worker
// thread from the fragment's descriptor. It is waited for before the
// fragment is closed, whichever way its check ends.
struct SecondHalf {
    ChunkWorker* worker = nullptr;
    uint64_t ticket = 0;
    int fd = -1;
    uint8_t* buffer = nullptr;
    uint64_t offset = 0; // in the file
    uint32_t length = 0;
    uint32_t got = 0; // bytes read before the end of the file or an error
    uint32_t crc = 0; // their CRC from 0

    void Start(Checker* c, int descriptor, uint64_t at, uint32_t n) {
        if (!c->worker) {
            c->worker = std::make_unique<ChunkWorker>();
            c->splitBuffer = std::make_unique<uint8_t[]>(kSplitPiece);
        }
        fd = descriptor;
        buffer = c->splitBuffer.get();
        offset = at;
        length = n;
        worker = c->worker.get();
        ticket = worker->Run([this] { Read(); });
        worker->Wake();
    }
    void Read() {
        while (got < length) {
            size_t want = length - got < kSplitPiece ? length - got : kSplitPiece;
            ssize_t n = pread(fd, buffer, want, off_t(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            crc = CRC32(crc, buffer, size_t(n));
            got += uint32_t(n);
        }
    }
    void Finish() {
        if (worker) worker->WaitFor(ticket);
        worker = nullptr;
    }
    ~SecondHalf() { Finish(); }
};

// Reads fragment n whole: its header, its data with their CRC, its length.
// *first is fragment 0's header, whose width and stream length the others
// must have;
// *streamOffset is where this fragment must continue the stream.
Status CheckFragment(Checker* c, uint32_t n, FragmentHeader* first, uint64_t* streamOffset) {
    char fragment[kReaderNameMax];
    if (FragmentName(c->name, n, fragment, sizeof fragment))
        return c->Problem(c->name, 0, "no name for fragment %u", n);
    ReadIOBuffer io;
    uint32_t size = 0;
    if (ReadIOOpenFileBuffer(fragment, &io, &size)) {
        ReadIOCloseFileBuffer(&io);
        if (n == 0) return c->Problem(fragment, 0, "archive cannot be opened");
        return c->Problem(fragment, 0,
                          "fragment missing (the stream holds %" PRIu64 " of %" PRIu64 " bytes)",
                          *streamOffset, first->streamLength);
    }
    // A problem in a copy of the remote-file cache drops that copy.
    struct Closer {
        Checker* c;
        ReadIOBuffer* io;
        const char* name;
        bool failed = true;
        ~Closer() {
            if (failed && ReadIOCloseDroppingCachedCopy(io, name)) c->droppedCopy = true;
            ReadIOCloseFileBuffer(io);
        }
    } closer{c, &io, fragment};
    if (c->beforeRestore && io.file.remote && RemoteNamesCrossTheNetwork()) {
        closer.failed = false;
        c->remoteUnchecked = true;
        return 0;
    }
    FragmentHeader h;
    switch (ReadFragmentHeader(&io, &h)) {
    case FragmentHead::kCutShort: return c->Problem(fragment, 0, "fragment header cut short");
    case FragmentHead::kNoFragment: return c->Problem(fragment, 0, "not an archive fragment");
    case FragmentHead::kRead: break;
    }
    const uint32_t firstData = h.Size();
    if (n == 0) {
        if (h.streamLength == 0)
            return c->Problem(fragment, kStreamLengthAt, "unfinished archive (stream length 0)");
        *first = h;
        c->firstData = firstData;
    } else if (h.magic != first->magic) {
        return c->Problem(fragment, 0, "fragment of another archive (its header's width differs)");
    } else if (h.streamLength != first->streamLength) {
        return c->Problem(fragment, kStreamLengthAt,
                          "fragment of another archive (stream length %" PRIu64
                          ", expected %" PRIu64 ")",
                          h.streamLength, first->streamLength);
    }
    if (h.streamOffset != *streamOffset)
        return c->Problem(fragment, 8,
                          "fragment out of order (stream offset %" PRIu64 ", expected %" PRIu64 ")",
                          h.streamOffset, *streamOffset);
    if (h.streamOffset + h.dataLength > h.streamLength)
        return c->Problem(fragment, 12, "fragment data (%u bytes) run past the stream's end",
                          h.dataLength);
    if (size != kUnknownSize && uint64_t(size) != uint64_t(h.dataLength) + firstData)
        return c->Problem(fragment, size < firstData ? 0 : size,
                          "fragment length %u, header says %" PRIu64, size,
                          uint64_t(h.dataLength) + firstData);
    if (c->beforeRestore && ReadIOCachedCopy(&io)) {
        closer.failed = false;
        *streamOffset += h.dataLength;
        return 0;
    }
    FragmentCrc crc(h);
    // A large fragment in a host file is read in two halves at once: the
    // worker thread takes the second with pread on the same descriptor
    // while this thread reads the first through the file layer; the two
    // CRCs are joined after.
    SecondHalf rest;
    uint32_t own = h.dataLength;
    int fd = h.dataLength >= kSplitAt ? ReadIODescriptor(&io) : -1;
    if (fd >= 0) {
        own = (h.dataLength / 2) & ~(kChunkData - 1);
        rest.Start(c, fd, uint64_t(firstData) + own, h.dataLength - own);
    }
    const uint8_t* raw = nullptr;
    for (uint32_t done = 0; done < own;) {
        MonitorESC();
        uint32_t piece = own - done < kChunkData ? own - done : kChunkData;
        if (ReadIOReadFileBuffer(&io, &raw, piece))
            return c->Problem(fragment, firstData + uint64_t(done),
                              "fragment cut short (header says %u data bytes)", h.dataLength);
        if (n == 0 && c->startBytes < sizeof c->start) {
            uint32_t take =
                piece < sizeof c->start - c->startBytes ? piece : sizeof c->start - c->startBytes;
            std::memcpy(c->start + c->startBytes, raw, take);
            c->startBytes += take;
        }
        crc.Add(raw, piece);
        done += piece;
    }
    if (fd >= 0) {
        rest.Finish();
        if (rest.got < rest.length)
            return c->Problem(fragment, firstData + uint64_t(own) + rest.got,
                              "fragment cut short (header says %u data bytes)", h.dataLength);
        crc.AddCrcOf(rest.crc, rest.length);
    }
    if (!crc.Matches())
        return c->Problem(fragment, firstData,
                          "data damaged: CRC of bytes %u to %" PRIu64 " is %08X, header says %08X",
                          firstData, uint64_t(firstData) + h.dataLength, crc.Computed(), h.crc);
    closer.failed = false;
    *streamOffset += h.dataLength;
    return 0;
}

Status CheckFragments(Checker* c) {
    FragmentHeader first;
    uint64_t offset = 0;
    for (uint32_t n = 0;; ++n) {
        if (n > 0xFFFF) return c->Problem(c->name, 0, "more fragments than can be named");
        if (CheckFragment(c, n, &first, &offset)) return 1;
        if (c->remoteUnchecked) return 0;
        c->result->fragments = n + 1;
        if (offset >= first.streamLength) return 0;
    }
}

// Pass 2 ------------------------------------------------------------------------

// A name from an archive must be one path component.
bool SingleComponent(const uint8_t* entry, uint32_t fixed) {
    const char* name = reinterpret_cast<const char*>(entry + fixed);
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    return std::strchr(name, '/') == nullptr && std::strchr(name, '\\') == nullptr;
}

struct Walker {
    Checker* c;
    IArchive* r;
    // Places a problem at the reader's last item.
    template <typename... Args> Status Fail(const char* format, Args... args) {
        return c->Problem(r->fragmentName, uint64_t(r->header.Size()) + r->itemAt, format, args...);
    }
    Status Fail(const char* text) { return Fail("%s", text); }
};

// The check as a sink of the section pumps: every record is compared with
// what came before it; a problem is placed at the reader's last item.
class CheckSink final : public SectionSink {
  public:
    CheckSink(Walker* w, const ArchiveHeader& h) : w_(w), h_(h), out_(w->c->result) {}
    Status Open(const char*, uint32_t) override { return 0; }
    void Abandon() override {}

    // Full archives.
    Status BeginBootSectors(uint32_t size) override {
        if (size % 512)
            return w_->Fail("boot sectors size %u is not a whole number of sectors", size);
        return 0;
    }
    Status BootPiece(const uint8_t*, uint32_t) override { return 0; }
    // The summaries are kept to compare with the directories and files; the
    // memory they take is bounded by the counts the check accepts.
    Status EndBootSectors() override {
        if (h_.dirCount > kCheckDirsMax || h_.fileCount > kCheckFilesMax)
            return w_->Fail("%u directories and %u files: more than the check holds (%u and %u)",
                            h_.dirCount, h_.fileCount, kCheckDirsMax, kCheckFilesMax);
        return 0;
    }
    Status BeginDirSummary() override { return 0; }
    Status DirSummaryEntry(const uint8_t* p) override {
        DirSummary summary = DirSummary::Load(p);
        dirSummary_.push_back({summary.subdirs, summary.files});
        return 0;
    }
    Status EndDirSummary() override { return 0; }
    Status BeginFileSummary() override { return 0; }
    Status FileSummaryEntry(const uint8_t* p) override {
        fileSizes_.push_back(
            FullSize(ld32(p), p + kFileSummarySize, h_.summaryAttr, w_->r->sizeHighAt));
        return 0;
    }
    Status EndFileSummary() override { return 0; }
    Status BeginDirectories() override { return 0; }
    // The tree shape: pop counts against the children each directory
    // announced; its entries against its summary.
    Status Directory(const DirectoryRecord& record) override {
        MonitorESC();
        uint32_t d = dir_++;
        if (d == 0 && record.pops != 0)
            return w_->Fail("directory 0: pop count %u for the root", record.pops);
        if (d > 0) {
            // The path to the previous directory is on the stack; leaving
            // pops levels must keep at least the root as the parent.
            if (record.pops >= childrenLeft_.size())
                return w_->Fail("directory %u: pop count %u does not fit the tree", d, record.pops);
            for (uint16_t i = 0; i < record.pops; ++i) {
                if (childrenLeft_.back() != 0)
                    return w_->Fail("directory %u: an earlier directory misses %u subdirectories",
                                    d, childrenLeft_.back());
                childrenLeft_.pop_back();
            }
            if (childrenLeft_.empty() || childrenLeft_.back() == 0)
                return w_->Fail("directory %u: not announced by its parent", d);
            --childrenLeft_.back();
        }
        childrenLeft_.push_back(record.subdirs);
        const Counts& summary = dirSummary_[d];
        if (summary.subdirs != record.subdirs || summary.files != record.files)
            return w_->Fail(
                "directory %u: %u subdirectories and %u files, its summary says %u and %u", d,
                record.subdirs, record.files, summary.subdirs, summary.files);
        return 0;
    }
    Status SubdirEntry(const uint8_t* p) override {
        if (!SingleComponent(p, SubdirEntry::kSize + h_.dirAttr))
            return w_->Fail("directory %u: subdirectory name is not a single component", dir_ - 1);
        return 0;
    }
    Status FileEntry(const uint8_t* p) override {
        uint32_t d = dir_ - 1;
        if (!SingleComponent(p, kFileEntrySize + h_.dirAttr))
            return w_->Fail("directory %u: file name is not a single component", d);
        if (fileNumber_ >= h_.fileCount)
            return w_->Fail("directory %u: more file entries than the header's %u files", d,
                            h_.fileCount);
        // The entry's u32 is the low half; a high half lives in attributes.
        const uint64_t size = FullSize(ld32(p), p + kFileEntrySize, h_.dirAttr, w_->r->sizeHighAt);
        const uint64_t expected = fileSizes_[fileNumber_];
        if (h_.dirAttr > 0 ? size != expected : uint32_t(size) != uint32_t(expected))
            return w_->Fail("file %u: entry size %" PRIu64 ", summary says %" PRIu64, fileNumber_,
                            size, expected);
        ++fileNumber_;
        return 0;
    }
    Status EndDirectories() override {
        for (uint32_t left : childrenLeft_)
            if (left != 0)
                return w_->Fail("directories: %u announced subdirectories missing", left);
        if (fileNumber_ != h_.fileCount)
            return w_->Fail("directories hold %u file entries, the header says %u", fileNumber_,
                            h_.fileCount);
        out_->dirs = h_.dirCount;
        return 0;
    }
    Status BeginFiles() override { return 0; }
    Status FileHeader(uint64_t size) override {
        Counted(size);
        uint32_t f = out_->files;
        if (size != fileSizes_[f])
            return w_->Fail("file %u: %" PRIu64 " bytes, its entry says %" PRIu64, f, size,
                            fileSizes_[f]);
        return 0;
    }
    Status ContentPiece(const uint8_t*, uint32_t) override { return 0; }
    Status EndFiles() override { return Counted(0); }

    // Incremental archives.
    Status BeginIFiles() override { return 0; }
    Status IDirectory(const IDirectoryRecord& record, const char* name) override {
        MonitorESC();
        uint32_t d = dir_++;
        bool root = name[0] == '\0';
        if (d == 0 && (!root || record.pops != 0))
            return w_->Fail("directory record 0 is not the root");
        if (d > 0) {
            const uint8_t* raw = reinterpret_cast<const uint8_t*>(name);
            if (root || !SingleComponent(raw, 0))
                return w_->Fail("directory record %u: name is not a single component", d);
            if (record.pops > depth_)
                return w_->Fail("directory record %u: pop count %u deeper than the tree (%u)", d,
                                record.pops, depth_);
            depth_ = depth_ - record.pops + 1;
        }
        return 0;
    }
    Status ISubdirEntry(const uint8_t* p) override {
        if (!SingleComponent(p, SubdirEntry::kSize + h_.dirAttr))
            return w_->Fail("directory record %u: subdirectory name is not a single component",
                            dir_ - 1);
        return 0;
    }
    Status IFileEntry(const uint8_t* p) override {
        if (!SingleComponent(p, kFileEntrySize + h_.dirAttr))
            return w_->Fail("directory record %u: file name is not a single component", dir_ - 1);
        return Counted(FullSize(ld32(p), p + kFileEntrySize, h_.dirAttr, w_->r->sizeHighAt));
    }
    Status IContentPiece(const uint8_t*, uint32_t) override { return 0; }
    Status EndIFiles() override {
        Counted(0);
        if (out_->files != h_.fileCount)
            return w_->Fail("%u files stored, the header says %u", out_->files, h_.fileCount);
        out_->dirs = h_.dirCount;
        return 0;
    }

  private:
    // A file is counted once its content has been read: when the next
    // one starts or the files end.
    Status Counted(uint64_t next) {
        if (open_) {
            ++out_->files;
            out_->bytes += size_;
        }
        open_ = true;
        size_ = next;
        return 0;
    }
    struct Counts {
        uint32_t subdirs, files;
    };
    Walker* w_;
    const ArchiveHeader& h_;
    ArchiveCheck* out_;
    std::vector<Counts> dirSummary_;
    std::vector<uint64_t> fileSizes_;    // whole sizes, from the summaries
    std::vector<uint32_t> childrenLeft_; // per level of the path to the last directory
    uint32_t dir_ = 0;                   // directories (records) seen
    uint32_t fileNumber_ = 0;            // file entries seen
    uint32_t depth_ = 0;                 // incremental: depth of the last record
    bool open_ = false;                  // a file's content is being read
    uint64_t size_ = 0;
};

// Where the reader stopped, in the check's words.
Status SourceProblem(Walker* w, const ArchiveHeader& h, const PumpStop& stop, bool incremental) {
    uint32_t d = stop.dir, f = stop.file;
    if (incremental) {
        switch (stop.step) {
        case kStepFilesOpen: return w->Fail("changed files section missing");
        case kStepDir:
            return w->Fail("directory record %u unreadable (the header announces %u)", d,
                           h.dirCount);
        case kStepSubdirEntry:
            return w->Fail("directory record %u: subdirectory entry unreadable", d);
        case kStepFileEntry: return w->Fail("directory record %u: file entry unreadable", d);
        case kStepContent: return w->Fail("file %u: content unreadable", f);
        case kStepFilesClose:
            return w->Fail("end tag missing after the header's %u directory records", h.dirCount);
        default: return w->Fail("archive unreadable");
        }
    }
    switch (stop.step) {
    case kStepBootOpen: return w->Fail("boot sectors section unreadable");
    case kStepBoot: return w->Fail("boot sectors unreadable");
    case kStepBootClose: return w->Fail("boot sectors unfinished");
    case kStepDirSummaryOpen: return w->Fail("directory summary section missing");
    case kStepDirSummary:
        return w->Fail("directory summary holds fewer than the header's %u directories",
                       h.dirCount);
    case kStepDirSummaryClose:
        return w->Fail("directory summary holds more than the header's %u directories", h.dirCount);
    case kStepFileSummaryOpen: return w->Fail("file summary section missing");
    case kStepFileSummary:
        return w->Fail("file summary holds fewer than the header's %u files", h.fileCount);
    case kStepFileSummaryClose:
        return w->Fail("file summary holds more than the header's %u files", h.fileCount);
    case kStepDirsOpen: return w->Fail("directories section missing");
    case kStepDir:
        return w->Fail("directory %u: record unreadable (the header announces %u)", d, h.dirCount);
    case kStepSubdirEntry: return w->Fail("directory %u: subdirectory entry unreadable", d);
    case kStepFileEntry: return w->Fail("directory %u: file entry unreadable", d);
    case kStepDirsClose: return w->Fail("directories unfinished");
    case kStepFilesOpen: return w->Fail("files section missing");
    case kStepFile:
    case kStepFileSkip: return w->Fail("file %u: header unreadable", f);
    case kStepContent: return w->Fail("file %u: content unreadable", f);
    case kStepFilesClose:
        return w->Fail("end tag missing after the header's %u files", h.fileCount);
    }
    return 1;
}

// Pumps the archive's sections into the check; a problem the check found
// is already recorded, one of the reader is placed here.
Status CheckSections(Walker* w, const ArchiveHeader& h, bool incremental) {
    CheckSink sink(w, h);
    PumpStop stop;
    Status s = incremental ? PumpIncrSections(w->r, h, &sink, kShowNothing, &stop)
                           : PumpFullSections(w->r, h, &sink, kShowNothing, &stop);
    if (s == 0) return 0;
    if (stop.side == kPumpSink) return 1;
    return SourceProblem(w, h, stop, incremental);
}

} // namespace

Status CheckBeforeRestore(const char* name) {
    ArchiveCheck result;
    Checker c{name, &result};
    c.beforeRestore = true;
    Status s = CheckFragments(&c);
    if (s && c.droppedCopy) {
        // The damage was in a copy in the remote-file cache, now dropped:
        // the second pass fetches it again.
        Log("ERROR: [CheckFragments] ");
        Log(result.problem);
        Log("\r\nWARNING: Damaged copy dropped from the disk cache, fetching it again\r\n");
        c = Checker{name, &result};
        c.beforeRestore = true;
        s = CheckFragments(&c);
    }
    if (s) {
        Log("ERROR: [CheckFragments] Archive ");
        Log(name);
        Log(" is damaged: ");
        Log(result.problem);
        Log("\r\n");
        return 1;
    }
    if (c.remoteUnchecked)
        Log("WARNING: Remote archive read without the disk cache: its fragments are checked "
            "only as they are restored\r\n");
    return 0;
}

Status CheckArchive(const char* name, ArchiveCheck* result) {
    *result = ArchiveCheck{};
    Checker c{name, result};
    if (CheckFragments(&c)) return 1;
    if (c.startBytes < sizeof c.start)
        return c.Problem(name, c.firstData, "archive header cut short");
    uint16_t kind = ld16(c.start + kKindTagAt);
    if (kind != kTagBootSectors && kind != kTagIFiles)
        return c.Problem(name, c.firstData + kKindTagAt,
                         "neither a full nor an incremental archive");
    result->incremental = kind == kTagIFiles;

    auto r = std::make_unique<IArchive>();
    if (OpenArchive(name, r.get())) {
        AbandonArchive(r.get());
        return c.Problem(name, 0, "archive cannot be opened");
    }
    Walker w{&c, r.get()};
    const ArchiveHeader* header = nullptr;
    Status s = ReadArchiveHeader(r.get(), &header) ? w.Fail("archive header unreadable") : 0;
    ArchiveHeader h;
    if (s == 0) h = *header;
    if (s == 0) s = CheckSections(&w, h, result->incremental);
    if (s == 0 && (result->bytes > 0xFFFFFFFFull
                       ? h.sumOfSizes != 0xFFFFFFFF && h.sumOfSizes != uint32_t(result->bytes)
                       : h.sumOfSizes != result->bytes))
        s = c.Problem(name, c.firstData + 16, "sum of file sizes %" PRIu64 ", the header says %u",
                      result->bytes, h.sumOfSizes);
    if (s == 0 && CloseArchive(r.get())) s = w.Fail("data after the end of the archive");
    AbandonArchive(r.get());
    return s;
}

} // namespace vk
