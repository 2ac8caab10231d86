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
    virtual Status FileHeader(uint32_t) { return 1; }
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

// The sink for a destination type (kEndArchive, kEndIArchive, kEndDump,
// kEndIDump, kEndPath), null for any other.
SectionSink* NewSectionSink(uint8_t type);

} // namespace vk
