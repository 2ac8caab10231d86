// The archiver's command table: the common rows and the archive commands.
#include "commandtable.h"
#include "interp/commands_archiver.h"
#include "interp/commands_boot.h"

namespace vk {

namespace {

constexpr std::array kPeltoRows = {
    Command{"filezip", ParseFileZip},
    Command{"source", ParseSource},
    Command{"destination", ParseDestination},
    Command{"dest", ParseDestination},
    Command{"filter", ParseFilter},
    Command{"copyarchive", ParseCopyArchive},
    Command{"fullzip", ParseFullZip},
    Command{"incrzip", ParseIncrZip},
    Command{"fulldump", ParseFullDump},
    Command{"incrdump", ParseIncrDump},
    Command{"xcopy", ParseXCopy},
    Command{"hidebootprom", ParseHideBootPROM},
    Command{"loadramdisk", ParseLoadRamDisk},
    Command{"loadzramdisk", ParseLoadZRamDisk},
    Command{"tftpboot", ParseTFtpBoot},
    Command{"floppyboot", ParseFloppyBoot},
    Command{"hdboot", ParseHdBoot},
    Command{"linuxboot", ParseLinuxBoot},
    Command{"poweroff", ParsePowerOff},
};

constexpr auto kPelto = JoinRows(kCommonRows, kPeltoRows);

} // namespace

const Command* PeltoCommandTable() {
    return kPelto.data();
}

} // namespace vk
