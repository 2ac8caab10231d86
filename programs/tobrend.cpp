// Tobrend: the pre-boot batch processor with network services. Names that
// are not partition paths are remote files: fetched from the boot server by
// TFTP, or host files when no boot PROM answered (tobrend_net.cpp).

#include <cstdio>

#include "commandtable.h"
#include "disk/files.h"
#include "disk/remote_broken.h"
#include "interp/edition.h"
#include "interp/variables.h"
#include "net/cache.h"
#include "net/tftp.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"
#include "startup.h"
#include "tobrend_net.h"

namespace vk {
namespace {

unsigned SupplementaryMemory() {
    return GetExtMem();
}

// The boot-PROM probe decides the remote route; the remote-file cache
// fetches through the same route.
void StartServices() {
    StartNetwork();
    StartRemoteCache(RemoteFileRoute(), TftpEndedByError);
    SetRemoteBrokenOff(TftpBrokenOff);
}

void SetNetworkVariables() {
    SetBOOTPVariables();
    SetVar("APM", "OFF");
    SetVar("TFTPOptions", "ON"); // "OFF": plain TFTP requests, without options
}

const Edition kTobrend = {
    .program = "Tobrend",
    .bannerLine = "Tobrend - Pre-boot batch processor v1.1",
    .scriptSuffix = ".tbr",
    .interactiveBase = "vesklor",
    .commands = TobrendCommandTable(),
    .archiver = false,
    .waitsAfterScript = true,
    .defaultBasename = NetworkBasename,
    .startServices = StartServices,
    .supplementaryMemory = SupplementaryMemory,
    .setNetworkVariables = SetNetworkVariables,
    .onVariableSet = OnNetworkVariable,
    .startStorage = nullptr,
};

} // namespace
} // namespace vk

int main(int argc, char** argv) {
    vk::RunProgram(argc, argv, vk::kTobrend);
}
