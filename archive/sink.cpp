// The three destinations behind the section sink: the writer, the dump and
// the restore to a path.
#include "archive/sink.h"

#include "archive/copy.h"
#include "archive/dump.h"
#include "archive/irestore.h"
#include "archive/reader.h"
#include "archive/writer.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

class WriterSink final : public SectionSink {
  public:
    explicit WriterSink(bool incremental) : incremental_(incremental) {}
    Status Open(const char* name, uint32_t param) override {
        return incremental_ ? RewriteIArchive(name, param, &w_) : RewriteArchive(name, param, &w_);
    }
    // A writer that failed its last step still gives its buffers back.
    void Abandon() override {
        if (!ended_) AbortArchive(&w_);
        ended_ = true;
    }

    Status Header(const ArchiveHeader& h) override { return WriteArchiveHeader(&w_, h); }
    Status BeginBootSectors(uint32_t size) override { return RewriteBootSectors(&w_, size); }
    Status BootPiece(const uint8_t* p, uint32_t n) override {
        return WriteBootSectorsChunk(&w_, p, n);
    }
    Status EndBootSectors() override { return DoneBootSectors(&w_); }
    Status BeginDirSummary() override { return RewriteDirSummary(&w_); }
    Status DirSummaryEntry(const uint8_t* p) override { return WriteDirSummaryEntry(&w_, p); }
    Status EndDirSummary() override { return DoneDirSummary(&w_); }
    Status BeginFileSummary() override { return RewriteFileSummary(&w_); }
    Status FileSummaryEntry(const uint8_t* p) override { return WriteFileSummaryEntry(&w_, p); }
    Status EndFileSummary() override { return DoneFileSummary(&w_); }
    Status BeginDirectories() override { return RewriteDirectories(&w_); }
    Status Directory(const DirectoryRecord& r) override { return WriteDirectory(&w_, r); }
    Status SubdirEntry(const uint8_t* p) override { return WriteDirEntryDir(&w_, p); }
    Status FileEntry(const uint8_t* p) override { return WriteDirEntryFile(&w_, p); }
    Status EndDirectories() override { return DoneDirectories(&w_); }
    Status BeginFiles() override { return RewriteFiles(&w_); }
    Status FileHeader(uint64_t size) override { return WriteFileHeader(&w_, size); }
    Status ContentPiece(const uint8_t* p, uint32_t n) override {
        return WriteFileContent(&w_, p, n);
    }
    Status EndFiles() override { return DoneFiles(&w_); }
    Status End() override { return Ended(DoneArchive(&w_)); }

    Status IHeader(const ArchiveHeader& h) override { return WriteIArchiveHeader(&w_, h); }
    Status BeginIFiles() override { return RewriteIFiles(&w_); }
    Status IDirectory(const IDirectoryRecord& r, const char* name) override {
        return WriteIDirectory(&w_, r, name);
    }
    Status ISubdirEntry(const uint8_t* p) override { return WriteIDirEntryDir(&w_, p); }
    Status IFileEntry(const uint8_t* p) override { return WriteIDirEntryFile(&w_, p); }
    Status IContentPiece(const uint8_t* p, uint32_t n) override {
        return WriteIFileContent(&w_, p, n);
    }
    Status EndIFiles() override { return DoneIFiles(&w_); }
    Status IEnd() override { return Ended(DoneIArchive(&w_)); }

  private:
    Status Ended(Status s) {
        ended_ = s == 0;
        return s;
    }
    bool incremental_;
    bool ended_ = false;
    ArchiveWriter w_;
};

class DumpSink final : public SectionSink {
  public:
    explicit DumpSink(bool incremental) : incremental_(incremental) {}
    Status Open(const char*, uint32_t param) override {
        opened_ = true;
        return incremental_ ? StartDumpIArchive(uint16_t(param), &d_)
                            : StartDumpArchive(uint16_t(param), &d_);
    }
    bool WantsContent() const override { return (d_.flags & kDumpFileData) != 0; }
    void Abandon() override {
        if (opened_) AbandonDump(&d_);
        opened_ = false;
    }

