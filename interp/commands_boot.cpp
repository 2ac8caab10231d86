// The boot commands shared by both programs and the archiver's refusals.
#include "interp/commands_boot.h"

#include <cstdio>
#include <string>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "interp/expr.h"
#include "interp/firmware_boot.h"
#include "interp/tokenizer.h"
#include "platform/console.h"
#include "platform/efivars.h"
#include "platform/hostfile.h"
#include "platform/util.h"

namespace vk {

Status ParseHideBootPROM(char* args) {
    if (NextNothing(args)) return 1;
    HideBootPROM();
    return 0;
}

Status ParseLoadRamDisk(char* args) {
    char* p = args;
    if (!NextString(&p)) return 1;
    return Fail("Ramdisks are not supported under Pelto");
}

Status ParseLoadZRamDisk(char* args) {
    return ParseLoadRamDisk(args);
}

Status RunTFtpBoot(char* args, void (*prepare)(const char* name)) {
    char* p = args;
    const char* name = NextString(&p);
    if (!name) return 1;
    std::string file = name; // kept apart from the line buffer
    if (prepare) prepare(file.c_str());
    GoOnScreen(); // shows the log and restarts its pause count
    FlushParts();
    StrokeWatchDog();
    TFtpReboot();
}

Status ParseTFtpBoot(char* args) {
    return RunTFtpBoot(args, nullptr);
}

Status ParseFloppyBoot(char* args) {
    if (NextNothing(args)) return 1;
    HideBootPROM();
    GoOnScreen();
    uint8_t sector[kSectorSize];
    while (ReadFloppyBootSect(sector) != 0) {
        Log("\r\nCannot load boot sector - Replace floppy disk and press any key\r\n");
        GetChar(); // ends the program when no key can come
    }
    Log("Booting from floppy disk\r\n");
    FlushParts();
    RebootFromSect();
}

// hdboot [disk] [: partition]
Status ParseHdBoot(char* args) {
    char* p = SkipBlanks(args);
    int32_t disk = 0, partition = 0;
    if (*p && *p != ':') {
        disk = NextExpr(&p);
        if (disk == kExprFail) return Fail("Syntax error");
        p = SkipBlanks(p);
    }
    if (*p == ':') {
        ++p;
        partition = NextExpr(&p);
        if (partition == kExprFail) return Fail("Bad partition number");
        if (NextNothing(p)) return 1;
    } else if (*p) {
        return Fail("Syntax error");
    }
    FlushParts();
    // A UEFI PC starts the disk through its firmware: a boot entry for the
    // disk's EFI system partition becomes the next boot, then the restart.
    if (std::string variables = FirmwareVariableDirectory(); !variables.empty()) {
        if (disk < 0 || disk >= kMaxDisks || partition < 0) return Fail("Invalid disk/partition");
        FirmwareBootChoice chosen;
        if (SetFirmwareNextBoot(EfiVariables(variables), disk, partition, &chosen)) return 1;
        char text[128];
        std::snprintf(
            text, sizeof text,
            "Booting from hard disk %d partition %u (EFI system partition, %s Boot%04X)\r\n",
            int(disk), unsigned(chosen.partition),
            chosen.created   ? "new"
            : chosen.renewed ? "renewed"
                             : "entry",
            unsigned(chosen.entry));
        PrintString(text);
        GoOnScreen();
        RebootFromSect();
    }
    FsState* target = nullptr;
    if (disk < 0 || disk >= kMaxDisks || partition < kCachePartition || partition > kMaxPartition ||
        (target = SelectPart(kFirstHardDisk + disk, partition)) == nullptr)
        return Fail("Invalid disk/partition");
    uint8_t sector[kSectorSize];
    if (ReadBootSect(*target, sector) != 0) return Fail("Cannot load boot sector");
    char text[96];
    if (partition == 0)
        std::snprintf(text, sizeof text, "Booting from hard disk %d partition 0 (master boot)\r\n",
                      int(disk));
    else
        std::snprintf(text, sizeof text, "Booting from hard disk %d partition %d (type %.20s)\r\n",
                      int(disk), int(partition), target->typeName);
    PrintString(text);
    GoOnScreen();
    RebootFromSect();
}

Status ReadLinuxBootArgs(char* args, std::string* kernel, std::string* commandLine,
                         std::string* ramdisk, int* count) {
    char* p = args;
    std::string* into[3] = {kernel, commandLine, ramdisk};
    *count = 0;
    for (int i = 0; i < 3; ++i) {
        if (i > 0 && !*SkipBlanks(p)) break;
        const char* text = NextString(&p);
        if (!text) return 1;
        *into[i] = text;
        ++*count;
    }
    return NextNothing(p);
}

Status ParseLinuxBoot(char* args) {
    std::string kernel, commandLine, ramdisk;
    int count = 0;
    if (ReadLinuxBootArgs(args, &kernel, &commandLine, &ramdisk, &count)) return 1;
    return Fail("LinuxBoot not supported under Pelto");
}

Status ParsePowerOff(char* args) {
    if (NextNothing(args)) return 1;
    return Fail("Power-off is not supported under Pelto");
}

} // namespace vk
