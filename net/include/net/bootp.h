// BOOTP/DHCP discovery of the batch program: it stands in for a boot PROM,
// broadcasts one DHCP DISCOVER and keeps the accepted reply, the boot file
// and the server and gateway addresses for the rest of the run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

// The reply and request buffers, and the fields of the BOOTP layout.
constexpr size_t kBootpSize = 1736;
constexpr size_t kBootpSent = 576; // bytes of the request put on the wire
constexpr size_t kBootpMinReply = 300;
constexpr size_t kBootpOp = 0, kBootpHtype = 1, kBootpHlen = 2, kBootpHops = 3;
constexpr size_t kBootpXid = 4, kBootpSecs = 8, kBootpFlags = 10;
constexpr size_t kBootpCiaddr = 12, kBootpYiaddr = 16, kBootpSiaddr = 20, kBootpGiaddr = 24;
constexpr size_t kBootpChaddr = 28, kBootpChaddrSize = 16;
constexpr size_t kBootpSname = 44, kBootpSnameSize = 64;
constexpr size_t kBootpFile = 108, kBootpFileSize = 128;
constexpr size_t kBootpVendor = 236, kBootpOptions = 240;
constexpr size_t kBootpVendorSize = 1020; // the option area after the cookie, at most
constexpr uint32_t kBootpXidValue = 1234;

// Server and gateway addresses (network order), from siaddr and giaddr of
// the reply; the variables BOOTP-Server-IP and BOOTP-Gateway-IP write them.
extern uint8_t srvip[4];
extern uint8_t gwip[4];

// Builds a DHCP request in `request` (kBootpSize bytes, zeroed here):
// message type, optional requested address and server identifier, the
// parameter list and the maximum message size. `hw` is 6 bytes.
void bootp_open(uint8_t* request, uint8_t type, const uint8_t* requested, const uint8_t* server,
                const uint8_t* hw);

// What discovery makes of one datagram received for `request`.
enum class BootpVerdict {
    Accept, // the reply to keep
    Ignore, // not for us (another chaddr): keep waiting
    Refuse, // malformed or not a reply to this request: discovery ends
};
BootpVerdict bootp_check(const uint8_t* request, const uint8_t* reply, size_t length);

// Probes for the boot PROM once: 1 when a BOOTP/DHCP reply was accepted.
int CheckBootPROM();
bool BootPROMPresent();
// The accepted reply (kBootpSize bytes, zero past its length) or null, and
// the number of bytes that really arrived.
const uint8_t* GetBOOTPReply();
size_t GetBOOTPReplyLength();
// Keeps `reply` as if discovery had accepted it (length bytes, at most
// kBootpSize): boot file, server and gateway are taken from it. Used by
// discovery itself and by tests of the variables.
void AcceptBOOTPReply(const uint8_t* reply, size_t length);
// The current boot file name ("" without a reply); PatchBOOTPFile replaces it.
const char* GetBootFile();
void SetBootFile(const char* name);

} // namespace vk
