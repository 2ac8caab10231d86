// BOOTP/DHCP discovery: one DHCP DISCOVER broadcast up to five times, two
// seconds apart; the first reply to our request is kept for the whole run.
#include "net/bootp.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/bootpvars.h"
#include "platform/types.h"
#include "platform/util.h"

namespace vk {

uint8_t srvip[4] = {};
uint8_t gwip[4] = {};

namespace {

constexpr uint8_t kCookie[4] = {99, 130, 83, 99};
constexpr int kAttempts = 5;
constexpr int kWaitMs = 2000;

bool present = false;
uint8_t reply[kBootpSize];
size_t replyLength = 0;
char bootfile[kBootpFileSize + 1] = "";

uint8_t request[kBootpSize];
uint8_t received[kBootpSize];
int sender = -1;
int receiver = -1;

void CloseSockets() {
    if (sender >= 0) close(sender);
    if (receiver >= 0) close(receiver);
    sender = receiver = -1;
}

// The hardware address of "eth0", read on a throw-away datagram socket.
bool ReadHardwareAddress(uint8_t* hw) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "eth0", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFHWADDR, &request) == 0;
    close(s);
    if (ok) std::memcpy(hw, request.ifr_hwaddr.sa_data, 6);
    return ok;
}

bool OpenSockets() {
    sender = socket(AF_INET, SOCK_DGRAM, 0);
    receiver = socket(AF_INET, SOCK_DGRAM, 0);
    if (sender < 0 || receiver < 0) return false;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    int on = 1;
    if (bind(sender, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        setsockopt(sender, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return false;
    sockaddr_in all{};
    all.sin_family = AF_INET;
    all.sin_port = htons(67);
    all.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    if (connect(sender, reinterpret_cast<sockaddr*>(&all), sizeof all) != 0) return false;
    setsockopt(receiver, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    any.sin_port = htons(68);
    return bind(receiver, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

} // namespace

void bootp_open(uint8_t* out, uint8_t type, const uint8_t* requested, const uint8_t* server,
                const uint8_t* hw) {
    std::memset(out, 0, kBootpSize);
    out[kBootpOp] = 1;
    out[kBootpHtype] = 1;
    out[kBootpHlen] = 6;
    out[kBootpHops] = 0;
    st32(out + kBootpXid, kBootpXidValue); // little-endian: D2 04 00 00
    std::memcpy(out + kBootpChaddr, hw, 6);
    // The vendor area: cookie, message type, optional addresses, the
    // parameter list (1 to 96 and 128 to 191), the maximum size, the end.
    uint8_t* p = out + kBootpVendor;
    std::memcpy(p, kCookie, 4);
    p += 4;
    *p++ = 53;
    *p++ = 1;
    *p++ = type;
    if (requested) {
        *p++ = 50;
        *p++ = 4;
        std::memcpy(p, requested, 4);
        p += 4;
    }
    if (server) {
        *p++ = 54;
        *p++ = 4;
        std::memcpy(p, server, 4);
        p += 4;
    }
    *p++ = 55;
    *p++ = 160;
    for (int code = 1; code <= 96; ++code)
        *p++ = uint8_t(code);
    for (int code = 128; code <= 191; ++code)
        *p++ = uint8_t(code);
    *p++ = 57;
    *p++ = 2;
    *p++ = 0x05;
    *p++ = 0x08;
    *p++ = 255;
}

BootpVerdict bootp_check(const uint8_t* req, const uint8_t* rep, size_t length) {
    if (length < kBootpMinReply || length > kBootpSize || rep[kBootpOp] != 2)
        return BootpVerdict::Refuse;
    // A reply to another client on the same network is not ours to take.
    size_t hlen = req[kBootpHlen] > kBootpChaddrSize ? kBootpChaddrSize : req[kBootpHlen];
    if (std::memcmp(rep + kBootpChaddr, req + kBootpChaddr, hlen) != 0) return BootpVerdict::Ignore;
    if (rep[kBootpHtype] != req[kBootpHtype] || rep[kBootpHlen] != req[kBootpHlen] ||
        rep[kBootpHops] != req[kBootpHops] || std::memcmp(rep + kBootpXid, req + kBootpXid, 4) != 0)
        return BootpVerdict::Refuse;
    return BootpVerdict::Accept;
}

void AcceptBOOTPReply(const uint8_t* data, size_t length) {
    if (length > kBootpSize) length = kBootpSize;
    std::memset(reply, 0, sizeof reply);
    std::memcpy(reply, data, length);
    replyLength = length;
    present = true;
    std::memcpy(srvip, reply + kBootpSiaddr, 4);
    std::memcpy(gwip, reply + kBootpGiaddr, 4);
    // The boot file is the file field, unless option overload says that
    // field holds options, or the server left it empty and sent the name as
    // option 67 (as servers do when the request lists that option).
    size_t n = 0;
    const uint8_t* overload = FindBOOTPOption(reply, replyLength, 52, &n);
    const uint8_t* name = reply + kBootpFile;
    size_t nameSize = kBootpFileSize;
    if ((overload && n >= 1 && (overload[0] & 1)) || name[0] == 0) {
        name = FindBOOTPOption(reply, replyLength, 67, &nameSize);
        if (!name) nameSize = 0;
    }
    size_t used = 0;
    while (used < nameSize && used < kBootpFileSize && name[used] != 0)
        ++used;
    if (used) std::memcpy(bootfile, name, used);
    bootfile[used] = '\0';
}

int CheckBootPROM() {
    if (geteuid() != 0) Log("WARNING : Not running as root (some functions may not work)\r\n");
    uint8_t hw[6];
    if (!ReadHardwareAddress(hw)) {
        Log("  Warning: no hardware address for eth0\r\n");
        return 0;
    }
    bootp_open(request, 1, nullptr, nullptr, hw);
    if (!OpenSockets()) {
        CloseSockets();
        return 0;
    }
    Log("- Linux BootPROM emulation started\r\n");
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (send(sender, request, kBootpSent, 0) != ssize_t(kBootpSent)) {
            CloseSockets();
            return 0;
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        for (;;) {
            pollfd wait{receiver, POLLIN, 0};
            int ready = poll(&wait, 1, RemainingMs(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break; // this attempt timed out
            ssize_t n = recv(receiver, received, sizeof received, 0);
            BootpVerdict verdict =
                n < 0 ? BootpVerdict::Refuse : bootp_check(request, received, size_t(n));
            if (verdict == BootpVerdict::Ignore) continue;
            CloseSockets();
            if (verdict == BootpVerdict::Refuse) return 0;
            AcceptBOOTPReply(received, size_t(n));
            return 1;
        }
    }
    Log("  Warning: no BOOTP/DHCP reply received\r\n");
    CloseSockets();
    return 0;
}

bool BootPROMPresent() {
    return present;
}

const uint8_t* GetBOOTPReply() {
    return present ? reply : nullptr;
}

size_t GetBOOTPReplyLength() {
    return present ? replyLength : 0;
}

const char* GetBootFile() {
    return bootfile;
}

void SetBootFile(const char* name) {
    std::strncpy(bootfile, name ? name : "", kBootpFileSize);
    bootfile[kBootpFileSize] = '\0';
}

} // namespace vk
