// Program entry: arguments, disk image options, break handler, then Batch.

#include "startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/makeio.h"
#include "archive/reader_source.h"
#include "disk/disk.h"
#include "disk/partitions.h"
#include "fs/cache.h"
#include "fs/ext2.h"
#include "fs/ext4.h"
#include "fs/fat.h"
#include "fs/mbr.h"
#include "fs/ntfs.h"
#include "fs/swap.h"
#include "interp/edition.h"
#include "platform/console.h"
#include "platform/hostfile.h"

namespace vk {

namespace {

// The file-system drivers this program carries, one registration each.
void RegisterDrivers() {
    RegisterFsDriver(MBRDriver);
    RegisterFsDriver(SWAPDriver);
    RegisterFsDriver(FAT16Driver);
    RegisterFsDriver(FAT32Driver);
    RegisterFsDriver(EXT2Driver);
    RegisterFsDriver(EXT4Driver);
    RegisterFsDriver(NTFSDriver);
    RegisterFsDriver(NTFSDataDriver);
    RegisterFsDriver(CacheDriver);
    // The drivers' full restores read archives through this table.
    RegisterFullArchiveReader();
    // Restored files keep their stored times on FAT.
    SetTouchFilesSwitch(&TouchFiles);
}

// --help and --version answer on standard output before anything starts:
// no console, no disk probe, no network.
void AnswerInformationOptions(int argc, char** argv, const Edition& edition) {
    const char* command = edition.archiver ? "pelto" : "tobrend";
    for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", edition.bannerLine);
            std::exit(0);
        }
        if (std::strcmp(argv[i], "--help") != 0) continue;
        std::printf(
            "Usage: %s [options] [basename]\n"
            "%s\n\n"
            "Runs the script <basename>%s (without a base name, or with -i, the\n"
            "interactive prompt).\n\n"
            "Options (before the base name):\n"
            "  -w          allow writes to disks (otherwise every write is logged and skipped)\n"
            "  -d<path>    use the image file or block device <path> as the next hard disk;\n"
            "              with any -d, no device under /dev is probed\n"
            "  -d          no hard disk at all\n"
            "  -i          interactive mode\n"
            "  -l          no ISO Latin conversion of text\n"
            "  -v          do not try graphics\n"
            "  -x          do not use extended memory\n"
            "%s"
            "  --help      this text\n"
            "  --version   the program's version\n",
            command, edition.bannerLine, edition.scriptSuffix,
            edition.archiver ? ""
                             : "  -b          no boot-server discovery (DHCP); remote "
                               "names are host files\n");
        std::exit(0);
    }
}

} // namespace

void RunProgram(int argc, char** argv, const Edition& edition) {
    AnswerInformationOptions(argc, argv, edition);
    SetArguments(argc, argv);
    // Option words come first; the first word without a dash starts the
    // base name. Every "-d<path>" among them names the next hard disk; a
    // bare "-d" asks for no hard disk at all. Only without any -d are the
    // machine's disk devices probed.
    bool diskOption = false;
    for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
        if (argv[i][1] != 'd') continue;
        diskOption = true;
        if (argv[i][2]) AddDiskPath(argv[i] + 2);
    }
    if (!diskOption) EnableDeviceProbe();
    RegisterDrivers();
    AllowDiskWrite = 0;
    InterceptKeys();
    Batch(edition);
}

} // namespace vk