    Status Header(const ArchiveHeader& h) override { return DumpArchiveHeader(&d_, &h); }
    Status BeginBootSectors(uint32_t size) override { return StartDumpBootSectors(&d_, size); }
    Status BootPiece(const uint8_t* p, uint32_t n) override {
        return DumpBootSectorsChunk(&d_, p, n);
    }
    Status EndBootSectors() override { return EndDumpBootSectors(&d_); }
    Status BeginDirSummary() override { return StartDumpDirSummary(&d_); }
    Status DirSummaryEntry(const uint8_t* p) override { return DumpDirSummaryEntry(&d_, p); }
    Status EndDirSummary() override { return EndDumpDirSummary(&d_); }
    Status BeginFileSummary() override { return StartDumpFileSummary(&d_); }
    Status FileSummaryEntry(const uint8_t* p) override { return DumpFileSummaryEntry(&d_, p); }
    Status EndFileSummary() override { return EndDumpFileSummary(&d_); }
    Status BeginDirectories() override { return StartDumpDirectories(&d_); }
    Status Directory(const DirectoryRecord& r) override { return DumpDirectory(&d_, &r); }
    Status SubdirEntry(const uint8_t* p) override { return DumpDirEntryDir(&d_, p); }
    Status FileEntry(const uint8_t* p) override { return DumpDirEntryFile(&d_, p); }
    Status EndDirectories() override { return EndDumpDirectories(&d_); }
    Status BeginFiles() override { return StartDumpFiles(&d_); }
    Status FileHeader(uint64_t size) override { return DumpFileHeader(&d_, size); }
    Status ContentPiece(const uint8_t* p, uint32_t n) override {
        return DumpFileContent(&d_, p, n);
    }
    Status EndFiles() override { return EndDumpFiles(&d_); }
    Status End() override { return Ended(EndDumpArchive(&d_)); }

    Status IHeader(const ArchiveHeader& h) override { return DumpIArchiveHeader(&d_, &h); }
    Status BeginIFiles() override { return StartDumpIFiles(&d_); }
    Status IDirectory(const IDirectoryRecord& r, const char* name) override {
        return DumpIDirectory(&d_, &r, name);
    }
    Status ISubdirEntry(const uint8_t* p) override { return DumpIDirEntryDir(&d_, p); }
    Status IFileEntry(const uint8_t* p) override { return DumpIDirEntryFile(&d_, p); }
    Status IContentPiece(const uint8_t* p, uint32_t n) override {
        return DumpIFileContent(&d_, p, n);
    }
    Status EndIFiles() override { return EndDumpIFiles(&d_); }
    Status IEnd() override { return Ended(EndDumpIArchive(&d_)); }

  private:
    // The dump's last step gives everything back, whatever it returns.
    Status Ended(Status s) {
        opened_ = false;
        return s;
    }
    bool incremental_;
    bool opened_ = false;
    DumpState d_;
};

class RestoreSink final : public SectionSink {
  public:
    Status Open(const char* name, uint32_t) override {
        opened_ = true;
        return ProcessIArchive(name, &t_);
    }
    void Abandon() override {
        if (opened_) EndOfIArchive(&t_);
        opened_ = false;
    }

    Status IHeader(const ArchiveHeader& h) override { return RealizeIArchiveHeader(&t_, &h); }
    Status BeginIFiles() override { return ProcessIFiles(&t_); }
    Status IDirectory(const IDirectoryRecord& r, const char* name) override {
        return RealizeIDirectory(&t_, &r, name);
    }
    Status ISubdirEntry(const uint8_t* p) override { return RealizeIDirEntryDir(&t_, p); }
    Status IFileEntry(const uint8_t* p) override { return RealizeIDirEntryFile(&t_, p); }
    Status IContentPiece(const uint8_t* p, uint32_t n) override {
        return RealizeIFileContent(&t_, p, n);
    }
    Status EndIFiles() override { return EndOfIFiles(&t_) == 0 ? 0 : 1; }
    Status IEnd() override {
        opened_ = false;
        return EndOfIArchive(&t_);
    }

  private:
    bool opened_ = false;
    IRestoreState t_;
};

} // namespace

