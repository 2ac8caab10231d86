// The archive dump: a readable text description of a full or incremental
// archive on the console (and, while it runs, in the log). The steps are
// called in the order of the archive's sections; each returns 0. Counts
// announced by the header and the records are checked against what
// arrives, and disagreements print warnings instead of failing.
//
// Full archive:
//   StartDumpArchive, DumpArchiveHeader,
//   StartDumpBootSectors, DumpBootSectorsChunk..., EndDumpBootSectors,
//   StartDumpDirSummary, DumpDirSummaryEntry..., EndDumpDirSummary,
//   StartDumpFileSummary, DumpFileSummaryEntry..., EndDumpFileSummary,
//   StartDumpDirectories, per directory DumpDirectory, DumpDirEntryDir...,
//   DumpDirEntryFile..., EndDumpDirectories,
//   StartDumpFiles, per file DumpFileHeader, DumpFileContent...,
//   EndDumpFiles, EndDumpArchive.
// Incremental archive:
//   StartDumpIArchive, DumpIArchiveHeader, StartDumpIFiles, per directory
//   DumpIDirectory, DumpIDirEntryDir..., per file DumpIDirEntryFile,
//   DumpIFileContent...; EndDumpIFiles, EndDumpIArchive.
// Entries are passed as the reader hands them out (fixed part, attribute
// bytes, NUL-terminated name).
#pragma once

#include <cstdint>
#include <vector>

#include "archive/format.h"
#include "platform/fsentry.h"
#include "platform/types.h"

namespace vk {

// What DumpWhat() selects.
constexpr uint16_t kDumpHeader = 0x01;
constexpr uint16_t kDumpBootSize = 0x02;
constexpr uint16_t kDumpBootData = 0x04;
constexpr uint16_t kDumpDirSummary = 0x08;
constexpr uint16_t kDumpFileSummary = 0x10;
constexpr uint16_t kDumpDirectories = 0x20;
constexpr uint16_t kDumpEntries = 0x40;
constexpr uint16_t kDumpFileHeaders = 0x80;
constexpr uint16_t kDumpFileData = 0x100;

struct FsHandler;

// Largest boot area kept for a driver that describes it.
constexpr uint32_t kDumpBootKeptMax = 65535u * 512u;
constexpr uint32_t kDumpPathMax =
    uint32_t(kPathMax);                // path text of the directory dump, with its NUL
constexpr uint32_t kDumpDepthMax = 64; // directory numbers kept, one per depth

struct DumpState {
    uint16_t flags = 0;
    bool logging = false; // Logging raised by the start of the dump
    ArchiveHeader header;
    uint32_t pending = 0;   // boot bytes, directory entries or file bytes announced
    bool fileOpen = false;  // a file's data is announced
    bool listing = false;   // a hexadecimal listing is running
    uint32_t summaries = 0; // summary entries seen
    uint32_t dirs = 0;      // directory records seen
    uint32_t files = 0;     // files seen
    // Path of the current directory: numbers (full) or names (incremental).
    // Components beyond kDumpDepthMax or past the text's end are counted but
    // not shown.
    char path[kDumpPathMax] = {};
    uint32_t depth = 0;                         // components of the path
    uint16_t pathEnd[kDumpDepthMax + 1] = {};   // text length after each depth
    uint32_t nextChild[kDumpDepthMax + 1] = {}; // full dump: next child number per depth
    // Hexadecimal listing.
    char ascii[17] = {};
    uint32_t offset = 0;
    // The archive's driver when it describes its records itself, and the
    // boot area kept for it (at most kDumpBootKeptMax bytes).
    const FsHandler* describer = nullptr;
    std::vector<uint8_t> boot;
};

// Reads DumpFormat; an empty value means "hbD", unknown letters are ignored.
uint16_t DumpWhat();
uint16_t DumpWhatOf(const char* format);

Status StartDumpArchive(uint16_t flags, DumpState* st);
Status DumpArchiveHeader(DumpState* st, const ArchiveHeader* header);
Status StartDumpBootSectors(DumpState* st, uint32_t size);
Status DumpBootSectorsChunk(DumpState* st, const uint8_t* data, uint32_t n);
Status EndDumpBootSectors(DumpState* st);
Status StartDumpDirSummary(DumpState* st);
Status DumpDirSummaryEntry(DumpState* st, const uint8_t* entry);
Status EndDumpDirSummary(DumpState* st);
Status StartDumpFileSummary(DumpState* st);
Status DumpFileSummaryEntry(DumpState* st, const uint8_t* entry);
Status EndDumpFileSummary(DumpState* st);
Status StartDumpDirectories(DumpState* st);
Status DumpDirectory(DumpState* st, const DirectoryRecord* record);
Status DumpDirEntryDir(DumpState* st, const uint8_t* entry);
Status DumpDirEntryFile(DumpState* st, const uint8_t* entry);
Status EndDumpDirectories(DumpState* st);
Status StartDumpFiles(DumpState* st);
Status DumpFileHeader(DumpState* st, uint32_t size);
Status DumpFileContent(DumpState* st, const uint8_t* data, uint32_t n);
Status EndDumpFiles(DumpState* st);
Status EndDumpArchive(DumpState* st);

Status StartDumpIArchive(uint16_t flags, DumpState* st);
Status DumpIArchiveHeader(DumpState* st, const ArchiveHeader* header);
Status StartDumpIFiles(DumpState* st);
Status DumpIDirectory(DumpState* st, const IDirectoryRecord* record, const char* name);
Status DumpIDirEntryDir(DumpState* st, const uint8_t* entry);
Status DumpIDirEntryFile(DumpState* st, const uint8_t* entry);
Status DumpIFileContent(DumpState* st, const uint8_t* data, uint32_t n);
Status EndDumpIFiles(DumpState* st);
Status EndDumpIArchive(DumpState* st);

// Lowers Logging when a dump ends before its last step (a failed copy).
void AbandonDump(DumpState* st);

// Hexadecimal listing of one boot area or file, offsets from 0.
void StartDumpChunk(DumpState* st);
void DumpChunk(DumpState* st, const uint8_t* data, uint32_t n);
void EndDumpChunk(DumpState* st);

} // namespace vk
