// Operations of the host directory driver shared between its files.
#pragma once

#include <cstdint>

#include "disk/fsdriver.h"

namespace vk::hostdir {

Status OpenFile(FsEntry* entry, uint32_t* size, FsFileHandle** file);
Status RewriteFile(FsEntry* entry, uint32_t newSize, FsFileHandle** file);
uint16_t ReadFileChunk(FsFileHandle* file, uint8_t* buffer);
uint16_t WriteFileChunk(FsFileHandle* file, const uint8_t* buffer, uint16_t length);
Status CloseFile(FsFileHandle* file);
Status AdjustFileSize(FsFileHandle* file, FsEntry* entry, uint32_t newSize);

// Applies packed attributes to the entry name of the directory dir without
// following a symbolic link; failures are ignored.
void UnPackAttrAt(int dir, const char* name, const uint8_t* attributes);

// Appends name to the directory path into out (kPathMax bytes); false when
// the result would not fit.
bool JoinPath(char* out, const char* directory, const char* name);

} // namespace vk::hostdir
