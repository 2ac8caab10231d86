// TFTP packet layouts (network order): opcode, block or error code, data.
#include "net/tftp_packet.h"

#include <cstring>

#include "net/wire.h"

namespace vk {

bool tftp_parse(const uint8_t* packet, size_t length, uint16_t blockSize, TftpPacket* out) {
    if (length < 4) return false;
    TftpPacket p;
    p.opcode = ldn16(packet);
    p.block = ldn16(packet + 2);
    p.data = packet + 4;
    p.length = length - 4;
    if (p.opcode == kTftpData && p.length > blockSize) return false;
    if (p.opcode != kTftpData && p.opcode != kTftpError) return false;
    *out = p;
    return true;
}

size_t tftp_request(uint8_t* out, size_t size, const char* name) {
    static constexpr char kMode[] = "octet";
    size_t nameLength = std::strlen(name);
    size_t total = 2 + nameLength + 1 + sizeof kMode;
    if (total > size) return 0;
    stn16(out, kTftpRrq);
    std::memcpy(out + 2, name, nameLength + 1);
    std::memcpy(out + 3 + nameLength, kMode, sizeof kMode);
    return total;
}

size_t tftp_ack(uint8_t* out, uint16_t block) {
    stn16(out, kTftpAck);
    stn16(out + 2, block);
    return 4;
}

size_t btftp_ack(uint8_t* out, uint16_t window) {
    stn16(out, kBtftpAck);
    stn16(out + 2, window);
    return 4;
}

void tftp_error_text(const TftpPacket& packet, char* out, size_t size) {
    size_t n = 0;
    for (size_t i = 0; i < packet.length && packet.data[i] != 0 && n + 1 < size; ++i) {
        uint8_t c = packet.data[i];
        out[n++] = c >= 0x20 && c < 0x7F ? char(c) : '?';
    }
    if (size) out[n] = 0;
}

} // namespace vk
