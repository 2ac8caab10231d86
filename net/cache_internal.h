// The read-ahead operations the cache registers with the file layer.
#pragma once

#include <cstdint>

#include "disk/files.h"

namespace vk {

bool StartReadAhead(FileRecord* file);
uint16_t ReadAhead(FileRecord* file, uint8_t* buffer);
void StopReadAhead(FileRecord* file);

} // namespace vk
