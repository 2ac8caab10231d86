// The reader's full-archive operations as a table, for the file-system
// drivers: they lie below the archive library and must not link it, yet
// their full restore reads the archive it hands them. The archive library
// fills the table and the programs register it at start-up
// (RegisterFullArchiveReader, archive/reader_source.h); drivers call
// through GetFullArchiveSource(). Each slot is the reader function of the
// same name (archive/reader.h) with its contract.
#pragma once

#include <cstdint>

#include "archive/format.h"
#include "platform/types.h"

namespace vk {

struct IArchive;

struct FullArchiveSource {
    Status (*ReadArchiveHeader)(IArchive* r, const ArchiveHeader** header);
    Status (*OpenBootSectors)(IArchive* r, uint32_t* size);
    Status (*ReadBootSectorsChunk)(IArchive* r, const uint8_t** ptr, uint32_t* len);
    Status (*CloseBootSectors)(IArchive* r);
    Status (*OpenDirSummary)(IArchive* r);
    Status (*ReadDirSummaryEntry)(IArchive* r, const uint8_t** ptr);
    Status (*CloseDirSummary)(IArchive* r);
    Status (*OpenFileSummary)(IArchive* r);
    Status (*ReadFileSummaryEntry)(IArchive* r, const uint8_t** ptr);
    Status (*CloseFileSummary)(IArchive* r);
    Status (*OpenDirectories)(IArchive* r);
    Status (*ReadDirectory)(IArchive* r, DirectoryRecord* record);
    Status (*ReadDirEntryDir)(IArchive* r, const uint8_t** ptr);
    Status (*ReadDirEntryFile)(IArchive* r, const uint8_t** ptr);
    Status (*CloseDirectories)(IArchive* r);
    Status (*OpenFiles)(IArchive* r);
    Status (*ReadFileHeader)(IArchive* r, uint32_t* size);
    Status (*ReadFileContent)(IArchive* r, const uint8_t** ptr, uint32_t* len);
    Status (*CloseFiles)(IArchive* r);
};

// Null unregisters; a restore without a registered source fails.
void SetFullArchiveSource(const FullArchiveSource* source);
const FullArchiveSource* GetFullArchiveSource();

} // namespace vk
