// TFTP packets: the read request (with or without the options blksize,
// windowsize and tsize), acknowledgements, and the parse of what arrives
// (DATA, ERROR and OACK), bounded by the datagram's real length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

constexpr uint16_t kTftpRrq = 1;
constexpr uint16_t kBtftpOack = 2; // the broadcast server's answer to a request
constexpr uint16_t kTftpData = 3;
constexpr uint16_t kTftpAck = 4;
constexpr uint16_t kTftpError = 5;
constexpr uint16_t kTftpOack = 6;
constexpr uint16_t kTftpErrorOptions = 8; // the options were refused
constexpr uint16_t kBtftpData = 5;        // data packets of the broadcast flavour
constexpr uint16_t kBtftpAck = 3;         // a window's acknowledgement on the control stream
constexpr size_t kTftpRequestMax = 512;

struct TftpPacket {
    uint16_t opcode = 0;
    uint16_t block = 0; // the block number, or the error code
    const uint8_t* data = nullptr;
    size_t length = 0; // data bytes (DATA) or error text bytes (ERROR)
};

// DATA of at most `blockSize` bytes, or ERROR: true and `out` filled.
// Anything else (short, another opcode, oversized data) is false.
bool tftp_parse(const uint8_t* packet, size_t length, uint16_t blockSize, TftpPacket* out);
// What a read request asks for, and what an OACK agreed to.
struct TftpOptions {
    uint16_t blockSize = 0; // 0: not asked / not agreed
    uint16_t window = 0;    // 0: not asked / not agreed
    bool size = false;      // tsize asked (0) / agreed (its value in fileSize)
    uint64_t fileSize = 0;
};

// opcode 1, name, NUL, "octet", NUL, then for each option asked its name and
// decimal value, each ended by NUL ("tsize" with "0"). Null `ask`: none.
// 0 when it does not fit `size`.
size_t tftp_request(uint8_t* out, size_t size, const char* name, const TftpOptions* ask = nullptr);
// An OACK answering `asked`: true and `out` filled with the values agreed
// (options left out stay 0). False for anything malformed: not an OACK, a
// name or value without its NUL, a value that is not a plain decimal
// number, an option twice, a block size outside 8..asked or a window
// outside 1..asked, or an option that was not asked for.
bool tftp_parse_oack(const uint8_t* packet, size_t length, const TftpOptions& asked,
                     TftpOptions* out);
// opcode 5, code, text, NUL (the text cut to fit); 0 when `size` < 5.
size_t tftp_error(uint8_t* out, size_t size, uint16_t code, const char* text);
size_t tftp_ack(uint8_t* out, uint16_t block);   // 4 bytes
size_t btftp_ack(uint8_t* out, uint16_t window); // 4 bytes: opcode 3, window number
// The error text up to its NUL, unprintable bytes as '?', cut to size - 1.
void tftp_error_text(const TftpPacket& packet, char* out, size_t size);

} // namespace vk
