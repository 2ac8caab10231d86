// Host directories reached without following symbolic links, for writing
// into restored trees: every component of a path is opened in turn relative
// to the directory before it (the first relative to "/" or the current
// directory), and a component that is a symbolic link, or anything but a
// directory, ends the walk. Entries are then made, changed and removed
// relative to the directory's descriptor, so that no name below it is
// resolved again along the way.
#pragma once

#include <cstdint>

#include "platform/fsentry.h"

namespace vk {

// A descriptor (O_PATH, close-on-exec) of the directory named by path ("/"
// and "\" both separate; "" and "./" are the current directory), owned by
// the caller; -1 when a component is missing, a link or not a directory.
int OpenHostDir(const char* path);

// The directory holding a path's last component, opened as above, and that
// component. A path that ends in a separator names its last directory; the
// component is never empty, "." or "..".
class HostPlace {
  public:
    explicit HostPlace(const char* path);
    ~HostPlace();
    HostPlace(const HostPlace&) = delete;
    HostPlace& operator=(const HostPlace&) = delete;
    bool ok() const { return dir_ >= 0; }
    int dir() const { return dir_; }
    const char* name() const { return name_; }

  private:
    int dir_ = -1;
    char name_[kPathMax] = {};
};

} // namespace vk
