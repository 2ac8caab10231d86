// Tobrend: the pre-boot batch processor with network services. Names that
// are not partition paths are remote files: fetched from the boot server, or
// host files when no boot PROM answered.

#include <cstdio>

#include "commandtable.h"
#include "disk/files.h"
#include "interp/edition.h"
#include "interp/variables.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"
#include "startup.h"

namespace vk {
namespace {

void DefaultBasename(char* out, size_t size) {
    std::snprintf(out, size, "vesklor");
}

unsigned SupplementaryMemory() {
    return GetExtMem();
}

// Without a boot PROM every remote name is served from the host's files.
void StartServices() {
    SetHostRoute(HostRoute::Remote, &HostRemoteFileOps, nullptr);
    PrintString("- No BootProm detected, using file I/O instead\r\n");
}

void SetNetworkVariables() {
    SetVar("APM", "OFF");
}

const Edition kTobrend = {
    .program = "Tobrend",
    .bannerLine = "Tobrend - Pre-boot batch processor v1.1",
    .scriptSuffix = ".tbr",
    .interactiveBase = "vesklor",
    .commands = TobrendCommandTable(),
    .archiver = false,
    .waitsAfterScript = true,
    .defaultBasename = DefaultBasename,
    .startServices = StartServices,
    .supplementaryMemory = SupplementaryMemory,
    .setNetworkVariables = SetNetworkVariables,
    .onVariableSet = nullptr,
    .startStorage = nullptr,
};

} // namespace
} // namespace vk

int main(int argc, char** argv) {
    vk::RunProgram(argc, argv, vk::kTobrend);
}
