// Registers the archive reader as the full-archive source of the drivers
// (archive/source.h). The programs call it once at start-up.
#pragma once

namespace vk {

void RegisterFullArchiveReader();

} // namespace vk
