// The file-system driver interface: one static operation table per partition
// kind (FsHandler) and the per-partition state record (FsState). Every
// operation receives the state of the partition it works on; callers keep
// that state beside their handles (an open file, a directory being walked)
// and reach the driver through its table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "platform/fsentry.h"
#include "platform/types.h"

namespace vk {

struct FsState;
struct FsDirHandle;  // opaque, owned by the driver
struct FsFileHandle; // opaque, owned by the driver
struct IArchive;     // open archive of the archive reader

// Flag bits of FsHandler::flags.
constexpr uint8_t kFsAttrWithSummaries = 1; // SA: attributes in dir/file summaries
constexpr uint8_t kFsAttrWithEntries = 2;   // DA: attributes with the directory entries
constexpr uint8_t kFsCaseInsensitive = 4;   // names compare case-insensitively
// CreateFile and CreateDir make only names that are free and return
// kFsExists for one that stands already; a directory handle stays usable
// while entries are made in it, so callers may keep it open.
constexpr uint8_t kFsExclusiveCreate = 8;
// The names the volume stores are not those scripts see (FsState::
// volumeNames): an incremental archive of the driver's own kind, which
// carries the volume's names, is applied with them, and they are found as
// they are spelled.
constexpr uint8_t kFsVolumeNames = 16;
constexpr Status kFsExists = 2;
// InitFsSpecific's answer for a volume of the driver's own kind that it
// refuses all the same (after logging why): the partition stays with that
// driver, so that a clean formats it in its kind, but is not valid.
constexpr Status kFsOwnRefused = 3;
// GetFileInfo's answer for a file of 4 GB or more from a driver whose
// packed attributes have no place for the size's high half: the archive's
// 32-bit sizes cannot carry it, and archiving it would cut it.
constexpr Status kFsTooLarge = 4;

struct FsHandler {
    char id[4];        // "BREC", "FATx", "EXT2", "CACH", "SWAP" (no terminator)
    uint16_t attrSize; // size of the packed attributes
    uint8_t flags;
    // Where the packed attributes carry the high half of a file's size (a
    // u32 at this offset; 0: nowhere). The archive's records hold the low
    // half, so such a driver's files may be 4 GB and more.
    uint8_t sizeHighAt;
    // Operation slots in table order; a null slot means "not supported".
    // Each one works on the partition whose state it is given.
    uint16_t (*GetNumBootSectors)(FsState& s, FsEntry* entry);
    Status (*ReadBootSectors)(FsState& s, FsEntry* entry, uint16_t first, uint16_t count,
                              uint8_t* buffer);
    // Examines the partition and loads the driver's view of it: 0 when it
    // holds a valid file system of this kind.
    Status (*InitFsSpecific)(FsState& s);
    Status (*FlushFsSpecific)(FsState& s);
    Status (*OpenDir)(FsState& s, FsEntry* entry, FsDirHandle** dir);
    Status (*NextDirEntry)(FsState& s, FsDirHandle* dir, FsEntry* entry);
    Status (*GetFileInfo)(FsState& s, FsEntry* entry);
    uint32_t (*AddEntrySize)(uint32_t size, FsEntry* entry, uint16_t blockSize);
    Status (*CreateFile)(FsState& s, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                         FsEntry* entry);
    Status (*CreateDir)(FsState& s, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                        FsEntry* entry);
    Status (*CloseDir)(FsState& s, FsDirHandle* dir);
    Status (*RemoveFile)(FsState& s, FsEntry* entry);
    Status (*RemoveDir)(FsState& s, FsEntry* entry);
    Status (*OpenFile)(FsState& s, FsEntry* entry, uint64_t* size, FsFileHandle** file);
    Status (*RewriteFile)(FsState& s, FsEntry* entry, uint32_t newSize, FsFileHandle** file);
    uint16_t (*ReadFileChunk)(FsState& s, FsFileHandle* file, uint8_t* buffer);
    uint16_t (*WriteFileChunk)(FsState& s, FsFileHandle* file, const uint8_t* buffer,
                               uint16_t length);
    Status (*CloseFile)(FsState& s, FsFileHandle* file);
    Status (*AdjustFileSize)(FsState& s, FsFileHandle* file, FsEntry* entry, uint32_t newSize);
    Status (*Clean)(FsState& s, const char* label);
    Status (*FullUnzip)(FsState& s, IArchive* archive);
    // The host descriptor an open regular file is read through, for
    // positional reads (pread) from another thread while the file stays
    // open; -1 (or a null slot) when the driver has none.
    int (*FileDescriptor)(FsFileHandle* file);
    // One-time start-up of the driver at program start (buffers it shares
    // between partitions); optional.
    void (*InitDriver)();
    // Archive dumps, optional: the driver's packed attributes as text (at
    // most `capacity` bytes with the NUL), and its boot area as lines
    // handed to `line`, when the driver has more to say than hex.
    void (*DescribeAttributes)(const uint8_t* attributes, char* out, size_t capacity);
    void (*DescribeBootArea)(const uint8_t* area, size_t size, void (*line)(const char* text));
};

// A driver as it registers with the partition layer: its table and the
// partition type bytes (0xFF: the cache partition) it serves. An
// alternative driver does not take the types over: it is asked, in the
// order of registration, about partitions that the types' own driver
// refuses, and serves those it accepts or calls its own (kFsOwnRefused).
struct FsDriver {
    const FsHandler* handler;
    std::span<const uint8_t> types;
    bool alternative = false;
};

// ReadBootSectors of a boot area a driver holds in memory: `count`
// sectors of 512 bytes from `first`; -1 when they do not lie inside it.
inline Status CopyHeldSectors(std::span<const uint8_t> area, uint16_t first, uint16_t count,
                              uint8_t* buffer) {
    const size_t from = size_t(first) * 512, bytes = size_t(count) * 512;
    if (from > area.size() || bytes > area.size() - from) return -1;
    std::memcpy(buffer, area.data() + from, bytes);
    return 0;
}

// Largest chunk a driver hands out or takes per call.
constexpr uint16_t kChunkMax = 32768;

enum FsStateUse : uint8_t { kStateClean = 0, kStateModified = 1, kStateFree = 2 };

// Geometry of the disk a partition lies on: highest cylinder and head
// numbers and sectors per track, as the BIOS counts them.
struct FsGeometry {
    uint16_t lastCylinder = 0;
    uint8_t lastHead = 0;
    uint8_t sectors = 0; // sectors per track
    uint32_t heads() const { return uint32_t(lastHead) + 1; }
    uint32_t cylinders() const { return uint32_t(lastCylinder) + 1; }
    uint32_t sectorsPerCylinder() const { return heads() * sectors; }
};

// Bytes private to the partition's driver (FAT and ext2 layouts need 36).
constexpr size_t kDriverAreaSize = 64;

// Private state of any shape that a driver keeps for one partition (a
// library's volume handle, a cache): made by the driver, typically in its
// InitFsSpecific, and destroyed with the state record when the partition
// is selected afresh.
struct FsDriverData {
    virtual ~FsDriverData() = default;
};

struct FsState {
    uint8_t state = kStateFree;
    uint8_t fda = 0;      // hard disk while the FDA variable is on; no driver reads it
    uint8_t disk = 0;     // 0x80 and up for hard disks
    int8_t partition = 0; // 0 whole disk, 1-4 primary, 5+ logical, -1 cache partition
    uint8_t type = 0;     // partition type byte
    const char* typeName = "";
    const FsHandler* handler = nullptr; // null when the type has no driver
    uint8_t valid = 0;                  // the driver's InitFsSpecific accepted the partition
    FsGeometry geometry{};
    // Absolute first sector of the extended partition whose table holds this
    // partition's entry (0 for the master boot record's entries); for an
    // extended partition itself, its own start.
    uint32_t extendedBase = 0;
    // Absolute first sector of the outermost extended partition (0 while on
    // the master boot record); link entries of logical tables count from it.
    uint32_t outerBase = 0;
    // Sector numbers are 64-bit: partitions of a GUID partition table lie
    // anywhere on disks beyond 2 TiB. Drivers that count in 32 bits refuse
    // a volume they cannot address.
    uint64_t start = 0;         // absolute first sector of the partition
    uint64_t sizeSectors = 0;   // size in sectors
    uint16_t startCylinder = 0; // start location as unpacked from the entry
    uint16_t startSectHead = 1; // sector in the low byte, head in the high byte
    uint64_t position = 0;      // sector position relative to the partition start
    // Set by the archive scan while it walks the partition: names are
    // handed out (and taken) as the volume stores them (UTF-8 of what is on
    // disk) rather than in the code page scripts see, and a driver may list
    // more of a file than scripts see (its named streams). A driver's full
    // restore takes the archive's names itself.
    bool volumeNames = false;
    alignas(8) uint8_t driverArea[kDriverAreaSize]{};
    std::unique_ptr<FsDriverData> driverData{};
};

} // namespace vk
