// Kernel and ramdisk loading of the batch program: a Linux kernel image, a
// ramdisk image or a compressed ramdisk image is loaded from a local or
// remote file (remote ones through the cache) into extended memory from
// page 4 upward and checked. This edition stops before any hand-over.
#pragma once

#include <cstdint>

namespace vk {

constexpr uint16_t kImageFirstPage = 4; // pages 0 to 3 stay free
// A cached copy that keeps failing its check is loaded at most this often.
constexpr int kImageLoads = 3;

// 0 with the size in bytes, 1 when the file cannot be opened or every load
// found the copy damaged.
int LoadRamDisk(const char* name, uint32_t* size);
// 0 with the unpacked size; -1 when the file cannot be opened, 1 when the
// image is damaged (after fetching a damaged cached copy anew).
int LoadZRamDisk(const char* name, uint32_t* size);
// Loads and checks the kernel (and the ramdisk), then ends the program with
// the cancellation messages. Returns 1 with *failure set when the kernel
// cannot be loaded or is invalid.
int LinuxBoot(const char* kernel, const char* ramdisk, const char* commandLine,
              const char** failure);

// Checks a kernel's first page (32768 bytes) for an image of `size`
// bytes: the setup sector count at most 63, the image holding the setup
// sectors and the boot sector, the "HdrS" signature. The version string
// (up to 80 characters, cut at the page end) goes to `version`.
bool CheckKernelHeader(const uint8_t* page, uint32_t size, char* version, int versionSize);

} // namespace vk
