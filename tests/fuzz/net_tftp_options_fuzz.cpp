// Fuzzes the TFTP client with the options it asks for: a loopback "server"
// answers the request with no OACK, a well-formed one, ERROR 8 or OACK bytes
// taken from the input, then sends DATA blocks in an order the input picks
// (in sequence, back a few, a block skipped, stray OACK and other packets).
// Every block's bytes follow from its number, so each read must hand out
// exactly the next block of the file, or end: never more than the agreed
// block size (at most 1408), never out of order, never past the buffer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "loopback.h"
#include "net/tftp.h"
#include "net/tftp_packet.h"
#include "net/wire.h"
#include "tftp_internal.h"

using fuzz::Check;

static int UdpOnLoopback(sockaddr_in* address) {
    return fuzz::OnLoopback(SOCK_DGRAM, address);
}

static uint8_t Content(uint16_t block, size_t i) {
    return uint8_t(block * 31 + i * 7 + 1);
}

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t Next() { return at < size ? data[at++] : 0; }
    bool More() const { return at < size; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vk::tftp_wait_divisor = 1000;
    static int server = -1;
    static sockaddr_in serverAddress{};
    if (server < 0) server = UdpOnLoopback(&serverAddress);
    const uint8_t loopback[4] = {127, 0, 0, 1};
    if (vk::OpenTFTP("fuzz", nullptr, loopback, ntohs(serverAddress.sin_port)) != 0) return 0;
    uint8_t request[600];
    sockaddr_in client{};
    socklen_t n = sizeof client;
    ssize_t got =
        recvfrom(server, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&client), &n);
    Check(got > 0);
    auto send = [&](const uint8_t* packet, size_t length) {
        sendto(server, packet, length, 0, reinterpret_cast<sockaddr*>(&client), sizeof client);
    };

    Input in{data, size};
    uint8_t packet[4 + 1600];
    // The block size the server sends with: the standard 512 unless an OACK
    // says otherwise (the client may still not take it).
    size_t block = 512;
    switch (in.Next() & 3) {
    case 0: break;
    case 1: {
        block = 8 + (size_t(in.Next()) << 8 | in.Next()) % 1401;
        char text[96];
        int length = std::snprintf(text, sizeof text, "blksize%c%zu%cwindowsize%c%u%ctsize%c%u%c",
                                   0, block, 0, 0, 1 + in.Next() % 40, 0, 0, 1000u, 0);
        vk::stn16(packet, vk::kTftpOack);
        std::memcpy(packet + 2, text, size_t(length));
        send(packet, 2 + size_t(length));
        break;
    }
    case 2: {
        size_t length = vk::tftp_error(packet, sizeof packet, vk::kTftpErrorOptions, "no");
        send(packet, length);
        break;
    }
    default: {
        size_t length = in.Next() % 120;
        vk::stn16(packet, vk::kTftpOack);
        for (size_t i = 0; i < length; ++i)
            packet[2 + i] = in.Next();
        send(packet, 2 + length);
        block = 8 + size_t(in.Next()) * 5;
    }
    }
    const uint16_t blocks = uint16_t(1 + in.Next() % 60); // the last one is short
    uint16_t cursor = 0;
    for (int packets = 0; packets < 120 && in.More(); ++packets) {
        uint8_t op = in.Next();
        switch (op & 3) {
        case 0: // the next block
            cursor = uint16_t(cursor + 1);
            break;
        case 1: // back a few: repeats
            cursor = uint16_t(cursor > (op >> 2 & 7) ? cursor - (op >> 2 & 7) : 1);
            break;
        case 2: // one block lost
            cursor = uint16_t(cursor + 2);
            break;
        default: { // anything but DATA, OACK repeats included
            size_t length = (op >> 2) % 24;
            for (size_t i = 0; i < length; ++i)
                packet[i] = in.Next();
            if (length >= 2 && vk::ldn16(packet) == vk::kTftpData) packet[1] = 9;
            send(packet, length);
            continue;
        }
        }
        if (cursor > blocks) cursor = blocks;
        size_t length = cursor == blocks ? (block * 3 / 4) : block;
        vk::stn16(packet, vk::kTftpData);
        vk::stn16(packet + 2, cursor);
        for (size_t i = 0; i < length; ++i)
            packet[4 + i] = Content(cursor, i);
        send(packet, 4 + length);
    }

    uint8_t buffer[vk::kTftpBlockMax + 64];
    std::memset(buffer + vk::kTftpBlockMax, 0xA5, 64);
    for (uint16_t reads = 1; reads <= 80; ++reads) {
        int r = vk::ReadTFTP(buffer);
        vk::TftpAgreement agreed = vk::TftpAgreed();
        Check(agreed.blockSize >= 8 && agreed.blockSize <= vk::kTftpBlockMax);
        Check(agreed.window >= 1);
        Check(r >= -1 && r <= agreed.blockSize);
        if (r <= 0) break;
        // Read number k hands out block k of the file, as it was sent.
        for (int i = 0; i < r; ++i)
            Check(buffer[i] == Content(reads, size_t(i)));
    }
    for (int i = 0; i < 64; ++i)
        Check(buffer[vk::kTftpBlockMax + i] == 0xA5);
    vk::CloseTFTP();
    while (recv(server, request, sizeof request, MSG_DONTWAIT) > 0) {
    }
    return 0;
}
