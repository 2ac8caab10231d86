// Handler of the incremental restore command. It takes the argument text
// behind its keyword and returns 0, or non-zero with errormsg set.
#pragma once

#include "platform/types.h"

namespace vk {

Status ParseIncrUnzip(char* args); // incrunzip archive path

} // namespace vk
