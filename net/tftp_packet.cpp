// TFTP packet layouts (network order): opcode, block or error code, data.
#include "net/tftp_packet.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
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

namespace {

// Appends `text` and its NUL at `at`; false when it does not fit.
bool Put(uint8_t* out, size_t size, size_t* at, const char* text) {
    size_t n = std::strlen(text) + 1;
    if (n > size - *at) return false;
    std::memcpy(out + *at, text, n);
    *at += n;
    return true;
}

bool PutOption(uint8_t* out, size_t size, size_t* at, const char* name, uint64_t value) {
    char number[24];
    std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(value));
    return Put(out, size, at, name) && Put(out, size, at, number);
}

// The NUL-ended string at `*at` within `length`; null when it has no NUL.
const char* Take(const uint8_t* packet, size_t length, size_t* at) {
    const void* end = std::memchr(packet + *at, 0, length - *at);
    if (!end) return nullptr;
    const char* text = reinterpret_cast<const char*>(packet + *at);
    *at = size_t(static_cast<const uint8_t*>(end) - packet) + 1;
    return text;
}

// A plain decimal number of at most 19 digits.
bool Number(const char* text, uint64_t* value) {
    size_t n = std::strlen(text);
    if (n == 0 || n > 19) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + uint64_t(text[i] - '0');
    }
    *value = v;
    return true;
}

} // namespace

size_t tftp_request(uint8_t* out, size_t size, const char* name, const TftpOptions* ask) {
    if (size < 2) return 0;
    stn16(out, kTftpRrq);
    size_t at = 2;
    if (!Put(out, size, &at, name) || !Put(out, size, &at, "octet")) return 0;
    if (!ask) return at;
    if (ask->blockSize && !PutOption(out, size, &at, "blksize", ask->blockSize)) return 0;
    if (ask->window && !PutOption(out, size, &at, "windowsize", ask->window)) return 0;
    if (ask->size && !PutOption(out, size, &at, "tsize", 0)) return 0;
    return at;
}

bool tftp_parse_oack(const uint8_t* packet, size_t length, const TftpOptions& asked,
                     TftpOptions* out) {
    if (length < 2 || ldn16(packet) != kTftpOack) return false;
    TftpOptions agreed;
    size_t at = 2;
    while (at < length) {
        const char* name = Take(packet, length, &at);
        const char* text = name && at < length ? Take(packet, length, &at) : nullptr;
        uint64_t value = 0;
        if (!text || !Number(text, &value)) return false;
        if (strcasecmp(name, "blksize") == 0) {
            if (!asked.blockSize || agreed.blockSize || value < 8 || value > asked.blockSize)
                return false;
            agreed.blockSize = uint16_t(value);
        } else if (strcasecmp(name, "windowsize") == 0) {
            if (!asked.window || agreed.window || value < 1 || value > asked.window) return false;
            agreed.window = uint16_t(value);
        } else if (strcasecmp(name, "tsize") == 0) {
            if (!asked.size || agreed.size) return false;
            agreed.size = true;
            agreed.fileSize = value;
        } else {
            return false;
        }
    }
    *out = agreed;
    return true;
}

size_t tftp_error(uint8_t* out, size_t size, uint16_t code, const char* text) {
    if (size < 5) return 0;
    stn16(out, kTftpError);
    stn16(out + 2, code);
    size_t n = std::min(std::strlen(text), size - 5);
    std::memcpy(out + 4, text, n);
    out[4 + n] = 0;
    return 5 + n;
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
