// The archive check: reads a whole full or incremental archive, every
// fragment with its header, length and CRC, then every section, record,
// chunk and count through the reader, without writing anything. The first
// problem found is described with the fragment file and the byte offset in
// that file where it lies.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace vk {

constexpr uint32_t kCheckProblemMax = 640;

struct ArchiveCheck {
    bool incremental = false;
    uint32_t dirs = 0;      // directories (incremental: directory records)
    uint32_t files = 0;     // files stored
    uint64_t bytes = 0;     // sum of their sizes
    uint32_t fragments = 0; // fragment files
    char problem[kCheckProblemMax] = {};
};

// 0 when the archive is sound; otherwise non-zero with result->problem set.
Status CheckArchive(const char* name, ArchiveCheck* result);

// Before a restore writes anything: every fragment's header, length, order
// and CRC. Fragments in the remote-file cache were checked when they entered
// it and are only opened; an archive read remotely without the cache is not
// read twice (a warning says that its damage is found only as it is read).
// Logs the first problem and fails.
Status CheckBeforeRestore(const char* name);

} // namespace vk
