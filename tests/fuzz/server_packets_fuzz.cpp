// Fuzzes the packet parsers of tobrend-server: read and write requests with
// options (as datagrams and as the start of a control stream), client
// replies (ACK, ERROR) and the control stream's window acknowledgements.
// The first byte picks the parser; every result must lie inside the input,
// and an accepted request must build an OACK that parses back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/tftp_packet.h"
#include "net/wire.h"

static void Check(bool condition) {
    if (!condition) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t which = data[0];
    ++data;
    --size;
    switch (which % 4) {
    case 0: {
        vk::TftpRequest r;
        if (!vk::tftp_parse_request(data, size, &r)) return 0;
        Check(r.opcode == vk::kTftpRrq || r.opcode == vk::kTftpWrq);
        size_t name = std::strlen(r.name);
        Check(name > 0 && name < sizeof r.name && std::strlen(r.mode) < sizeof r.mode);
        Check(r.blksize == 0 || (r.blksize >= 8 && r.blksize <= 65464));
        uint8_t oack[512];
        size_t n =
            vk::tftp_oack(oack, sizeof oack, r.blksize, r.windowsize, r.timeout, r.tsize, size);
        Check(n <= sizeof oack);
        Check(n == 0 || vk::ldn16(oack) == vk::kTftpOack);
        break;
    }
    case 1: {
        long end = vk::tftp_request_end(data, size);
        Check(end <= long(size) && end <= long(vk::kTftpRequestMax));
        if (end > 0) {
            vk::TftpRequest r;
            if (vk::tftp_parse_request(data, size_t(end), &r)) Check(r.opcode == vk::kTftpRrq);
        }
        break;
    }
    case 2: {
        uint16_t opcode = 0, number = 0;
        if (vk::tftp_parse_reply(data, size, &opcode, &number))
            Check(opcode == vk::kTftpAck || opcode == vk::kTftpError);
        break;
    }
    default: {
        // A control stream cut into messages of 4 bytes: acknowledgements,
        // notes and repair requests, each recognised by its opcode alone.
        for (size_t at = 0; at + 4 <= size; at += 4) {
            uint16_t value, op = vk::ldn16(data + at);
            Check(vk::btftp_parse_ack(data + at, 4, &value) == (op == vk::kBtftpAck));
            Check(vk::btftp_parse_ahead(data + at, 4, &value) == (op == vk::kBtftpAhead));
            Check(vk::btftp_parse_repair(data + at, 4, &value) == (op == vk::kBtftpRepair));
            if (vk::btftp_parse_port(data + at, 4, &value)) Check(op == vk::kBtftpPort && value);
        }
        break;
    }
    }
    return 0;
}
