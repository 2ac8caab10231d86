// Tobrend's network wiring: the interpreter knows no network, so the edition
// hands it the probe, the variables and the TFTP test command.
#include "tobrend_net.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "disk/files.h"
#include "interp/expr.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "net/bootp.h"
#include "net/bootpvars.h"
#include "net/tftp.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

void StartNetwork() {
    if (!GetOpt('b') && CheckBootPROM()) {
        PrintString("- BootProm detected, using ");
        PrintIP(srvip);
        PrintString(" as enhanced TFTP server\r\n");
    } else {
        PrintString("- No BootProm detected, using file I/O instead\r\n");
    }
    SetHostRoute(HostRoute::Remote, RemoteFileRoute(), nullptr);
}

void NetworkBasename(char* out, size_t size) {
    if (!GetBOOTPReply()) {
        std::snprintf(out, size, "vesklor");
        return;
    }
    // Cut at the last "." of the last path component; the directory stays.
    std::snprintf(out, size, "%s", GetBootFile());
    char* part = out;
    for (char* p = out; *p; ++p)
        if (*p == '/' || *p == '\\') part = p + 1;
    if (char* dot = std::strrchr(part, '.')) *dot = '\0';
}

void SetBOOTPVariables() {
    if (const uint8_t* reply = GetBOOTPReply())
        SetBOOTPVars(reply, GetBOOTPReplyLength(), SetVarPrefix);
}

void OnNetworkVariable(const char* name, const char* value) {
    if (strcasecmp(name, "BOOTP-Server-IP") == 0)
        atoip(value, srvip);
    else if (strcasecmp(name, "BOOTP-Gateway-IP") == 0)
        atoip(value, gwip);
}

// testtftp name bytes: reads the remote file until at least that many bytes
// came, then prints, for a TFTP transfer, the block size and window it ran
// with, and the count and the CRC-32 of what was read.
Status ParseTestTFTP(char* args) {
    char* p = args;
    char* name = NextString(&p);
    if (!name) return 1;
    int32_t wanted = NextExpr(&p);
    if (wanted == kExprFail) return 1;
    uint8_t* gateway = nullptr;
    uint8_t* server = nullptr;
    uint16_t port = 0;
    const char* path = ParseRemoteFilename(name, &gateway, &server, &port);
    if (OpenRemoteFile(path, gateway, server, port) != 0) {
        CloseRemoteFile();
        return Fail("TestTFTP: Cannot open remote file");
    }
    auto* buffer = static_cast<uint8_t*>(Malloc(kTftpBlockMax / 16));
    uint32_t count = 0;
    uint32_t crc = 0;
    while (int64_t(count) < int64_t(wanted)) {
        int n = ReadRemoteFile(buffer);
        if (n <= 0) {
            char number[12];
            ltoa(n, number);
            Log("TestTFTP: Read returned ");
            Log(number);
            Log(", exiting read loop\r\n");
            break;
        }
        crc = CRC32(crc, buffer, size_t(n));
        count += uint32_t(n);
        MonitorESC();
    }
    Free(buffer);
    const bool tftp = RemoteFileRoute() == &TftpRemoteFileOps;
    CloseRemoteFile();
    char number[12];
    if (tftp) {
        TftpAgreement agreed = TftpAgreed();
        PrintString("TestTFTP: block size ");
        ultoa(agreed.blockSize, number);
        PrintString(number);
        PrintString(", window ");
        ultoa(agreed.window, number);
        PrintString(number);
        PrintString(agreed.options ? " (options agreed)\r\n" : "\r\n");
    }
    ultoa(count, number);
    PrintString("TestTFTP: ");
    PrintString(number);
    PrintString(" bytes read, CRC is ");
    PrintHexDword(crc);
    PrintString("\r\n");
    return 0;
}

} // namespace vk
