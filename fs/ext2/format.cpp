// Quick format of an ext2 partition.
#include "ext2_internal.h"
#include "platform/util.h"

namespace vk {

Status Ext2Clean(const char*) {
    Log("EXT2: Quick format is not available\r\n");
    return 1;
}

} // namespace vk
