// Internals shared by the ext4 driver's files: the open volume kept with
// the partition's state, the channel that carries libext2fs's block
// transfers to the partition's sectors, and the table operations.
#pragma once

#include <ext2fs/ext2fs.h>

#include <cstdint>

#include "disk/fsdriver.h"
#include "platform/types.h"

namespace vk {

// The volume libext2fs has open on one partition, held in its
// FsState::driverData. Dropping it forgets what was not flushed: the
// partition layer flushes modified states before it lets them go.
struct Ext4Volume : FsDriverData {
    ext2_filsys fs = nullptr;
    bool bitmapsLoaded = false;
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
// Mode of a new file and a new directory: 0755.
constexpr uint16_t kExt4NewFileMode = 0x81ED;
constexpr uint16_t kExt4NewDirMode = 0x41ED;
// Longest symbolic-link target kept in the inode itself.
constexpr uint32_t kExt4FastLinkMax = 59;

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
Status Ext4OpenFile(FsState& part, FsEntry* entry, uint32_t* size, FsFileHandle** file);
Status Ext4RewriteFile(FsState& part, FsEntry* entry, uint32_t newSize, FsFileHandle** file);
uint16_t Ext4ReadFileChunk(FsState& part, FsFileHandle* file, uint8_t* buffer);
uint16_t Ext4WriteFileChunk(FsState& part, FsFileHandle* file, const uint8_t* buffer,
                            uint16_t length);
Status Ext4CloseFile(FsState& part, FsFileHandle* file);
Status Ext4AdjustFileSize(FsState& part, FsFileHandle* file, FsEntry* entry, uint32_t newSize);

} // namespace vk
