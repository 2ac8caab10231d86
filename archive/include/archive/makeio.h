// Directory-level adapters over the file-system driver operations: resolve
// a directory, look into it, create subdirectories and write files through
// a staging buffer. The incremental restore realises archives with them.
#pragma once

#include <cstdint>

#include "disk/dirref.h"
#include "disk/fsdriver.h"
#include "platform/types.h"

namespace vk {

constexpr uint32_t kStagingSize = 65536;  // staging buffer of an output file
constexpr uint32_t kStagingFlush = 32768; // staged bytes that start a driver write

// One output file: the driver's handle on the directory's partition and the
// staging buffer (allocated while the file is open).
struct MakeIOFile {
    FsState* state = nullptr;
    FsFileHandle* handle = nullptr;
    FsEntry entry{};
    uint8_t* staging = nullptr; // kStagingSize bytes
    uint32_t written = 0;       // staged bytes already taken by the driver
    uint32_t filled = 0;        // bytes staged
    bool open() const { return handle != nullptr; }
};

// Resolves path (a partition prefix and a directory path, or a host path)
// into a directory handle; fails unless it names a directory.
Status MakeIOGetDir(const char* path, FsDirRef* dir);
// The driver's identifier (4 characters) and attribute size.
Status MakeIOGetFsInfos(const FsDirRef* dir, char id[4], uint16_t* attrSize);
// Finds name in dir and fills child; fails unless it is a directory.
Status MakeIOChDir(FsDirRef* dir, const char* name, FsDirRef* child);
// Makes sure dir holds a subdirectory name: an existing directory is
// accepted, an existing non-directory fails. attrs may be null.
Status MakeIOMkDir(FsDirRef* dir, const char* name, const uint8_t* attrs);
// Creates (or opens an existing regular file) and rewrites it for size
// bytes; allocates the staging buffer. attrs may be null.
Status MakeIORewriteFile(FsDirRef* dir, const char* name, const uint8_t* attrs, uint32_t size,
                         MakeIOFile* file);
// Stages n bytes, handing the driver at least kStagingFlush bytes per call.
Status MakeIOWriteFile(MakeIOFile* file, const uint8_t* data, uint32_t n);
// Writes what is staged, frees the buffer and closes the file (also after a
// failure, which it reports).
Status MakeIODoneFile(MakeIOFile* file);

// Closes the directory handle kept open between calls for drivers whose
// handles may stay open while entries are made (the end of a restore).
void MakeIOReleaseDir();

// Drivers that stamp the current time on the files they touch (FAT) read
// a switch that the restore clears around file creation, rewrite and close;
// the program registers it. Null: no such switch.
void SetTouchFilesSwitch(uint8_t* touchFiles);

// Called after a restored file is closed, with the attributes stored for it
// (null when attributes are not applied), so that a driver whose writes
// change the stored times can put them back; and, with timesOnly, for a
// directory whose entries are complete, with the attributes it had when it
// was entered (only its times are to be put back). The program registers it.
using RestoredFileHook = void (*)(FsState* state, FsEntry* entry, const uint8_t* attrs,
                                  bool timesOnly);
void SetRestoredFileHook(RestoredFileHook hook);

} // namespace vk
