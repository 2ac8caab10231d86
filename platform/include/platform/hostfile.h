// Host files and directories, the program's argument line, and this
// edition's answers to boot and power requests.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/fsentry.h"

struct stat;

namespace vk {

void SetArguments(int argc, char** argv);
const char* GetArguments(); // null when there are none

using DosFile = FILE*;
void NormalizeName(char* path);
DosFile CreateDosFile(const char* path);
DosFile OpenDosFile(const char* path, bool write);
// Restored trees are written through platform/hostat.h instead, which
// never follows a symbolic link.
uint32_t TellDosFile(DosFile f);
int SeekDosFile(DosFile f, uint32_t offset);
uint32_t SizeofDosFile(DosFile f);
uint16_t ReadDosFile(DosFile f, void* buffer, uint16_t length);
uint16_t WriteDosFile(DosFile f, const void* data, uint16_t length);
int CloseDosFile(DosFile f);
// Unbuffered transfers at an offset, in one piece as far as the kernel
// allows, for files used only this way (the virtual file store's temporary
// files); each returns the bytes moved.
uint32_t ReadDosFileAt(DosFile f, void* buffer, uint32_t length, uint32_t offset);
uint32_t WriteDosFileAt(DosFile f, const void* data, uint32_t length, uint32_t offset);
// Counts bytes written to a host file or image descriptor in *pending and,
// once a few megabytes have gathered, asks the kernel to start writing the
// file's dirty pages back (without waiting for them). The disk then writes
// while the program works on, and the flush at the end of the run waits only
// for what came last. Durability is unchanged: that flush still runs.
void WriteBehind(int fd, uint32_t* pending, size_t written);
// Remembers the open file or directory fd, which this run writes to;
// SyncWrittenFileSystems puts each remembered one on stable storage
// (fsync) and forgets them, so that the end of a run
// waits for its own writes only. Past 64 remembered files, a host file
// system written to further is flushed whole instead (syncfs). Host files
// written with WriteDosFile are remembered by it, and the directory of a
// file made by CreateDosFile. Returns the device of fd's file system (0 when
// unknown). SyncWrittenFileSystems returns non-zero when a flush failed.
uint64_t NoteWrittenFileSystem(int fd);
// A file just made on the file system of that device (which was noted): no
// status query, and nothing at all once that file system is flushed whole.
void NoteNewFile(int fd, uint64_t device);
int SyncWrittenFileSystems();
// Counts the calls of SyncWrittenFileSystems (never 0), so that a holder of
// a descriptor can tell whether it was remembered since the last flush.
uint32_t WrittenFileSystemsRound();
int DeleteDosFile(const char* path);
int CreateDosDir(const char* path);
int RemoveDosDir(const char* path);

// True when both host paths name the same existing file (links followed).
bool SameHostFile(const char* a, const char* b);
// True when the host path names the root directory "/".
bool IsHostRoot(const char* path);

struct DosDir;
DosDir* OpenDosDir(const char* path);
int ReadDosDir(DosDir* handle, FsEntry* entry); // 1 at the end
// One name of a host directory, as ReadDosDir would list it, without reading
// the directory: entry->path holds the directory path (ending in "/").
// 0 found, 1 not there (or not a name the listing would give).
int StatDosEntry(FsEntry* entry, const char* name);
void CloseDosDir(DosDir* handle);

// The 86-byte packed attribute layout shared with the ext2 driver; all
// fields little-endian, the rest zero.
constexpr int kPackedAttrSize = 86;
constexpr int kAttrMode = 0;   // u16 type and permission bits
constexpr int kAttrUid = 2;    // u16 owner
constexpr int kAttrAtime = 4;  // u32 access time
constexpr int kAttrMtime = 8;  // u32 modification time
constexpr int kAttrCtime = 12; // u32 change time
constexpr int kAttrGid = 16;   // u16 group
constexpr int kAttrSize = 18;  // u32 size
constexpr int kAttrFlags = 22; // u32 ext2 inode flags
constexpr int kAttrExtra = 26; // short link target (NUL-terminated) or device number (u32)
// Longest symbolic-link target that travels in the attributes.
constexpr int kShortLinkMax = kPackedAttrSize - kAttrExtra - 1; // 59
static_assert(kShortLinkMax == 59);

void LXDOSPackAttr(uint8_t* attributes, const struct ::stat* status, const char* path);
// Device numbers as packed at kAttrExtra (the Linux "new" 32-bit encoding,
// which equals major * 256 + minor for small numbers).
uint32_t EncodeDevice(uint64_t device);
uint64_t DecodeDevice(uint32_t packed);

[[noreturn]] void TFtpReboot();
[[noreturn]] void RebootFromSect();
inline void HideBootPROM() {}
void SetupRamDisk();
[[noreturn]] void Shutdown();

} // namespace vk
