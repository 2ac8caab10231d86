// The firmware's variables of a UEFI PC, through efivarfs: each variable is
// a file "Name-vendor GUID" whose content is the variable's 4-byte
// attributes (little-endian) followed by its value.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vk {

class EfiVariables {
  public:
    // `directory`: where the variables are (efivarfs, or a directory that
    // stands in for it).
    explicit EfiVariables(std::string directory) : dir_(std::move(directory)) {}

    // The names (without the GUID) of the variables of vendor `guid`
    // (lower case, as efivarfs names them).
    std::vector<std::string> Names(const std::string& guid) const;
    // A variable's attributes and value; nullopt when it does not exist or
    // is shorter than its attributes.
    struct Value {
        uint32_t attributes = 0;
        std::vector<uint8_t> bytes;
    };
    std::optional<Value> Read(const std::string& name, const std::string& guid) const;
    // Creates or replaces a variable with one write of attributes and
    // value, as efivarfs needs; an existing variable's file is made
    // writable first (efivarfs marks most of them immutable). False with
    // the reason in *why.
    bool Write(const std::string& name, const std::string& guid, uint32_t attributes,
               std::span<const uint8_t> value, std::string* why) const;

  private:
    std::string Path(const std::string& name, const std::string& guid) const {
        return dir_ + "/" + name + "-" + guid;
    }
    std::string dir_;
};

// The directory of the firmware's variables when this program runs on the
// network boot image of a UEFI PC (its /init makes /run/vesklor and mounts
// efivarfs); empty anywhere else, so that a program started on some other
// machine never reads or changes that machine's firmware variables.
std::string FirmwareVariableDirectory();

// What firmware started the network boot image: "UEFI Secure Boot", "UEFI"
// or "BIOS"; empty when the program does not run on that image.
std::string FirmwareKind();

} // namespace vk
