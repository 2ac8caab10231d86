// The archive reader behind the drivers' full-archive source table.
#include "archive/reader_source.h"

#include "archive/reader.h"
#include "archive/source.h"

namespace vk {

namespace {

constexpr FullArchiveSource kReaderSource = {
    ReadArchiveHeader,    OpenBootSectors,     ReadBootSectorsChunk, CloseBootSectors,
    OpenDirSummary,       ReadDirSummaryEntry, CloseDirSummary,      OpenFileSummary,
    ReadFileSummaryEntry, CloseFileSummary,    OpenDirectories,      ReadDirectory,
    ReadDirEntryDir,      ReadDirEntryFile,    CloseDirectories,     OpenFiles,
    ReadFileHeader,       ReadFileContent,     CloseFiles,
};

} // namespace

void RegisterFullArchiveReader() {
    SetFullArchiveSource(&kReaderSource);
}

} // namespace vk
