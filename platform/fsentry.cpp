// Copying directory entries whose name points into their own path.
#include "platform/fsentry.h"

namespace vk {

void CopyEntry(FsEntry& dst, const FsEntry& src) {
    if (&dst == &src) return;
    const char* name = src.name;
    dst = src;
    // A name kept elsewhere (or none) stays as it is.
    if (name >= src.path && name < src.path + kPathMax) dst.name = dst.path + (name - src.path);
}

} // namespace vk
