// The accepted BOOTP/DHCP reply as script variables, and the replacement of
// the boot file by the tftpboot command.
#include "net/bootpvars.h"

#include <cstdio>
#include <cstring>

#include "net/bootp.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

enum Kind : uint8_t { kUnknown = 0, kAddress = 1, kNumber = 2, kString = 3 };

struct OptionRow {
    const char* name; // null: "Option-<code>"
    Kind kind;
    bool dhcp;
};

// One row per option code 1 to 76 (index = code); 0 and 255 frame the
// area, 52 (overload) is consumed, 77 and above have no row.
constexpr OptionRow kRows[77] = {
    {nullptr, kUnknown, false},                     // 0
    {"Subnet-Mask", kAddress, false},               // 1
    {"Time-Offset", kNumber, false},                // 2
    {"Routers", kAddress, false},                   // 3
    {"Time-Servers", kAddress, false},              // 4
    {"Name-Servers", kAddress, false},              // 5
    {"Domain-name-Servers", kAddress, false},       // 6
    {"Log-Servers", kAddress, false},               // 7
    {"Cookie-Servers", kAddress, false},            // 8
    {"Lpr-Servers", kAddress, false},               // 9
    {"Impress-Servers", kAddress, false},           // 10
    {"Resource-Location-Servers", kAddress, false}, // 11
    {"Host-Name", kString, false},                  // 12
    {"Boot-Size", kNumber, false},                  // 13
    {"Merit-Dump", kString, false},                 // 14
    {"Domain-Name", kString, false},                // 15
    {"Swap-Servers", kAddress, false},              // 16
    {"Root-Path", kString, false},                  // 17
    {"Extensions-Path", kString, false},            // 18
    {"IP-Forwarding", kNumber, false},              // 19
    {nullptr, kNumber, false},                      // 20
    {nullptr, kAddress, false},                     // 21
    {nullptr, kNumber, false},                      // 22
    {nullptr, kNumber, false},                      // 23
    {nullptr, kNumber, false},                      // 24
    {nullptr, kAddress, false},                     // 25
    {"Interface-MTU", kNumber, false},              // 26
    {"All-Subnets-Are-Local", kNumber, false},      // 27
    {"Broadcast-Address", kAddress, false},         // 28
    {nullptr, kNumber, false},                      // 29
    {nullptr, kNumber, false},                      // 30
    {nullptr, kNumber, false},                      // 31
    {nullptr, kAddress, false},                     // 32
    {nullptr, kAddress, false},                     // 33
    {nullptr, kNumber, false},                      // 34
    {nullptr, kNumber, false},                      // 35
    {nullptr, kNumber, false},                      // 36
    {nullptr, kNumber, false},                      // 37
    {nullptr, kNumber, false},                      // 38
    {nullptr, kNumber, false},                      // 39
    {"NIS-Domain", kString, false},                 // 40
    {"NIS-Servers", kAddress, false},               // 41
    {"NTP-Servers", kAddress, false},               // 42
    {nullptr, kUnknown, false},                     // 43
    {nullptr, kAddress, false},                     // 44
    {nullptr, kAddress, false},                     // 45
    {nullptr, kNumber, false},                      // 46
    {nullptr, kString, false},                      // 47
    {"Font-Servers", kAddress, false},              // 48
    {"X-Display-Manager", kAddress, false},         // 49
    {nullptr, kAddress, true},                      // 50
    {"IP-Address-Lease-Time", kNumber, true},       // 51
    {nullptr, kUnknown, false},                     // 52 (overload)
    {"Message-Type", kNumber, true},                // 53
    {"Server-Identifier", kAddress, true},          // 54
    {nullptr, kUnknown, true},                      // 55
    {"Message", kString, true},                     // 56
    {nullptr, kNumber, true},                       // 57
    {"Renewal-Time", kNumber, true},                // 58
    {"Rebinding-Time", kNumber, true},              // 59
    {"Vendor-Class", kString, true},                // 60
    {nullptr, kUnknown, true},                      // 61
    {nullptr, kUnknown, true},                      // 62
    {nullptr, kUnknown, true},                      // 63
    {"NIS+-Domain", kString, false},                // 64
    {"NIS+-Servers", kAddress, false},              // 65
    {"Server-Name", kString, false},                // 66
    {"Bootfile", kString, false},                   // 67
    {"Mobile-IP-Agent", kAddress, false},           // 68
    {"SMTP-Servers", kAddress, false},              // 69
    {"POP3-Servers", kAddress, false},              // 70
    {"NNTP-Servers", kAddress, false},              // 71
    {"WWW-Servers", kAddress, false},               // 72
    {"Finger-Servers", kAddress, false},            // 73
    {"IRC-Servers", kAddress, false},               // 74
    {"StreetTalk-Servers", kAddress, false},        // 75
    {"STDA-Servers", kAddress, false},              // 76
};

