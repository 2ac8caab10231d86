// The batch program's boot commands over the kernel and ramdisk loading.
#include "tobrend_boot.h"

#include <cstdio>
#include <string>

#include "disk/partitions.h"
#include "interp/commands_boot.h"
#include "interp/tokenizer.h"
#include "net/boot.h"
#include "net/bootpvars.h"
#include "platform/console.h"
#include "platform/hostfile.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk::tobrend {

namespace {

using Loader = int (*)(const char* name, uint32_t* size);

Status LoadImage(char* args, Loader load, const char* failure) {
    char* p = args;
    const char* text = NextString(&p);
    if (!text || NextNothing(p)) return 1;
    std::string name = text; // kept apart from the line buffer
    Log("Loading ramdisk image...\r\n");
    uint32_t size = 0;
    if (load(name.c_str(), &size) != 0) return Fail(failure);
    char line[48];
    std::snprintf(line, sizeof line, "%u Kb loaded to the ramdisk\r\n", unsigned(size / 1024));
    PrintString(line);
    DropExtMem(); // the ramdisk owns the extended memory now
    HideBootPROM();
    SetupRamDisk();
    return 0;
}

} // namespace

Status ParseLoadRamDisk(char* args) {
    return LoadImage(args, LoadRamDisk, "Could not read ramdisk image");
}

Status ParseLoadZRamDisk(char* args) {
    return LoadImage(args, LoadZRamDisk, "Bad compressed ramdisk image");
}

Status ParseTFtpBoot(char* args) {
    return RunTFtpBoot(args, PatchBOOTPFile);
}

Status ParseLinuxBoot(char* args) {
    std::string kernel, commandLine, ramdisk;
    int count = 0;
    if (ReadLinuxBootArgs(args, &kernel, &commandLine, &ramdisk, &count)) return 1;
    GoOnScreen();
    FlushParts();
    StrokeWatchDog();
    const char* failure = "Invalid kernel image";
    LinuxBoot(kernel.c_str(), count >= 3 ? ramdisk.c_str() : nullptr,
              count >= 2 ? commandLine.c_str() : nullptr, &failure);
    return Fail(failure);
}

Status ParsePowerOff(char* args) {
    if (NextNothing(args)) return 1;
    Shutdown();
}

} // namespace vk::tobrend
