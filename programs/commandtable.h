// The command tables of the two programs. Both share the rows of the
// interpreter, console, security, disk and file commands; the archiver adds
// its archive commands, the batch program its TFTP test.
#pragma once

#include "interp/script.h"

namespace vk {

// Each table ends with a row whose keyword is null.
const Command* PeltoCommandTable();
const Command* TobrendCommandTable();

} // namespace vk
