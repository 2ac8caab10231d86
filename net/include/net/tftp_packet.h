// TFTP packets: the read request (with or without the options blksize,
// windowsize and tsize), acknowledgements, and the parse of what arrives
// (DATA, ERROR and OACK), bounded by the datagram's real length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk {

// Ports and sizes of the three flavours.
constexpr uint16_t kTftpDefaultPort = 59;
constexpr uint16_t kTftpStandardPort = 69;
constexpr uint16_t kTftpBroadcastPort = 99;
constexpr uint16_t kTftpBroadcastLocalPort = 10000;
constexpr uint16_t kTftpBlockStandard = 512;
constexpr uint16_t kTftpBlockMax = 1408; // read buffers hold at least this
constexpr int kTftpWindow = 32;

constexpr uint16_t kTftpRrq = 1;
constexpr uint16_t kTftpWrq = 2;
constexpr uint16_t kTftpOack = 6;
constexpr uint16_t kBtftpOack = 2; // the broadcast server's answer to a request
constexpr uint16_t kTftpData = 3;
constexpr uint16_t kTftpAck = 4;
constexpr uint16_t kTftpError = 5;
constexpr uint16_t kTftpErrorOptions = 8; // the options were refused
constexpr uint16_t kBtftpData = 5;        // data packets of the broadcast flavour
constexpr uint16_t kBtftpAck = 3;         // a window's acknowledgement on the control stream
constexpr uint16_t kBtftpAhead = 7;       // on the control stream: windows the client holds ahead
constexpr uint16_t kBtftpRepair = 8;      // on the control stream: one packet asked for again
constexpr uint16_t kBtftpPort = 9;        // on the control stream: the port the data leaves from
constexpr size_t kTftpRequestMax = 512;
constexpr size_t kTftpNameMax = 256;

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
size_t tftp_ack(uint8_t* out, uint16_t block);   // 4 bytes
size_t btftp_ack(uint8_t* out, uint16_t window); // 4 bytes: opcode 3, window number
// 4 bytes: opcode 7, the number of windows the client keeps beyond the one
// it waits for (sent behind the read request on the control stream). A
// server that streams ahead answers with the same note after its answer to
// the request, and then takes repair requests.
size_t btftp_ahead(uint8_t* out, uint16_t windows);
// 4 bytes: opcode 8, the number of a packet that did not arrive.
size_t btftp_repair(uint8_t* out, uint16_t number);
// 4 bytes: opcode 9, the server's port that the session's data packets
// leave from (sent behind the note above): the client takes data from that
// port only, so sessions streaming at once on one subnet stay apart.
size_t btftp_port(uint8_t* out, uint16_t port);
// The error text up to its NUL, unprintable bytes as '?', cut to size - 1.
void tftp_error_text(const TftpPacket& packet, char* out, size_t size);

// --- The server's side -------------------------------------------------

// A read or write request with the options a server understands (option
// extension, block size, transfer size and timeout, window size). An option
// whose value is not a number in range is left out, as if not asked.
struct TftpRequest {
    uint16_t opcode = 0;          // kTftpRrq or kTftpWrq
    char name[kTftpNameMax] = {}; // NUL-terminated, not empty
    char mode[16] = {};           // lower case: "octet", "netascii", ...
    uint16_t blksize = 0;         // 8..65464, 0: not asked
    uint16_t windowsize = 0;      // 1..65535, 0: not asked
    uint8_t timeout = 0;          // 1..255 seconds, 0: not asked
    bool tsize = false;           // asked (the client's value is ignored)
};

// Length of the request at the start of `packet` (opcode, name, NUL, mode,
// NUL, then options up to the end of `length`): false when it is not a
// well-formed read or write request.
bool tftp_parse_request(const uint8_t* packet, size_t length, TftpRequest* out);
// On a stream: the bytes of a complete request (opcode, name, NUL, mode,
// NUL) at its start; 0 while incomplete; -1 when it can never become one
// (another opcode, or no end within kTftpRequestMax bytes).
long tftp_request_end(const uint8_t* data, size_t length);
// An acknowledgement (opcode 4) or an error (opcode 5) from a client: true
// with the opcode and the block number or error code.
bool tftp_parse_reply(const uint8_t* packet, size_t length, uint16_t* opcode, uint16_t* number);
// A window acknowledgement of the broadcast control stream (4 bytes,
// opcode 3): true with the window number.
bool btftp_parse_ack(const uint8_t* data, size_t length, uint16_t* window);
// The client's note of the windows it holds ahead (4 bytes, opcode 7).
bool btftp_parse_ahead(const uint8_t* data, size_t length, uint16_t* windows);
// A repair request (4 bytes, opcode 8): true with the packet number.
bool btftp_parse_repair(const uint8_t* data, size_t length, uint16_t* number);
// The server's note of its data port (4 bytes, opcode 9): true with the port.
bool btftp_parse_port(const uint8_t* data, size_t length, uint16_t* port);

// Headers of 4 bytes: DATA (opcode 3) of the lock-step flavours, data of the
// broadcast flavour (opcode 5, packet number), the broadcast server's
// answer to a request (opcode 2, client number).
size_t tftp_data_header(uint8_t* out, uint16_t block);
size_t btftp_data_header(uint8_t* out, uint16_t number);
size_t btftp_oack(uint8_t* out, uint16_t client);
// ERROR: code, text (cut to fit), NUL. At least 5 bytes of `size`.
size_t tftp_error(uint8_t* out, size_t size, uint16_t code, const char* text);
// OACK with the options given (0 / false: left out); 0 if it does not fit.
size_t tftp_oack(uint8_t* out, size_t size, uint16_t blksize, uint16_t windowsize, uint8_t timeout,
                 bool tsize, uint64_t tsizeValue);

} // namespace vk
