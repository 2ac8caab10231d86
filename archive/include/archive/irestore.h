// The incremental restore: applies an incremental archive to an existing
// directory tree. Every listed directory is entered (or created by its
// parent's subdirectory entry), every file is created or rewritten with the
// stored content and, when the archive's file system matches the target's,
// its attributes. Nothing is deleted and nothing is rolled back. Where the
// attributes apply, the restored-file hook also gives every directory below
// the target, once its own entries are complete, the times it had when the
// restore entered it: the stored ones for a directory the archive created.
//
// Calling order (the incrunzip command and the copy engine's path
// destination follow it):
//   ProcessIArchive, RealizeIArchiveHeader, ProcessIFiles,
//   per directory record RealizeIDirectory, RealizeIDirEntryDir x S,
//   per file RealizeIDirEntryFile and RealizeIFileContent until its size
//   is used up; EndOfIFiles, EndOfIArchive.
// Entries are passed as the reader hands them out: fixed part, DA attribute
// bytes, NUL-terminated name.
#pragma once

#include <cstdint>

#include "archive/format.h"
#include "archive/makeio.h"
#include "disk/dirref.h"
#include "platform/types.h"

namespace vk {

// The stack holds the target and the levels below it.
constexpr uint32_t kIRestoreDepth = 64;

struct IRestoreState {
    FsDirRef* stack = nullptr; // kIRestoreDepth handles, stack[0] the target
    uint32_t depth = 0;        // levels entered below the target
    ArchiveHeader header;      // DA places the names inside entries
    bool applyAttributes = false;
    FsState* volumeNamesOf = nullptr; // the target, while it takes the archive's names as stored
    MakeIOFile file;                  // the one open output file
    uint32_t expected = 0;            // content bytes still expected for it
    uint8_t attrs[kAttrMax] = {};     // the open file's attributes, applied again at its end
    char name[128] = {};              // the last file begun, for messages (cut to fit)
};

// Allocates the stack and resolves target into its first handle; fails
// when the path does not name a directory.
Status ProcessIArchive(const char* target, IRestoreState* st);
// Keeps the header; attributes are applied only when the target driver's
// identifier and attribute size equal the header's identifier and DA. Then
// a driver with names of its own (kFsVolumeNames) takes the archive's names
// as its volumes store them until EndOfIArchive.
Status RealizeIArchiveHeader(IRestoreState* st, const ArchiveHeader* header);
// A file entry's whole size: its u32 and the high half its attributes
// carry for the header's driver.
uint64_t IncrFileSize(const IRestoreState* st, const uint8_t* entry);
Status ProcessIFiles(IRestoreState* st);
// Moves to the listed directory (an empty name is the target itself).
Status RealizeIDirectory(IRestoreState* st, const IDirectoryRecord* record, const char* name);
// Makes sure the subdirectory of a SubdirEntry exists.
Status RealizeIDirEntryDir(IRestoreState* st, const uint8_t* entry);
// Creates or truncates the file of a FileEntry; a file of size 0 is
// finished at once.
Status RealizeIDirEntryFile(IRestoreState* st, const uint8_t* entry);
// Writes one content piece of the open file; fails when it exceeds what
// is still expected. The file is closed after its last byte.
Status RealizeIFileContent(IRestoreState* st, const uint8_t* data, uint32_t n);
// Content bytes still expected for the open file (0: complete).
uint32_t EndOfIFiles(IRestoreState* st);
// Closes a file left open by a failed run (and then fails) and frees the
// stack; safe to call in any state, also after a failed ProcessIArchive.
Status EndOfIArchive(IRestoreState* st);

} // namespace vk
