// Full restore of an ext2 partition from a full archive.
#include "ext2_internal.h"
#include "platform/util.h"

namespace vk {

Status Ext2FullUnzip(IArchive*) {
    Log("EXT2 Unzip: Full restore is not available\r\n");
    return -1;
}

} // namespace vk
