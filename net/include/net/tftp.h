// The TFTP client of the batch program in three flavours chosen by the
// server port: standard (69 and others: 512-byte blocks), enhanced (59, the
// default: 1408-byte blocks) and broadcast (99: 1408-byte packets in
// windows of 32 under a TCP control stream). One transfer at a time.
#pragma once

#include <cstdint>

#include "disk/files.h"
#include "net/tftp_packet.h"

namespace vk {

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
