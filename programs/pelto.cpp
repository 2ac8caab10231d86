// Pelto: the batch processor with the archiver. Names that are not
// partition paths are host files.

#include <cstdio>

#include "archive/makeio.h"
#include "archive/vfile.h"
#include "commandtable.h"
#include "disk/files.h"
#include "hostdir/hostdir.h"
#include "interp/edition.h"
#include "platform/hostfile.h"
#include "platform/memory.h"
#include "startup.h"

namespace vk {
namespace {

void DefaultBasename(char* out, size_t size) {
    std::snprintf(out, size, "pelto");
}

unsigned SupplementaryMemory() {
    nb_ext_pages = 1024;
    return GetExtMem();
}

// Host files restored from an archive get their attributes again once
// their content is written, since the writes stamp new times on them;
// directories get back their times only.
void RestoreHostAttributes(FsState* state, FsEntry* entry, const uint8_t* attrs, bool timesOnly) {
    if (state != &DosFsState || !attrs) return;
    if (timesOnly) {
        UnPackTimes(entry->path, attrs);
    } else {
        UnPackAttr(entry->path, attrs);
    }
}

// The virtual file store takes the supplementary memory for itself.
void StartStorage() {
    SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
    SetRestoredFileHook(RestoreHostAttributes);
    InitVMM();
    DropExtMem();
}

const Edition kPelto = {
    .program = "Pelto",
    .bannerLine = "Tobrend+Pelto - Disk archives processor v1.1",
    .scriptSuffix = ".pto",
    .interactiveBase = "pelto",
    .commands = PeltoCommandTable(),
    .archiver = true,
    .waitsAfterScript = false,
    .defaultBasename = DefaultBasename,
    .startServices = nullptr,
    .supplementaryMemory = SupplementaryMemory,
    .setNetworkVariables = nullptr,
    .onVariableSet = nullptr,
    .startStorage = StartStorage,
};

} // namespace
} // namespace vk

int main(int argc, char** argv) {
    vk::RunProgram(argc, argv, vk::kPelto);
}
