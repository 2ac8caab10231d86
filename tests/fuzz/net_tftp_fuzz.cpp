// Fuzzes the TFTP client's read loop with hostile datagrams: the input is
// cut into datagrams (a length byte each) that a loopback "server" sends to
// the client after its read request, partly from a second, foreign port.
// Every read must return within its bounds and never exceed a block; the
// waits are shortened so that timeouts take milliseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "loopback.h"
#include "net/tftp.h"
#include "net/tftp_packet.h"
#include "tftp_internal.h"

using fuzz::Check;

static int UdpOnLoopback(sockaddr_in* address) {
    return fuzz::OnLoopback(SOCK_DGRAM, address);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vk::tftp_wait_divisor = 1000;
    static int server = -1, foreign = -1;
    static sockaddr_in serverAddress{}, foreignAddress{};
    if (server < 0) {
        server = UdpOnLoopback(&serverAddress);
        foreign = UdpOnLoopback(&foreignAddress);
    }
    const uint8_t loopback[4] = {127, 0, 0, 1};
    if (vk::OpenTFTP("fuzz", nullptr, loopback, ntohs(serverAddress.sin_port)) != 0) return 0;
    uint8_t request[600];
    sockaddr_in client{};
    socklen_t n = sizeof client;
    ssize_t got =
        recvfrom(server, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&client), &n);
    Check(got > 0);
    size_t p = 0;
    int packets = 0;
    while (p < size && packets < 40) {
        size_t length = data[p++];
        if (data[p - 1] & 0x80) length = (length & 0x7F) * 12; // long ones too
        if (length > size - p) length = size - p;
        int from = (packets % 7 == 6) ? foreign : server;
        sendto(from, data + p, length, 0, reinterpret_cast<sockaddr*>(&client), sizeof client);
        p += length;
        ++packets;
    }
    uint8_t block[vk::kTftpBlockMax + 64];
    std::memset(block + vk::kTftpBlockMax, 0xA5, 64);
    for (int reads = 0; reads < 64; ++reads) {
        int r = vk::ReadTFTP(block);
        Check(r >= -1 && r <= vk::kTftpBlockMax);
        if (r <= 0) break;
    }
    for (int i = 0; i < 64; ++i)
        Check(block[vk::kTftpBlockMax + i] == 0xA5);
    vk::CloseTFTP();
    // Drain what the client sent (acknowledgements, repeated requests).
    while (recv(server, request, sizeof request, MSG_DONTWAIT) > 0) {
    }
    return 0;
}