// Section pumps ------------------------------------------------------------

namespace {

// Records where a pump stopped.
#define PUMP(step_, call, side_)                                                                   \
    do {                                                                                           \
        if ((call) != 0) {                                                                         \
            stop->step = step_;                                                                    \
            stop->side = side_;                                                                    \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)
#define SOURCE(step_, call) PUMP(step_, call, kPumpSource)
#define SINK(step_, call) PUMP(step_, call, kPumpSink)

// One file's content into the sink: from the reader, or blank pieces for a
// sink that shows only sizes (the reader then passed the content).
PumpFault PumpContent(IArchive* r, uint64_t size, bool data,
                      Status (SectionSink::*piece)(const uint8_t*, uint32_t), SectionSink* sink,
                      ProgressScope* progress) {
    auto take = [&](const uint8_t* p, uint32_t n) {
        if (progress) progress->Advance(n);
        return (sink->*piece)(p, n);
    };
    if (!data) return PumpPieces(size, BlankPiece, take);
    return PumpPieces(
        size, [r](uint32_t, const uint8_t** p, uint32_t* n) { return ReadFileContent(r, p, n); },
        take);
}

} // namespace

Status PumpFullSections(IArchive* r, const ArchiveHeader& h, SectionSink* s, uint8_t show,
                        PumpStop* stop) {
    bool steps = (show & kShowSteps) != 0;
    if (steps) Log("1. Copying boot sectors...\r\n");
    uint32_t size;
    SOURCE(kStepBootOpen, OpenBootSectors(r, &size));
    SINK(kStepBootOpen, s->BeginBootSectors(size));
    PumpFault fault = PumpPieces(
        size,
        [r](uint32_t, const uint8_t** p, uint32_t* n) { return ReadBootSectorsChunk(r, p, n); },
        [s](const uint8_t* p, uint32_t n) { return s->BootPiece(p, n); });
    PUMP(kStepBoot, fault, fault);
    SOURCE(kStepBootClose, CloseBootSectors(r));
    SINK(kStepBootClose, s->EndBootSectors());

    if (steps) Log("2. Copying summary informations...\r\n");
    const uint8_t* p;
    SOURCE(kStepDirSummaryOpen, OpenDirSummary(r));
    SINK(kStepDirSummaryOpen, s->BeginDirSummary());
    for (uint32_t i = 0; i < h.dirCount; ++i) {
        SOURCE(kStepDirSummary, ReadDirSummaryEntry(r, &p));
        SINK(kStepDirSummary, s->DirSummaryEntry(p));
    }
    SOURCE(kStepDirSummaryClose, CloseDirSummary(r));
    SINK(kStepDirSummaryClose, s->EndDirSummary());
    SOURCE(kStepFileSummaryOpen, OpenFileSummary(r));
    SINK(kStepFileSummaryOpen, s->BeginFileSummary());
    for (uint32_t i = 0; i < h.fileCount; ++i) {
        SOURCE(kStepFileSummary, ReadFileSummaryEntry(r, &p));
        SINK(kStepFileSummary, s->FileSummaryEntry(p));
    }
    SOURCE(kStepFileSummaryClose, CloseFileSummary(r));
    SINK(kStepFileSummaryClose, s->EndFileSummary());

    if (steps) Log("3. Copying directories : ");
    SOURCE(kStepDirsOpen, OpenDirectories(r));
    SINK(kStepDirsOpen, s->BeginDirectories());
    for (stop->dir = 0; stop->dir < h.dirCount; ++stop->dir) {
        DirectoryRecord record;
        SOURCE(kStepDir, ReadDirectory(r, &record));
        SINK(kStepDir, s->Directory(record));
        for (uint32_t i = 0; i < record.subdirs; ++i) {
            SOURCE(kStepSubdirEntry, ReadDirEntryDir(r, &p));
            SINK(kStepSubdirEntry, s->SubdirEntry(p));
        }
        for (uint32_t i = 0; i < record.files; ++i) {
            SOURCE(kStepFileEntry, ReadDirEntryFile(r, &p));
            SINK(kStepFileEntry, s->FileEntry(p));
        }
        if (steps) CountUpChanged(stop->dir + 1, h.dirCount);
    }
    SOURCE(kStepDirsClose, CloseDirectories(r));
    SINK(kStepDirsClose, s->EndDirectories());

    if (steps) Log("\r\n4. Copying files       : ");
    bool data = s->WantsContent();
    bool bar = (show & kShowProgress) != 0 && data;
    ProgressScope progress(bar ? h.sumOfSizes : 0, "Copying files");
    SOURCE(kStepFilesOpen, OpenFiles(r));
    SINK(kStepFilesOpen, s->BeginFiles());
    for (stop->file = 0; stop->file < h.fileCount; ++stop->file) {
        // A sink without contents gets their sizes; the reader passes them.
        uint64_t fileSize = 0;
        if (data) SOURCE(kStepFile, ReadFileHeader(r, &fileSize));
        if (!data) SOURCE(kStepFileSkip, ReadSkipFile(r, &fileSize));
        SINK(kStepFile, s->FileHeader(fileSize));
        fault = PumpContent(r, fileSize, data, &SectionSink::ContentPiece, s,
                            bar ? &progress : nullptr);
        PUMP(kStepContent, fault, fault);
        if (!data) continue;
        if (steps) CountUpChanged(stop->file + 1, h.fileCount);
        MonitorESC();
    }
    SOURCE(kStepFilesClose, CloseFiles(r));
    SINK(kStepFilesClose, s->EndFiles());
    if (steps) Log("\r\n");
    return 0;
}

Status PumpIncrSections(IArchive* r, const ArchiveHeader& h, SectionSink* s, uint8_t show,
                        PumpStop* stop) {
    SOURCE(kStepFilesOpen, OpenIFiles(r));
    SINK(kStepFilesOpen, s->BeginIFiles());
    if (show & kShowProcess) Log("Processing files : ");
    if (show & kShowSteps) Log("Copying files : ");
    bool trace = (show & kShowTrace) != 0;
    bool data = s->WantsContent();
    const uint8_t* p;
    stop->file = 0;
    for (stop->dir = 0; stop->dir < h.dirCount; ++stop->dir) {
        IDirectoryRecord record;
        const char* name;
        SOURCE(kStepDir, ReadIDirectory(r, &record, &name));
        SINK(kStepDir, s->IDirectory(record, name));
        for (uint32_t i = 0; i < record.subdirs; ++i) {
            SOURCE(kStepSubdirEntry, ReadIDirEntryDir(r, &p));
            if (trace) {
                Log("\r\nSUBDIR : ");
                Log(reinterpret_cast<const char*>(p + SubdirEntry::kSize + h.dirAttr));
            }
            SINK(kStepSubdirEntry, s->ISubdirEntry(p));
        }
        for (uint32_t i = 0; i < record.files; ++i) {
            SOURCE(kStepFileEntry, data ? ReadIDirEntryFile(r, &p) : ReadISkipFile(r, &p));
            if (trace) {
                Log("\r\nFILE : ");
                Log(reinterpret_cast<const char*>(p + kFileEntrySize + h.dirAttr));
            }
            const uint64_t size = FullSize(ld32(p), p + kFileEntrySize, h.dirAttr, r->sizeHighAt);
            SINK(kStepFile, s->IFileEntry(p));
            PumpFault fault = PumpContent(r, size, data, &SectionSink::IContentPiece, s, nullptr);
            PUMP(kStepContent, fault, fault);
            ++stop->file;
        }
        MonitorESC();
    }
    SOURCE(kStepFilesClose, CloseIFiles(r));
    SINK(kStepFilesClose, s->EndIFiles());
    return 0;
}

#undef SINK
#undef SOURCE
#undef PUMP

SectionSink* NewSectionSink(uint8_t type) {
    switch (type) {
    case kEndArchive: return new WriterSink(false);
    case kEndIArchive: return new WriterSink(true);
    case kEndDump: return new DumpSink(false);
    case kEndIDump: return new DumpSink(true);
    case kEndPath: return new RestoreSink();
    default: return nullptr;
    }
}

} // namespace vk
