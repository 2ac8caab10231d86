// Boot entries of UEFI firmware (see efiboot.h): device paths and load
// options, built and read field by field.
#include "disk/efiboot.h"

#include <array>
#include <cstdio>

#include "platform/types.h"

namespace vk::efi {

namespace {

// Device path nodes: type, subtype, 16-bit length of the whole node.
constexpr uint8_t kMediaType = 0x04;
constexpr uint8_t kHardDriveSubtype = 0x01;
constexpr uint8_t kFilePathSubtype = 0x04;
constexpr uint8_t kEndType = 0x7F;
constexpr uint8_t kEndEntireSubtype = 0xFF;
constexpr size_t kNodeHeader = 4;

// The hard drive node after its header.
constexpr size_t kHdPartition = 4;  // u32 partition number
constexpr size_t kHdStart = 8;      // u64 first sector
constexpr size_t kHdSize = 16;      // u64 sectors
constexpr size_t kHdSignature = 24; // 16 bytes: the partition's GUID
constexpr size_t kHdFormat = 40;    // u8: 2 = GUID partition table
constexpr size_t kHdSigType = 41;   // u8: 2 = GUID signature
constexpr size_t kHdLength = 42;
constexpr uint8_t kFormatGpt = 0x02;
constexpr uint8_t kSignatureGuid = 0x02;

// The load option's fixed fields.
constexpr size_t kOptAttributes = 0; // u32
constexpr size_t kOptPathLength = 4; // u16 bytes of the device path list
constexpr size_t kOptDescription = 6;

void PutNodeHeader(uint8_t* p, uint8_t type, uint8_t subtype, size_t length) {
    p[0] = type;
    p[1] = subtype;
    st16(p + 2, uint16_t(length));
}

} // namespace

gpt::Guid EspType() {
    return *gpt::ParseGuid("C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
}

std::vector<uint8_t> DevicePath(const PartitionFile& file) {
    const size_t fileNode = kNodeHeader + 2 * (file.path.size() + 1);
    std::vector<uint8_t> out(kHdLength + fileNode + kNodeHeader, 0);
    uint8_t* hd = out.data();
    PutNodeHeader(hd, kMediaType, kHardDriveSubtype, kHdLength);
    st32(hd + kHdPartition, file.partition);
    st64(hd + kHdStart, file.first);
    st64(hd + kHdSize, file.sectors);
    for (size_t i = 0; i < file.unique.size(); ++i)
        hd[kHdSignature + i] = file.unique[i];
    hd[kHdFormat] = kFormatGpt;
    hd[kHdSigType] = kSignatureGuid;
    uint8_t* path = hd + kHdLength;
    PutNodeHeader(path, kMediaType, kFilePathSubtype, fileNode);
    for (size_t i = 0; i < file.path.size(); ++i)
        st16(path + kNodeHeader + 2 * i, uint16_t(uint8_t(file.path[i])));
    // The UTF-16 NUL is already zero.
    PutNodeHeader(path + fileNode, kEndType, kEndEntireSubtype, kNodeHeader);
    return out;
}

std::vector<uint8_t> WriteLoadOption(const LoadOption& option) {
    const size_t description = 2 * (option.description.size() + 1);
    std::vector<uint8_t> out(kOptDescription + description + option.devicePath.size() +
                             option.optionalData.size());
    st32(out.data() + kOptAttributes, option.attributes);
    st16(out.data() + kOptPathLength, uint16_t(option.devicePath.size()));
    uint8_t* p = out.data() + kOptDescription;
    for (char16_t c : option.description) {
        st16(p, uint16_t(c));
        p += 2;
    }
    st16(p, 0);
    p += 2;
    for (uint8_t b : option.devicePath)
        *p++ = b;
    for (uint8_t b : option.optionalData)
        *p++ = b;
    return out;
}

std::optional<LoadOption> ParseLoadOption(std::span<const uint8_t> bytes) {
    if (bytes.size() < kOptDescription) return std::nullopt;
    LoadOption option;
    option.attributes = ld32(bytes.data() + kOptAttributes);
    const size_t pathLength = ld16(bytes.data() + kOptPathLength);
    size_t at = kOptDescription;
    for (;;) {
        if (bytes.size() - at < 2) return std::nullopt; // no terminating NUL
        char16_t c = char16_t(ld16(bytes.data() + at));
        at += 2;
        if (c == 0) break;
        option.description.push_back(c);
    }
    if (bytes.size() - at < pathLength) return std::nullopt;
    // The nodes must fill the length exactly, the last one an end node.
    size_t node = 0;
    bool ended = false;
    while (node < pathLength) {
        if (pathLength - node < kNodeHeader) return std::nullopt;
        const uint8_t* p = bytes.data() + at + node;
        size_t length = ld16(p + 2);
        if (length < kNodeHeader || length > pathLength - node) return std::nullopt;
        node += length;
        ended = p[0] == kEndType && p[1] == kEndEntireSubtype;
        if (ended) break;
    }
    if (!ended || node != pathLength) return std::nullopt;
    option.devicePath.assign(bytes.begin() + long(at), bytes.begin() + long(at + pathLength));
    option.optionalData.assign(bytes.begin() + long(at + pathLength), bytes.end());
    return option;
}

std::optional<uint16_t> BootNumber(std::string_view name) {
    if (name.size() != 8 || name.substr(0, 4) != "Boot") return std::nullopt;
    uint16_t number = 0;
    for (char c : name.substr(4)) {
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return std::nullopt;
        number = uint16_t(number * 16 + digit);
    }
    return number;
}

std::string BootName(uint16_t number) {
    char text[9];
    std::snprintf(text, sizeof text, "Boot%04X", unsigned(number));
    return text;
}

std::optional<uint16_t> FreeBootNumber(std::span<const uint16_t> used) {
    std::vector<bool> taken(65536, false);
    for (uint16_t n : used)
        taken[n] = true;
    for (size_t n = 0; n < taken.size(); ++n)
        if (!taken[n]) return uint16_t(n);
    return std::nullopt;
}

std::vector<uint8_t> BootNextValue(uint16_t number) {
    std::vector<uint8_t> out(2);
    st16(out.data(), number);
    return out;
}

} // namespace vk::efi
