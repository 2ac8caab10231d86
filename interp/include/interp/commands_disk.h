// Handlers of the disk commands: the active partition, partition tables,
// blanking and quick-formatting partitions, full restores. Each takes the argument text
// behind its keyword and returns 0, or non-zero with errormsg set.
#pragma once

#include "platform/types.h"

namespace vk {

Status ParseGetBootPart(char* args);   // getbootpart name [disk]
Status ParseSetBootPart(char* args);   // setbootpart expression [disk]
Status ParseGetPartitions(char* args); // getpartitions name [disk]
Status ParseSetPartitions(char* args); // setpartitions string [disk]
Status ParseBlank(char* args);         // blank range [disk]
Status ParseClean(char* args);         // clean range [disk] [string]
Status ParseFullUnzip(char* args);     // fullunzip string expression [disk]

} // namespace vk
