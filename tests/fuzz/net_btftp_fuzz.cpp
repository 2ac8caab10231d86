// Fuzzes the broadcast flavour of the TFTP client: a loopback "server"
// thread takes the client's control connection, queues the datagrams cut
// from the input (partly from a second, foreign port) and then answers the
// request, with or without the notes of a server that streams ahead (the
// data port it names is either of the two). Every read must stay within a
// block, and every block handed out must be a packet with that number sent
// from one and the same port, the noted one when there was a note: a window
// with a hole, stale window bytes or foreign data are faults.
// The waits are shortened so that timeouts take milliseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "loopback.h"
#include "net/tftp.h"
#include "net/tftp_packet.h"
#include "net/wire.h"
#include "tftp_internal.h"

namespace {

using fuzz::Check;
using fuzz::OnLoopback;

struct Datagram {
    int source; // 0 the server's port, 1 the foreign one
    std::vector<uint8_t> bytes;
};

// Input records: a control byte c, then
//   c < 0x80          a raw datagram of c bytes
//   0x80 <= c < 0xC0  a raw datagram of (c & 0x3F) * 24 bytes
//   c >= 0xC0         a data packet numbered by the next byte: a full one
//                     (with bit 0 from the foreign port), or with bit 5 a
//                     short one of (c & 0x1F) * 40 bytes
// Every seventh raw datagram comes from the foreign port too.
std::vector<Datagram> Cut(const uint8_t* data, size_t size) {
    std::vector<Datagram> out;
    size_t p = 0;
    int raw = 0;
    while (p < size && out.size() < 40) {
        uint8_t c = data[p++];
        Datagram d;
        d.source = 0;
        if (c >= 0xC0) {
            if (p >= size) break;
            uint8_t number = data[p++];
            size_t length = c & 0x20 ? (c & 0x1F) * 40 : vk::kTftpBlockMax;
            if ((c & 0x21) == 0x01) d.source = 1;
            d.bytes.resize(4 + length);
            vk::stn16(d.bytes.data(), vk::kBtftpData);
            vk::stn16(d.bytes.data() + 2, number);
            // Every packet's bytes differ, so that a stale copy shows.
            for (size_t i = 0; i < length; ++i)
                d.bytes[4 + i] = uint8_t(i * 31 + number * 7 + out.size());
        } else {
            if (++raw % 7 == 0) d.source = 1;
            size_t length = c < 0x80 ? c : (c & 0x3F) * 24;
            if (length > size - p) length = size - p;
            d.bytes.assign(data + p, data + p + length);
            p += length;
        }
        out.push_back(std::move(d));
    }
    return out;
}

// The server's side of one transfer. `answer` is its reply to the request.
void Serve(int listener, int sender[2], uint16_t dataPort, const std::vector<Datagram>& datagrams,
           const uint8_t* answer, size_t answerLength) {
    pollfd wait{listener, POLLIN, 0};
    if (poll(&wait, 1, 2000) <= 0) return;
    int conn = accept(listener, nullptr, nullptr);
    if (conn < 0) return;
    uint8_t request[600];
    wait = {conn, POLLIN, 0};
    if (poll(&wait, 1, 2000) > 0) recv(conn, request, sizeof request, MSG_DONTWAIT);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(dataPort);
    for (const Datagram& d : datagrams)
        sendto(sender[d.source], d.bytes.data(), d.bytes.size(), 0,
               reinterpret_cast<sockaddr*>(&to), sizeof to);
    send(conn, answer, answerLength, MSG_NOSIGNAL);
    // Acknowledgements until the client closes the stream.
    for (;;) {
        wait = {conn, POLLIN, 0};
        if (poll(&wait, 1, 2000) <= 0) break;
        if (recv(conn, request, sizeof request, 0) <= 0) break;
    }
    close(conn);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int listener = -1, sender[2] = {-1, -1};
    static uint16_t dataPort = 0, senderPort[2] = {};
    if (listener < 0) {
        uint16_t port = 0;
        listener = OnLoopback(SOCK_STREAM, &port);
        listen(listener, 4);
        vk::tftp_control_port = port;
        sender[0] = OnLoopback(SOCK_DGRAM, &senderPort[0]);
        sender[1] = OnLoopback(SOCK_DGRAM, &senderPort[1]);
        // A free port for the client's data, in place of the fixed one.
        int probe = OnLoopback(SOCK_DGRAM, &dataPort);
        close(probe);
        vk::tftp_data_port = dataPort;
        vk::tftp_wait_divisor = 1000;
    }
    if (size == 0) return 0;
    // The first byte: the client number (bits 0-3), the notes (bit 4) naming
    // the port of sender 0 or (bit 5) 1, or (0xFF) a reply that is no OACK.
    uint8_t answer[12];
    size_t answerLength = 4;
    vk::stn16(answer, data[0] == 0xFF ? vk::kTftpRrq : vk::kBtftpOack);
    vk::stn16(answer + 2, data[0] & 0x0F);
    int noted = -1;
    if (data[0] != 0xFF && (data[0] & 0x10)) {
        noted = (data[0] >> 5) & 1;
        answerLength += vk::btftp_ahead(answer + 4, 1);
        answerLength += vk::btftp_port(answer + 8, senderPort[noted]);
    }
    std::vector<Datagram> datagrams = Cut(data + 1, size - 1);
    std::thread server(Serve, listener, sender, dataPort, std::cref(datagrams), answer,
                       answerLength);

    const uint8_t loopback[4] = {127, 0, 0, 1};
    if (vk::OpenTFTP("fuzz", nullptr, loopback, vk::kTftpBroadcastPort) == 0) {
        uint8_t block[vk::kTftpBlockMax + 64];
        std::memset(block + vk::kTftpBlockMax, 0xA5, 64);
        // The ports every block so far could have come from.
        unsigned sources = noted < 0 ? 3 : 1u << noted;
        for (uint16_t number = 0; number < 40 * vk::kTftpWindow + 1; ++number) {
            int r = vk::ReadTFTP(block);
            Check(r >= -1 && r <= vk::kTftpBlockMax);
            if (r < 0) break;
            unsigned from = 0;
            for (const Datagram& d : datagrams) {
                const std::vector<uint8_t>& b = d.bytes;
                if (b.size() == size_t(r) + 4 && vk::ldn16(b.data()) == vk::kBtftpData &&
                    vk::ldn16(b.data() + 2) == number && std::memcmp(b.data() + 4, block, r) == 0)
                    from |= 1u << d.source;
            }
            sources &= from;
            Check(sources != 0);
            if (r < vk::kTftpBlockMax) break;
        }
        for (int i = 0; i < 64; ++i)
            Check(block[vk::kTftpBlockMax + i] == 0xA5);
        vk::CloseTFTP();
    }
    server.join();
    return 0;
}
