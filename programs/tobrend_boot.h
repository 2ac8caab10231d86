// The batch program's boot commands: ramdisks and kernels are loaded and
// checked before the cancelled hand-over; tftpboot makes its file the next
// boot file first.
#pragma once

#include "interp/script.h"

namespace vk::tobrend {

Status ParseLoadRamDisk(char* args);  // loadramdisk string
Status ParseLoadZRamDisk(char* args); // loadzramdisk string
Status ParseTFtpBoot(char* args);     // tftpboot string
Status ParseLinuxBoot(char* args);    // linuxboot kernel [command line [ramdisk]]
Status ParsePowerOff(char* args);     // poweroff

} // namespace vk::tobrend
