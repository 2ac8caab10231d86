// The boot commands. In this edition none of them hands the machine over:
// the boot and power commands end the program with a cancellation message
// (status 255) after the checks that precede the hand-over, or refuse. The
// batch program replaces the ramdisk, kernel and power rows with its own
// (programs/tobrend_boot.cpp); these are the archiver's.
#pragma once

#include <string>

#include "interp/script.h"

namespace vk {

Status ParseHideBootPROM(char* args); // hidebootprom
Status ParseLoadRamDisk(char* args);  // loadramdisk string: refused
Status ParseLoadZRamDisk(char* args); // loadzramdisk string: refused
Status ParseTFtpBoot(char* args);     // tftpboot string
Status ParseFloppyBoot(char* args);   // floppyboot
Status ParseHdBoot(char* args);       // hdboot [disk] [: partition]
Status ParseLinuxBoot(char* args);    // linuxboot string [string [string]]: refused
Status ParsePowerOff(char* args);     // poweroff: refused

// tftpboot with a step before the hand-over (the batch program makes the
// file its next boot file); `prepare` may be null.
Status RunTFtpBoot(char* args, void (*prepare)(const char* name));
// Reads linuxboot's one to three strings: the kernel, then the command
// line and the ramdisk when text follows.
Status ReadLinuxBootArgs(char* args, std::string* kernel, std::string* commandLine,
                         std::string* ramdisk, int* count);

} // namespace vk
