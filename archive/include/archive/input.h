// The source adapter: one step sequence for the copy engine whatever the
// source, with one implementation per source type: a full archive, an
// incremental archive (read twice: its directories, then its files), a
// scanned file tree (archive/scan.h). The engine sees them alike.
//
// Calling order: InputArchive (which opens), InputFsInfos,
// InputBootSectors, InputBootSectorsChunk..., InputedBootSectors,
// InputDirectories, InputRootDirEntry, per directory InputDirectory and its
// InputDirEntryDir / InputDirEntryFile, InputedDirectories, InputFiles, per
// file InputFileHeader and InputFileContent... or InputSkipFile,
// InputedFiles, InputedArchive. Entries are handed out in their archive
// shape with the attribute size InputFsInfos gives: attributes at offset 16
// (subdirectory entries) or 4 (file entries), the name right after them.
// Every step returns 0 on success; the source gives back what it holds
// when it is destroyed, also after a failed step.
#pragma once

#include <cstdint>
#include <memory>

#include "disk/fsdriver.h"
#include "platform/types.h"

namespace vk {

class InputSource {
  public:
    virtual ~InputSource() = default;

    virtual Status InputFsInfos(char id[4], uint16_t* attrSize) = 0;
    // Sources without boot sectors give none.
    virtual Status InputBootSectors(uint32_t* size) {
        *size = 0;
        return 0;
    }
    virtual Status InputBootSectorsChunk(const uint8_t**, uint32_t*) { return 1; }
    virtual Status InputedBootSectors() { return 0; }
    virtual Status InputDirectories(uint32_t* count) = 0;
    virtual Status InputRootDirEntry(const uint8_t** ptr) = 0;
    // index: the directory's number in pre-order.
    virtual Status InputDirectory(uint16_t* pops, uint32_t* subdirs, uint32_t* files,
                                  uint32_t index) = 0;
    virtual Status InputDirEntryDir(const uint8_t** ptr) = 0;
    virtual Status InputDirEntryFile(const uint8_t** ptr) = 0;
    virtual Status InputedDirectories() = 0;
    virtual Status InputFiles(uint32_t* count) = 0;
    virtual Status InputSkipFile(uint64_t* size) = 0;
    virtual Status InputFileHeader(uint64_t* size) = 0;
    virtual Status InputFileContent(const uint8_t** ptr, uint32_t* len) = 0;
    virtual Status InputedFiles() = 0;
    virtual Status InputedArchive() = 0;

    // A scanned tree's driver (null for archives), and the files whose
    // content could not be read whole (they were copied as zeros).
    virtual const FsHandler* Handler() const { return nullptr; }
    virtual uint32_t Unreadable() const { return 0; }
};

// Opens the source of a type (kEndArchive, kEndIArchive, kEndScan) into
// *source; fails for any other type. After a failure *source may still
// hold what the opening took.
Status InputArchive(uint8_t type, const char* name, std::unique_ptr<InputSource>* source);

} // namespace vk