// Values are at most 255 bytes of data: 63 addresses of 16 characters, or
// 255 bytes in hexadecimal (3 characters each), fit.
constexpr size_t kValueMax = 1024;

// Walks one option area of `length` bytes and calls fn(code, data, n) for
// each option; returns the overload flags of option 52. Every step checks
// the bytes left, so a damaged area ends the walk quietly.
template <typename Fn> int WalkOptions(const uint8_t* area, size_t length, Fn fn) {
    int overload = 0;
    size_t i = 0;
    while (i < length && area[i] != 255) {
        if (area[i] == 0) {
            while (i < length && area[i] == 0)
                ++i;
            continue;
        }
        if (length - i < 2) break;
        uint8_t code = area[i];
        uint8_t n = area[i + 1];
        if (n == 255 || length - i < size_t(n) + 2) break;
        const uint8_t* data = area + i + 2;
        if (code == 52) {
            if (n >= 1) overload |= data[0];
        } else {
            fn(code, data, n);
        }
        i += size_t(n) + 2;
    }
    return overload;
}

void FormatAddresses(const uint8_t* data, size_t n, char* out) {
    char* p = out;
    *p = 0;
    for (size_t k = 0; k + 4 <= n; k += 4) {
        if (p != out) *p++ = ' ';
        iptoa(data + k, p);
        p += std::strlen(p);
    }
}

void FormatNumbers(const uint8_t* data, size_t n, char* out) {
    char* p = out;
    *p = 0;
    for (size_t k = 0; k < n; k += 4) {
        uint32_t value = 0;
        for (size_t j = k; j < k + 4 && j < n; ++j)
            value = (value << 8) | data[j];
        if (p != out) *p++ = ' ';
        ltoa(int32_t(value), p);
        p += std::strlen(p);
    }
}

void FormatString(const uint8_t* data, size_t n, char* out) {
    std::memcpy(out, data, n);
    out[n] = 0;
}

bool Printable(uint8_t c) {
    return c >= 0x20 && c < 0x7F;
}

void FormatUnknown(const uint8_t* data, size_t n, char* out) {
    bool text = true;
    for (size_t k = 0; k + 1 < n; ++k)
        if (!Printable(data[k])) text = false;
    if (n > 0 && !Printable(data[n - 1]) && data[n - 1] != 0) text = false;
    if (text)
        FormatString(data, n, out);
    else
        hwtoa(data, int(n), out);
}

void StoreOption(uint8_t code, const uint8_t* data, uint8_t n, BootpVarSetter set) {
    OptionRow row = code < 77 ? kRows[code] : OptionRow{nullptr, kUnknown, false};
    char name[16];
    std::snprintf(name, sizeof name, "Option-%u", unsigned(code));
    char value[kValueMax];
    switch (row.kind) {
    case kAddress: FormatAddresses(data, n, value); break;
    case kNumber: FormatNumbers(data, n, value); break;
    case kString: FormatString(data, n, value); break;
    default: FormatUnknown(data, n, value); break;
    }
    set(row.dhcp ? DHCPPrefix : BOOTPPrefix, row.name ? row.name : name, value);
}

