// The batch program's command table: the common rows and the TFTP test.
#include "commandtable.h"
#include "interp/commands_boot.h"
#include "tobrend_boot.h"
#include "tobrend_net.h"

namespace vk {

namespace {

constexpr std::array kTobrendRows = {
    Command{"testtftp", ParseTestTFTP},
    Command{"hidebootprom", ParseHideBootPROM},
    Command{"loadramdisk", tobrend::ParseLoadRamDisk},
    Command{"loadzramdisk", tobrend::ParseLoadZRamDisk},
    Command{"tftpboot", tobrend::ParseTFtpBoot},
    Command{"floppyboot", ParseFloppyBoot},
    Command{"hdboot", ParseHdBoot},
    Command{"linuxboot", tobrend::ParseLinuxBoot},
    Command{"poweroff", tobrend::ParsePowerOff},
};

constexpr auto kTobrend = JoinRows(kCommonRows, kTobrendRows);

} // namespace

const Command* TobrendCommandTable() {
    return kTobrend.data();
}

} // namespace vk
