// Program entry: arguments, disk image options, break handler, then Batch.

#include "startup.h"

#include <cstring>

#include "archive/makeio.h"
#include "archive/reader_source.h"
#include "disk/disk.h"
#include "disk/partitions.h"
#include "fs/cache.h"
#include "fs/ext2.h"
#include "fs/fat.h"
#include "fs/mbr.h"
#include "fs/swap.h"
#include "interp/edition.h"
#include "platform/console.h"
#include "platform/hostfile.h"

namespace vk {

namespace {

// Binds the partition kinds to the drivers this program carries.
void RegisterDrivers() {
    SetFsHandler(FsKind::Mbr, &MBRHandler);
    SetFsHandler(FsKind::Swap, &SWAPHandler);
    SetFsHandler(FsKind::Fat16, &FAT16Handler);
    SetFsHandler(FsKind::Fat32, &FAT32Handler);
    SetFsHandler(FsKind::Ext2, &EXT2Handler);
    SetFsHandler(FsKind::Cache, &CacheHandler);
    // The drivers' full restores read archives through this table.
    RegisterFullArchiveReader();
    // Restored files keep their stored times on FAT.
    SetTouchFilesSwitch(&TouchFiles);
}

} // namespace

void RunProgram(int argc, char** argv, const Edition& edition) {
    SetArguments(argc, argv);
    // Option words come first; the first word without a dash starts the
    // base name. Every "-d<path>" among them names the next hard disk; a
    // bare "-d" asks for no hard disk at all. Only without any -d are the
    // machine's disk devices probed.
    bool diskOption = false;
    for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
        if (argv[i][1] != 'd') continue;
        diskOption = true;
        if (argv[i][2]) AddDiskPath(argv[i] + 2);
    }
    if (!diskOption) EnableDeviceProbe();
    RegisterDrivers();
    AllowDiskWrite = 0;
    InterceptKeys();
    Batch(edition);
}

} // namespace vk
