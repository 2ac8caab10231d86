// Opening a requested name inside the served tree, and nothing outside it.
#pragma once

#include <cstdint>
#include <string>

namespace vks {

// Opens `name` ('/'-separated; leading slashes name the root itself) for
// reading below the directory `root` (a descriptor). Refuses empty names,
// ".." components, and links that lead outside the tree; only regular files. The
// descriptor, or -1 with `why` set (for the log and the error packet).
int OpenBeneath(int root, const std::string& name, uint64_t* size, std::string& why);

} // namespace vks
