// The routing of remote names: with a boot PROM they are TFTP transfers
// from the boot server (read only), without one they are host files.
#include "net/bootp.h"
#include "net/tftp.h"

namespace vk {

namespace {

int OpenTftp(const char* name, uint8_t* gateway, uint8_t* server, uint16_t port) {
    return OpenTFTP(name, gateway, server, port);
}

int CreateNothing(const char*) {
    return -1; // writing to the server is not supported
}

int WriteNothing(const uint8_t*, uint16_t) {
    return 0;
}

} // namespace

const RemoteFileOps TftpRemoteFileOps = {OpenTftp, CreateNothing, ReadTFTP, WriteNothing,
                                         CloseTFTP};

const RemoteFileOps* RemoteFileRoute() {
    return BootPROMPresent() ? &TftpRemoteFileOps : &HostRemoteFileOps;
}

int OpenRemoteFile(const char* name, uint8_t* gateway, uint8_t* server, uint16_t port) {
    return RemoteFileRoute()->Open(name, gateway, server, port);
}

int CreateRemoteFile(const char* name) {
    return RemoteFileRoute()->Create(name);
}

int ReadRemoteFile(uint8_t* buffer) {
    return RemoteFileRoute()->Read(buffer);
}

int WriteRemoteFile(const uint8_t* data, uint16_t length) {
    return RemoteFileRoute()->Write(data, length);
}

int CloseRemoteFile() {
    return RemoteFileRoute()->Close();
}

} // namespace vk
