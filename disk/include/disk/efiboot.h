// Boot entries of UEFI firmware: the load option record a Boot#### variable
// holds, with the device path of a boot program on a partition of a GUID
// partition table, and the names and values of the boot variables. Fields
// are written and read one by one, little-endian; nothing here touches the
// firmware: bytes come from and go to the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "disk/gpt.h"

namespace vk::efi {

// The vendor GUID of the firmware's own variables (Boot####, BootNext,
// SecureBoot), as efivarfs names it.
inline constexpr char kGlobalVariables[] = "8be4df61-93ca-11d2-aa0d-00e098032b8c";
// Non-volatile, boot service and runtime access: what boot entries carry.
constexpr uint32_t kBootVariableAttributes = 0x7;
// The entry may be started (load option attribute).
constexpr uint32_t kLoadOptionActive = 0x1;
// The fallback boot program every firmware looks for on a removable or
// new disk.
inline constexpr char kFallbackBootProgram[] = "\\EFI\\BOOT\\BOOTX64.EFI";
// "C12A7328-F81F-11D2-BA4B-00A0C93EC93B", the GPT type of an EFI system
// partition.
gpt::Guid EspType();

// A file on a partition of a GUID partition table.
struct PartitionFile {
    uint32_t partition = 0; // number of the entry in the table, from 1
    uint64_t first = 0;     // first sector
    uint64_t sectors = 0;   // size in sectors
    gpt::Guid unique{};     // the entry's own GUID
    std::string path;       // "\EFI\BOOT\BOOTX64.EFI": ASCII, backslashes
};

// The device path HD(partition, GPT, GUID, first, sectors)/File(path)/End:
// a short form that the firmware completes by finding the partition's GUID
// on its disks.
std::vector<uint8_t> DevicePath(const PartitionFile& file);

// A load option: attributes, the length of the device path, the
// description (UTF-16, NUL-terminated), the device path, optional data.
struct LoadOption {
    uint32_t attributes = kLoadOptionActive;
    std::u16string description;
    std::vector<uint8_t> devicePath;
    std::vector<uint8_t> optionalData;
};
std::vector<uint8_t> WriteLoadOption(const LoadOption& option);
// Reads a variable's value as a load option: nullopt when the record is
// cut short, the description has no terminating NUL or the device path's
// nodes do not fill its length up to an end node. Never reads beyond
// `bytes`.
std::optional<LoadOption> ParseLoadOption(std::span<const uint8_t> bytes);

// "Boot0003" <-> 3: four upper-case hexadecimal digits after "Boot";
// nullopt for any other name (BootOrder, BootNext, boot0003 ...).
std::optional<uint16_t> BootNumber(std::string_view name);
std::string BootName(uint16_t number);
// The smallest number not in `used`; nullopt when all 65536 are.
std::optional<uint16_t> FreeBootNumber(std::span<const uint16_t> used);
// The value of BootNext (and of one BootOrder slot): the number, 16 bits.
std::vector<uint8_t> BootNextValue(uint16_t number);

} // namespace vk::efi
