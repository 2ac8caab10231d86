// The BOOTP reply as script variables: every field and vendor option of the
// accepted reply becomes a variable "BOOTP-<name>" or "DHCP-<name>". The
// network library knows no interpreter: the program passes the setter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

// Sets the variable prefix + name to value (the interpreter's SetVarPrefix).
using BootpVarSetter = void (*)(const char* prefix, const char* name, const char* value);

constexpr const char* BOOTPPrefix = "BOOTP-";
constexpr const char* DHCPPrefix = "DHCP-";

// Publishes a reply of `length` bytes (option walks never pass it).
void SetBOOTPVars(const uint8_t* reply, size_t length, BootpVarSetter set);
// Reads one option area; returns the option-overload flags seen (bit 0: the
// file field holds options, bit 1: the server-name field does).
int ReadBOOTPVendor(const uint8_t* area, size_t length, BootpVarSetter set);
// Finds one option's data in a reply (vendor area, then the overloaded
// fields): its data and length, or null. Used for the boot file.
const uint8_t* FindBOOTPOption(const uint8_t* reply, size_t length, uint8_t code,
                               size_t* optionLength);
// Makes a remote name ([gw/]server[@port]:file) the next boot file and,
// when it names a server, the new server and gateway; prints the result.
void PatchBOOTPFile(const char* remoteName);

} // namespace vk
