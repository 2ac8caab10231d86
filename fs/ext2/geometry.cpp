// Volume geometry of a fresh ext2 file system (quick format and full restore).
#include "ext2_internal.h"

namespace vk {} // namespace vk
