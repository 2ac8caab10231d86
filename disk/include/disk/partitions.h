// Partition tables, the partition type table and the selection of the
// current partition through the state cache.
#pragma once

#include <cstdint>

#include "disk/fsdriver.h"
#include "platform/types.h"

namespace vk {

void InitFsHandlers();
Status SelectPart(int disk, int partition);
Status FlushParts();

} // namespace vk