// The vendor options after the cookie: at most 1020 bytes, never past the
// bytes that arrived.
size_t VendorLength(const uint8_t* reply, size_t length) {
    static constexpr uint8_t kCookie[4] = {99, 130, 83, 99};
    if (length < kBootpOptions || std::memcmp(reply + kBootpVendor, kCookie, 4) != 0) return 0;
    size_t n = length - kBootpOptions;
    return n < kBootpVendorSize ? n : kBootpVendorSize;
}

} // namespace

int ReadBOOTPVendor(const uint8_t* area, size_t length, BootpVarSetter set) {
    return WalkOptions(area, length, [set](uint8_t code, const uint8_t* data, uint8_t n) {
        StoreOption(code, data, n, set);
    });
}

void SetBOOTPVars(const uint8_t* reply, size_t length, BootpVarSetter set) {
    if (!reply || length < kBootpVendor) return; // shorter than its fields
    char text[kValueMax];
    size_t hlen = reply[kBootpHlen] < kBootpChaddrSize ? reply[kBootpHlen] : kBootpChaddrSize;
    hwtoa(reply + kBootpChaddr, int(hlen), text);
    set(BOOTPPrefix, "Client-ID", text);
    iptoa(reply + kBootpYiaddr, text);
    set(BOOTPPrefix, "Your-IP", text);
    iptoa(srvip, text);
    set(BOOTPPrefix, "Server-IP", text);
    iptoa(gwip, text);
    set(BOOTPPrefix, "Gateway-IP", text);
    set(BOOTPPrefix, "Bootfile", GetBootFile());

    int overload = 0;
    if (size_t n = VendorLength(reply, length))
        overload = ReadBOOTPVendor(reply + kBootpOptions, n, set);
    if (overload & 1) ReadBOOTPVendor(reply + kBootpFile, kBootpFileSize, set);
    if (overload & 2) {
        ReadBOOTPVendor(reply + kBootpSname, kBootpSnameSize, set);
    } else {
        FormatString(reply + kBootpSname, kBootpSnameSize, text);
        set(BOOTPPrefix, "Server-Name", text);
    }
}

const uint8_t* FindBOOTPOption(const uint8_t* reply, size_t length, uint8_t code,
                               size_t* optionLength) {
    const uint8_t* found = nullptr;
    size_t foundLength = 0;
    auto look = [&](uint8_t c, const uint8_t* data, uint8_t n) {
        if (c == code) {
            found = data;
            foundLength = n;
        }
    };
    int overload = 0;
    if (reply && length >= kBootpVendor) {
        size_t n = VendorLength(reply, length);
        overload = n ? WalkOptions(reply + kBootpOptions, n, look) : 0;
        if (code == 52 && overload) {
            // The overload option itself is consumed by the walk.
            static uint8_t flags;
            flags = uint8_t(overload);
            *optionLength = 1;
            return &flags;
        }
        if (overload & 1) WalkOptions(reply + kBootpFile, kBootpFileSize, look);
        if (overload & 2) WalkOptions(reply + kBootpSname, kBootpSnameSize, look);
    }
    *optionLength = foundLength;
    return found;
}

void PatchBOOTPFile(const char* remoteName) {
    uint8_t* gateway = nullptr;
    uint8_t* server = nullptr;
    uint16_t port = 0;
    const char* file = ParseRemoteFilename(remoteName, &gateway, &server, &port);
    SetBootFile(file);
    if (server) {
        std::memcpy(srvip, server, 4);
        if (gateway)
            std::memcpy(gwip, gateway, 4);
        else
            std::memset(gwip, 0, 4);
    }
    PrintString("Next bootfile is ");
    PrintString(GetBootFile());
    PrintString(" on ");
    PrintIP(srvip);
    PrintString(" (gw=");
    PrintIP(gwip);
    PrintString(")\r\n");
}

} // namespace vk
