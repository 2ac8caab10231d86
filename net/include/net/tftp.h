// The TFTP client of the batch program in three flavours chosen by the
// server port: standard (69 and others: 512-byte blocks), enhanced (59, the
// default: 1408-byte blocks) and broadcast (99: 1408-byte packets in
// windows of 32 under a TCP control stream). One transfer at a time.
// Unicast requests ask for bigger blocks and a window (blksize, windowsize,
// tsize) unless the variable TFTPOptions is "OFF"; a server that ignores
// them is read as before, one that refuses them is asked again without.
#pragma once

#include <cstdint>

#include "disk/files.h"
#include "net/tftp_packet.h"

namespace vk {

constexpr uint16_t kTftpWindowAsked = 64; // the window a unicast request asks for

// Opens a read transfer of `name` from `server` (4 bytes, network order;
// null: the variable BOOTP-Server-IP) at `port` (0: 59). The gateway is
// accepted and not used. 0 or -1.
int OpenTFTP(const char* name, const uint8_t* gateway, const uint8_t* server, uint16_t port);
// Next block into `buffer` (kTftpBlockMax bytes): the data length, 0 at the
// end of the file or after an ERROR packet, -1 after a major timeout.
int ReadTFTP(uint8_t* buffer);
int CloseTFTP();
// True when the transfer last opened was ended by an ERROR packet rather
// than by its last block (still answered after CloseTFTP).
bool TftpEndedByError();
// True when an ERROR packet ended the transfer last opened after some of
// its data had come: what was read is only the first part of the file.
bool TftpBrokenOff();
// The block size and window of the transfer last opened (window 1: lock-step),
// and whether an OACK agreed them.
struct TftpAgreement {
    uint16_t blockSize = 0;
    uint16_t window = 0;
    bool options = false;
};
TftpAgreement TftpAgreed();

// The remote-file routing: with the boot PROM names go to TFTP (no
// writing), without it to host files. OpenRemoteFile ... CloseRemoteFile
// call through the table that RemoteFileRoute() returns.
const RemoteFileOps* RemoteFileRoute();
extern const RemoteFileOps TftpRemoteFileOps;
int OpenRemoteFile(const char* name, uint8_t* gateway, uint8_t* server, uint16_t port);
int CreateRemoteFile(const char* name);
int ReadRemoteFile(uint8_t* buffer); // kTftpBlockMax bytes
int WriteRemoteFile(const uint8_t* data, uint16_t length);
int CloseRemoteFile();

} // namespace vk
