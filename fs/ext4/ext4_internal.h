// Internals shared by the ext4 driver's files: the open volume kept with
// the partition's state, the channel that carries libext2fs's block
// transfers to the partition's sectors, and the table operations.
#pragma once

#include <ext2fs/ext2fs.h>

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "disk/fsdriver.h"
#include "platform/types.h"

namespace vk {

// The volume libext2fs has open on one partition, held in its
// FsState::driverData. Dropping it forgets what was not flushed: the
// partition layer flushes modified states before it lets them go.
struct Ext4Volume : FsDriverData {
    ext2_filsys fs = nullptr;
    bool bitmapsLoaded = false;
    // The boot area an archive is made of, built at its first request.
    std::vector<uint8_t> bootArea;
    ~Ext4Volume() override;
};

// The open volume of a partition this driver accepted, or null.
ext2_filsys VolumeOf(FsState& part);
// The volume, with its allocation bitmaps loaded and the partition marked
// modified, for an operation that changes it; null after logging why.
ext2_filsys WritableVolume(FsState& part);

// ---- The partition channel ------------------------------------------------
// libext2fs reaches the disk only through this manager: every block
// transfer becomes a sector transfer of the partition (ReadSects and
// WriteSects, so images, offsets and the write switch stay the disk
// layer's), bounded by the partition's size.
io_manager PartitionIoManager();
// The partition the next channel opened by the manager works on; a
// channel is opened by ext2fs_open2 and ext2fs_initialize, right after.
void BindNextChannel(FsState& part);
// The name libext2fs gives the channel (any: the bound partition counts).
constexpr const char* kChannelName = "partition";

// One-time start-up: the library's error messages.
void InitExt4Driver();
// Logs "EXT4 ERROR: <what>: <library's message>".
void LogExt4Error(const char* what, errcode_t error);

// ---- Packed attributes (the 86-byte layout shared with ext2 and host
// directories) ----------------------------------------------------------------
void PackInodeAttr(uint8_t* attributes, const ext2_inode& inode);
// Mode, owner, times and portable flags from packed attributes; a short
// symbolic link's target and a device number too.
void UnPackInodeAttr(ext2_inode& inode, const uint8_t* attributes);
// The fields behind the shared layout (fs/ext4/records.h): owner and
// group high halves, nanoseconds and creation time, the inode's number
// and link count in its volume, the bytes allocated to it. Unpacking sets
// the owner halves and the times the inode's extra part holds.
void PackInodeExtra(uint8_t* attributes, const ext2_inode_large& inode, uint32_t number,
                    uint64_t allocatedBytes);
void UnPackInodeExtra(ext2_inode_large& inode, const uint8_t* attributes);
// Inode flags that mean the same on any volume; layout flags (extents,
// inline data, hashed indexes) are never taken from attributes.
constexpr uint32_t kPortableInodeFlags = 0x0003C0FB;
// Mode of a new file and a new directory: 0755.
constexpr uint16_t kExt4NewFileMode = 0x81ED;
constexpr uint16_t kExt4NewDirMode = 0x41ED;
// Longest symbolic-link target kept in the inode itself.
constexpr uint32_t kExt4FastLinkMax = 59;

// Names as the volume stores them (ISO-8859-1) from the PC code page.
std::string Ext4NameToDisk(const char* name);
// The directory record type of an inode mode.
int Ext4FileType(uint16_t mode);
// Adds a record for inode to the directory, growing it by a block when
// it is full.
errcode_t Ext4AddRecord(ext2_filsys fs, ext2_ino_t dir, const std::string& name, ext2_ino_t inode,
                        int type);

// Adds records to directories that one writer fills from start to end (a
// full restore), one directory after the other: the last block of the
// directory being filled stays in memory until the writer moves on to
// another directory or flushes. A name given twice for one directory is
// refused (EXT2_ET_DIR_EXISTS).
class Ext4DirAppender {
  public:
    explicit Ext4DirAppender(ext2_filsys fs);
    errcode_t Add(ext2_ino_t dir, const std::string& name, ext2_ino_t inode, int type);
    // Writes the block held in memory.
    errcode_t Flush();

  private:
    errcode_t Load(ext2_ino_t dir);
    bool Place(const std::string& name, ext2_ino_t inode, int type);

    ext2_filsys fs_;
    ext2_ino_t dir_ = 0;
    blk64_t physical_ = 0;
    bool indexed_ = false, dirty_ = false;
    std::vector<char> block_;
    std::unordered_set<std::string> names_;
};

// ---- Table operations -------------------------------------------------------
Status Ext4InitFsSpecific(FsState& part);
Status Ext4FlushFsSpecific(FsState& part);
Status Ext4Clean(FsState& part, const char* label);
Status Ext4OpenDir(FsState& part, FsEntry* entry, FsDirHandle** dir);
Status Ext4NextDirEntry(FsState& part, FsDirHandle* dir, FsEntry* entry);
Status Ext4GetFileInfo(FsState& part, FsEntry* entry);
Status Ext4CreateFile(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                      FsEntry* entry);
Status Ext4CreateDir(FsState& part, FsDirHandle* dir, const char* name, const uint8_t* attributes,
                     FsEntry* entry);
Status Ext4CloseDir(FsState& part, FsDirHandle* dir);
Status Ext4RemoveFile(FsState& part, FsEntry* entry);
Status Ext4OpenFile(FsState& part, FsEntry* entry, uint64_t* size, FsFileHandle** file);
Status Ext4RewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file);
uint16_t Ext4ReadFileChunk(FsState& part, FsFileHandle* file, uint8_t* buffer);
uint16_t Ext4WriteFileChunk(FsState& part, FsFileHandle* file, const uint8_t* buffer,
                            uint16_t length);
Status Ext4CloseFile(FsState& part, FsFileHandle* file);
Status Ext4AdjustFileSize(FsState& part, FsFileHandle* file, FsEntry* entry, uint32_t newSize);
// Archives: the boot area (boot block, superblock and the table of
// extended attributes), the size of directory records, the full restore.
uint16_t Ext4GetNumBootSectors(FsState& part, FsEntry* entry);
Status Ext4ReadBootSectors(FsState& part, FsEntry* entry, uint16_t first, uint16_t count,
                           uint8_t* buffer);
uint32_t Ext4AddEntrySize(uint32_t size, FsEntry* entry, uint16_t blockSize);
Status Ext4FullUnzip(FsState& part, IArchive* archive);
// Dumps: the attributes and the boot area as text.
void Ext4DescribeAttributes(const uint8_t* attributes, char* out, size_t capacity);
void Ext4DescribeBootArea(const uint8_t* area, size_t size, void (*line)(const char* text));
// After ext2fs_initialize and the identity set in the superblock: the
// group tables, reserved inodes, root, lost+found, resize inode and an
// empty journal (when the feature is set and the volume can hold one), as
// a quick format lays them out; errors are logged.
errcode_t Ext4LayOutVolume(ext2_filsys fs);

} // namespace vk
