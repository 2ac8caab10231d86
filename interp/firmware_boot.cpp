// hdboot on UEFI PCs (see firmware_boot.h): the disk's GUID partition table
// names the partition, efiboot builds the entry, the platform writes the
// variables.
#include "interp/firmware_boot.h"

#include <algorithm>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/efiboot.h"
#include "disk/gpt.h"
#include "platform/util.h"

namespace vk {

namespace {

// The description of the entries hdboot makes, by which it knows them again.
constexpr char16_t kDescription[] = u"Restored system";

} // namespace

Status SetFirmwareNextBoot(const EfiVariables& vars, int disk, int partition,
                           FirmwareBootChoice* chosen) {
    HDCount(); // opens the disks
    BlockDevice* device = DiskDevice(kFirstHardDisk + disk);
    if (device == nullptr || partition < 0) return Fail("Invalid disk/partition");
    const uint64_t sectors = device->SizeSectors();
    gpt::SectorReader read = [device, sectors](uint64_t lba, uint32_t count, uint8_t* buffer) {
        if (lba > sectors || count > sectors - lba) return false;
        size_t length = size_t(count) * kSectorSize;
        return device->ReadAt(lba * kSectorSize, buffer, length) == length;
    };
    std::string why;
    auto table = gpt::ReadTable(read, sectors, &why);
    if (!table) {
        Log(("ERROR: " + why + "\r\n").c_str());
        return Fail("No GUID partition table on the disk");
    }
    if (!table->note.empty()) Log((table->note + "\r\n").c_str());
    const gpt::Entry* esp = nullptr;
    uint32_t number = 0;
    if (partition > 0) {
        if (size_t(partition) > table->entries.size() ||
            !table->entries[size_t(partition) - 1].Used())
            return Fail("Invalid disk/partition");
        number = uint32_t(partition);
        esp = &table->entries[number - 1];
    } else {
        const gpt::Guid type = efi::EspType();
        for (size_t i = 0; i < table->entries.size() && !esp; ++i)
            if (table->entries[i].type == type) {
                esp = &table->entries[i];
                number = uint32_t(i + 1);
            }
        if (!esp) return Fail("No EFI system partition on the disk");
    }
    efi::PartitionFile file;
    file.partition = number;
    file.first = esp->first;
    file.sectors = esp->Sectors();
    file.unique = esp->unique;
    file.path = efi::kFallbackBootProgram;
    const std::vector<uint8_t> path = efi::DevicePath(file);

    // An entry with the same device path is reused (made active if it was
    // not). Else an entry this command made before for another partition
    // (its description; the partition's GUID changes with each new layout)
    // is renewed, so that restores over the years do not fill the
    // firmware's memory with entries; else the first free number gets a
    // new one. The lowest number wins where several qualify.
    std::vector<uint16_t> used;
    std::optional<uint16_t> same, ours;
    bool active = false;
    for (const std::string& name : vars.Names(efi::kGlobalVariables)) {
        auto n = efi::BootNumber(name);
        if (!n) continue;
        used.push_back(*n);
        auto value = vars.Read(name, efi::kGlobalVariables);
        if (!value) continue;
        auto option = efi::ParseLoadOption(value->bytes);
        if (!option) continue;
        if (option->devicePath == path && (!same || *n < *same)) {
            same = *n;
            active = option->attributes & efi::kLoadOptionActive;
        } else if (option->description == kDescription && (!ours || *n < *ours)) {
            ours = *n;
        }
    }
    chosen->partition = number;
    chosen->created = !same && !ours;
    chosen->renewed = !same && ours;
    std::optional<uint16_t> found = same ? same : ours ? ours : efi::FreeBootNumber(used);
    if (!found) return Fail("Cannot set the firmware's next boot");
    chosen->entry = *found;
    // Without -w the firmware's variables stay as they are, like the disks.
    if (!AllowDiskWrite) {
        Log(("Firmware boot entry " + efi::BootName(*found) +
             " and BootNext not written (default behaviour under Linux)\r\n")
                .c_str());
        return 0;
    }
    if (!same || !active) {
        efi::LoadOption option;
        option.description = kDescription;
        option.devicePath = path;
        if (!vars.Write(efi::BootName(*found), efi::kGlobalVariables, efi::kBootVariableAttributes,
                        efi::WriteLoadOption(option), &why)) {
            Log(("ERROR: " + why + "\r\n").c_str());
            return Fail("Cannot set the firmware's next boot");
        }
    }
    if (!vars.Write("BootNext", efi::kGlobalVariables, efi::kBootVariableAttributes,
                    efi::BootNextValue(*found), &why)) {
        Log(("ERROR: " + why + "\r\n").c_str());
        return Fail("Cannot set the firmware's next boot");
    }
    return 0;
}

} // namespace vk
