// Handlers of the incremental restore and the archive check. It takes the argument text
// behind its keyword and returns 0, or non-zero with errormsg set.
#pragma once

#include "platform/types.h"

namespace vk {

Status ParseIncrUnzip(char* args);    // incrunzip archive path
Status ParseCheckArchive(char* args); // checkarchive archive

} // namespace vk
