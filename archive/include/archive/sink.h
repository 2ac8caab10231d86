// The destinations of the copy engine as sinks: one operation per section
// step, whatever stands behind it (the writer, the dump, the restore to a
// path). The pumps (archive/copy.cpp, the destination adapter) read their
// source, check lengths and counts, and call these in the archive's order;
// a step a destination does not have fails.
//
// Full archives: Header, BeginBootSectors, BootPiece..., EndBootSectors,
// BeginDirSummary, DirSummaryEntry..., EndDirSummary, the same for the
// file summary, BeginDirectories, per directory Directory with its
// SubdirEntry... and FileEntry..., EndDirectories, BeginFiles, per file
// FileHeader and ContentPiece..., EndFiles, End.
// Incremental archives: IHeader, BeginIFiles, per directory IDirectory with
// its ISubdirEntry... and per file IFileEntry and IContentPiece...,
// EndIFiles, IEnd.
#pragma once

#include <cstdint>

#include "archive/format.h"
#include "archive/pump.h"
#include "platform/types.h"

namespace vk {

class SectionSink {
  public:
    virtual ~SectionSink() = default;

    // Creates the destination (`param`: the fragment size of an archive,
    // the flags of a dump).
    virtual Status Open(const char* name, uint32_t param) = 0;
    // Whether content pieces carry their bytes (a dump may show only sizes:
    // its pieces then come without data and the source passes them).
    virtual bool WantsContent() const { return true; }
    // Gives back what an unfinished destination holds; nothing after End.
    virtual void Abandon() = 0;

    virtual Status Header(const ArchiveHeader&) { return 1; }
    virtual Status BeginBootSectors(uint32_t) { return 1; }
    virtual Status BootPiece(const uint8_t*, uint32_t) { return 1; }
    virtual Status EndBootSectors() { return 1; }
    virtual Status BeginDirSummary() { return 1; }
    virtual Status DirSummaryEntry(const uint8_t*) { return 1; }
    virtual Status EndDirSummary() { return 1; }
    virtual Status BeginFileSummary() { return 1; }
    virtual Status FileSummaryEntry(const uint8_t*) { return 1; }
    virtual Status EndFileSummary() { return 1; }
    virtual Status BeginDirectories() { return 1; }
    virtual Status Directory(const DirectoryRecord&) { return 1; }
    virtual Status SubdirEntry(const uint8_t*) { return 1; }
    virtual Status FileEntry(const uint8_t*) { return 1; }
    virtual Status EndDirectories() { return 1; }
    virtual Status BeginFiles() { return 1; }
    virtual Status FileHeader(uint64_t) { return 1; }
    virtual Status ContentPiece(const uint8_t*, uint32_t) { return 1; }
    virtual Status EndFiles() { return 1; }
    virtual Status End() { return 1; }

    virtual Status IHeader(const ArchiveHeader&) { return 1; }
    virtual Status BeginIFiles() { return 1; }
    virtual Status IDirectory(const IDirectoryRecord&, const char*) { return 1; }
    virtual Status ISubdirEntry(const uint8_t*) { return 1; }
    virtual Status IFileEntry(const uint8_t*) { return 1; }
    virtual Status IContentPiece(const uint8_t*, uint32_t) { return 1; }
    virtual Status EndIFiles() { return 1; }
    virtual Status IEnd() { return 1; }
};

// Where a section pump stopped: the step, the side that failed, and the
// directory (record) and file numbers it had reached.
enum PumpStep : uint8_t {
    kStepBootOpen,
    kStepBoot,
    kStepBootClose,
    kStepDirSummaryOpen,
    kStepDirSummary,
    kStepDirSummaryClose,
    kStepFileSummaryOpen,
    kStepFileSummary,
    kStepFileSummaryClose,
    kStepDirsOpen,
    kStepDir,
    kStepSubdirEntry,
    kStepFileEntry,
    kStepDirsClose,
    kStepFilesOpen,
    kStepFile,
    kStepFileSkip,
    kStepContent,
    kStepFilesClose,
};

struct PumpStop {
    PumpStep step = kStepBootOpen;
    PumpFault side = kPumpDone;
    uint32_t dir = 0;
    uint32_t file = 0;
};

// What a pump shows while it runs.
enum PumpShow : uint8_t {
    kShowNothing = 0,
    kShowSteps = 1,    // the numbered steps, counters and the progress line
    kShowTrace = 2,    // incremental: the trace of entries
    kShowProcess = 4,  // incremental: "Processing files : "
    kShowProgress = 8, // full: the progress line of the files
};

struct IArchive;

// The full reader's sections, from the boot sectors to the end of the
// files, into the sink (the header is read and given by the caller).
Status PumpFullSections(IArchive* r, const ArchiveHeader& h, SectionSink* sink, uint8_t show,
                        PumpStop* stop);
// The incremental reader's directory records and files, from the files
// section's start to its end.
Status PumpIncrSections(IArchive* r, const ArchiveHeader& h, SectionSink* sink, uint8_t show,
                        PumpStop* stop);

// The sink for a destination type (kEndArchive, kEndIArchive, kEndDump,
// kEndIDump, kEndPath), null for any other.
SectionSink* NewSectionSink(uint8_t type);

} // namespace vk
