// The copy engine: moves a file tree from one archive end to another (a
// scanned file-system path, a full or an incremental archive) to a full or
// incremental archive, a text dump or a path, passing directories and files
// through wildcard filters on the way.
//
// Three pieces: the source adapter (Input..., archive/input.h), one
// interface with a source per type over the archive reader and the tree scan;
// the destination adapter (Output..., archive/output.h); and the driver
// CopyAnyArchive with its two unfiltered shortcuts CopyArchive and
// CopyIArchive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/format.h"
#include "platform/fsentry.h"
#include "platform/types.h"

namespace vk {

// Archive ends: a type letter, for named ends followed by "|" and the name.
enum EndType : uint8_t {
    kEndNone = 0,
    kEndArchive = 1,  // A: full archive file
    kEndIArchive = 2, // a: incremental archive file
    kEndDump = 3,     // D: dump of a full archive
    kEndIDump = 4,    // d: dump of an incremental archive
    kEndScan = 5,     // P: a file-system path, scanned
    kEndPath = 6,     // p: a file-system path, realised
};
uint8_t ArchiveType(const char* value);
// The name of a named end (empty otherwise), cut to size - 1 characters.
void ArchiveName(const char* value, char* name, uint32_t size);

// Filters: exclusions, each with its exceptions; patterns are matched
// against paths relative to the source root, without a leading "/".
struct FilterRule {
    std::string exclusion;
    std::vector<std::string> exceptions;
};
using FilterSet = std::vector<FilterRule>;
bool PassFilter(const FilterSet& filters, const char* path, bool nocase);

// Largest directory depth the engine and the destination adapter hold.
constexpr uint32_t kCopyDepthMax = 64;
// Relative paths of the copy (what the filters see), with the NUL.
constexpr uint32_t kCopyPathMax = uint32_t(kPathMax);

struct CopyRequest {
    const char* source = "";      // SourceArchive's value
    const char* destination = ""; // DestArchive's value
    const FilterSet* filters = nullptr;
    uint32_t fragmentSize = kFragmentSizeDefault; // archive destinations
    uint16_t dumpFlags = 0;                       // dump destinations
};

// Copies; on failure returns non-zero with *message pointing at the
// engine's static message.
Status CopyAnyArchive(const CopyRequest& request, const char** message);
// The unfiltered shortcuts, section by section: a full archive to a full
// archive or its dump; an incremental archive to an incremental archive,
// its dump or a path. param: the fragment limit, or the dump flags.
Status CopyArchive(const char* src, uint8_t dstType, const char* dst, uint32_t param,
                   const char** message);
Status CopyIArchive(const char* src, uint8_t dstType, const char* dst, uint32_t param,
                    const char** message);

} // namespace vk
