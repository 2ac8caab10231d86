// Handlers of the single-file compression commands. Each takes the argument
// text behind its keyword and returns 0, or non-zero with errormsg set.
#pragma once

#include "platform/types.h"

namespace vk {

Status ParseFileZip(char* args);   // filezip source destination
Status ParseFileUnzip(char* args); // fileunzip source target

// Reads two file names and insists that nothing follows.
Status ReadTwoNames(char* args, char** first, char** second);

} // namespace vk
