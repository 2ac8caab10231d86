// hdboot on UEFI PCs: the firmware starts the disk on the next restart
// through a boot entry for the disk's EFI system partition and BootNext.
#pragma once

#include <cstdint>

#include "interp/script.h"
#include "platform/efivars.h"

namespace vk {

struct FirmwareBootChoice {
    uint16_t entry = 0;     // Boot#### number
    bool created = false;   // a new entry
    bool renewed = false;   // an entry it had made for another partition, rewritten
    uint32_t partition = 0; // its GPT entry number
};

// Makes sure `vars` holds an active boot entry for \EFI\BOOT\BOOTX64.EFI on
// the EFI system partition of hard disk `disk` (0 the first), or on GPT
// entry `partition` when that is not 0, reusing an entry with the same
// device path or else renewing one it made before ("Restored system"), and
// sets BootNext to it. Without disk writes (option -w)
// nothing is written: the log says so, *chosen says what would have been. 0 with *chosen filled in;
// non-zero after Fail ("Invalid disk/partition", "No GUID partition table on the disk", "No EFI
// system partition on the disk", "Cannot set the firmware's next boot").
Status SetFirmwareNextBoot(const EfiVariables& vars, int disk, int partition,
                           FirmwareBootChoice* chosen);

} // namespace vk
