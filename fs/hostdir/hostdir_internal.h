// Operations of the host directory driver shared between its files.
#pragma once

#include <cstdint>

#include "disk/fsdriver.h"

namespace vk::hostdir {

Status OpenFile(FsState&, FsEntry* entry, uint64_t* size, FsFileHandle** file);
Status RewriteFile(FsState&, FsEntry* entry, uint32_t newSize, FsFileHandle** file);
uint16_t ReadFileChunk(FsState&, FsFileHandle* file, uint8_t* buffer);
int FileDescriptor(FsFileHandle* file);
uint16_t WriteFileChunk(FsState&, FsFileHandle* file, const uint8_t* buffer, uint16_t length);
Status CloseFile(FsState&, FsFileHandle* file);
Status AdjustFileSize(FsState&, FsFileHandle* file, FsEntry* entry, uint32_t newSize);

// CreateFile keeps the regular file it made open (fd, its full path and the
// attributes it is to get, or null) for the RewriteFile that follows; any
// other operation drops it, giving it its attributes and closing it.
void KeepCreated(int fd, const char* path, const uint8_t* attributes);
void DropCreated();
// True once for the path of the file whose attributes CloseFile just set.
bool AttributedAtClose(const char* path);
// Closes the directory kept open for reading files (its name may now stand
// for another directory).
void ForgetReadDir();

// Owner, mode, times and ext2 flags on an open regular file or directory;
// failures are ignored.
void AttributesOn(int fd, const uint8_t* attributes);
// Applies packed attributes to the entry name of the directory dir without
// following a symbolic link; failures are ignored.
void UnPackAttrAt(int dir, const char* name, const uint8_t* attributes);

// Appends name to the directory path into out (kPathMax bytes); false when
// the result would not fit.
bool JoinPath(char* out, const char* directory, const char* name);

} // namespace vk::hostdir
