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

namespace {

// The four-byte packets and headers: an opcode and one 16-bit number.
size_t OpcodeAndNumber(uint8_t* out, uint16_t opcode, uint16_t number) {
    stn16(out, opcode);
    stn16(out + 2, number);
    return 4;
}

// A 4-byte control-stream message of the given opcode: true with its number.
bool TakeOpcodeAndNumber(const uint8_t* data, size_t length, uint16_t opcode, uint16_t* number) {
    if (length < 4 || ldn16(data) != opcode) return false;
    *number = ldn16(data + 2);
    return true;
}

} // namespace

size_t tftp_ack(uint8_t* out, uint16_t block) {
    return OpcodeAndNumber(out, kTftpAck, block);
}

size_t btftp_ack(uint8_t* out, uint16_t window) {
    return OpcodeAndNumber(out, kBtftpAck, window);
}

size_t btftp_ahead(uint8_t* out, uint16_t windows) {
    return OpcodeAndNumber(out, kBtftpAhead, windows);
}

size_t btftp_repair(uint8_t* out, uint16_t number) {
    return OpcodeAndNumber(out, kBtftpRepair, number);
}

size_t btftp_port(uint8_t* out, uint16_t port) {
    return OpcodeAndNumber(out, kBtftpPort, port);
}

void tftp_error_text(const TftpPacket& packet, char* out, size_t size) {
    size_t n = 0;
    for (size_t i = 0; i < packet.length && packet.data[i] != 0 && n + 1 < size; ++i) {
        uint8_t c = packet.data[i];
        out[n++] = c >= 0x20 && c < 0x7F ? char(c) : '?';
    }
    if (size) out[n] = 0;
}

namespace {

// A NUL-terminated string starting at `p` and ending before `end`: its
// length, or -1 when no NUL comes.
long StringLength(const uint8_t* p, const uint8_t* end) {
    const void* nul = std::memchr(p, 0, size_t(end - p));
    return nul ? long(static_cast<const uint8_t*>(nul) - p) : -1;
}

bool SameText(const uint8_t* a, long length, const char* b) {
    if (long(std::strlen(b)) != length) return false;
    for (long i = 0; i < length; ++i) {
        uint8_t c = a[i];
        if (c >= 'A' && c <= 'Z') c = uint8_t(c - 'A' + 'a');
        if (c != uint8_t(b[i])) return false;
    }
    return true;
}

// A decimal number of at most 20 digits within [low, high]; -1 otherwise.
long long Number(const uint8_t* p, long length, long long low, long long high) {
    if (length < 1 || length > 18) return -1;
    long long v = 0;
    for (long i = 0; i < length; ++i) {
        if (p[i] < '0' || p[i] > '9') return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v >= low && v <= high ? v : -1;
}

} // namespace

bool tftp_parse_request(const uint8_t* packet, size_t length, TftpRequest* out) {
    if (length < 4 || length > kTftpRequestMax) return false;
    TftpRequest r;
    r.opcode = ldn16(packet);
    if (r.opcode != kTftpRrq && r.opcode != kTftpWrq) return false;
    const uint8_t* p = packet + 2;
    const uint8_t* end = packet + length;
    long n = StringLength(p, end);
    if (n <= 0 || size_t(n) >= sizeof r.name) return false;
    std::memcpy(r.name, p, size_t(n) + 1);
    p += n + 1;
    n = StringLength(p, end);
    if (n <= 0 || size_t(n) >= sizeof r.mode) return false;
    for (long i = 0; i <= n; ++i) {
        char c = char(p[i]);
        r.mode[i] = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    }
    p += n + 1;
    while (p < end) {
        long nameLength = StringLength(p, end);
        if (nameLength < 0) return false;
        const uint8_t* value = p + nameLength + 1;
        long valueLength = value < end ? StringLength(value, end) : -1;
        if (valueLength < 0) return false;
        long long v;
        if (SameText(p, nameLength, "blksize")) {
            if ((v = Number(value, valueLength, 8, 65464)) > 0) r.blksize = uint16_t(v);
        } else if (SameText(p, nameLength, "windowsize")) {
            if ((v = Number(value, valueLength, 1, 65535)) > 0) r.windowsize = uint16_t(v);
        } else if (SameText(p, nameLength, "timeout")) {
            if ((v = Number(value, valueLength, 1, 255)) > 0) r.timeout = uint8_t(v);
        } else if (SameText(p, nameLength, "tsize")) {
            r.tsize = Number(value, valueLength, 0, 1LL << 62) >= 0;
        }
        p = value + valueLength + 1;
    }
    *out = r;
    return true;
}

long tftp_request_end(const uint8_t* data, size_t length) {
    if (length >= 2 && ldn16(data) != kTftpRrq) return -1;
    size_t limit = length < kTftpRequestMax ? length : kTftpRequestMax;
    int strings = 0;
    for (size_t i = 2; i < limit; ++i) {
        if (data[i] == 0 && ++strings == 2) return long(i + 1);
    }
    return length >= kTftpRequestMax ? -1 : 0;
}

bool tftp_parse_reply(const uint8_t* packet, size_t length, uint16_t* opcode, uint16_t* number) {
    if (length < 4) return false;
    uint16_t op = ldn16(packet);
    if (op != kTftpAck && op != kTftpError) return false;
    *opcode = op;
    *number = ldn16(packet + 2);
    return true;
}

bool btftp_parse_ack(const uint8_t* data, size_t length, uint16_t* window) {
    return TakeOpcodeAndNumber(data, length, kBtftpAck, window);
}

bool btftp_parse_ahead(const uint8_t* data, size_t length, uint16_t* windows) {
    return TakeOpcodeAndNumber(data, length, kBtftpAhead, windows);
}

bool btftp_parse_repair(const uint8_t* data, size_t length, uint16_t* number) {
    return TakeOpcodeAndNumber(data, length, kBtftpRepair, number);
}

bool btftp_parse_port(const uint8_t* data, size_t length, uint16_t* port) {
    return TakeOpcodeAndNumber(data, length, kBtftpPort, port) && *port != 0;
}

size_t tftp_data_header(uint8_t* out, uint16_t block) {
    return OpcodeAndNumber(out, kTftpData, block);
}

size_t btftp_data_header(uint8_t* out, uint16_t number) {
    return OpcodeAndNumber(out, kBtftpData, number);
}

size_t btftp_oack(uint8_t* out, uint16_t client) {
    return OpcodeAndNumber(out, kBtftpOack, client);
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

size_t tftp_oack(uint8_t* out, size_t size, uint16_t blksize, uint16_t windowsize, uint8_t timeout,
                 bool tsize, uint64_t tsizeValue) {
    if (size < 2) return 0;
    stn16(out, kTftpOack);
    size_t used = 2;
    auto add = [&](const char* name, unsigned long long value) {
        char text[48];
        int n = std::snprintf(text, sizeof text, "%s%c%llu", name, 0, value);
        if (n < 0 || used + size_t(n) + 1 > size) return false;
        std::memcpy(out + used, text, size_t(n) + 1);
        used += size_t(n) + 1;
        return true;
    };
    if (blksize && !add("blksize", blksize)) return 0;
    if (windowsize && !add("windowsize", windowsize)) return 0;
    if (timeout && !add("timeout", timeout)) return 0;
    if (tsize && !add("tsize", tsizeValue)) return 0;
    return used;
}

} // namespace vk
