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

// Appends name to the directory path into out (kPathMax bytes); false when
// the result would not fit.
bool JoinPath(char* out, const char* directory, const char* name);

} // namespace vk::hostdir
