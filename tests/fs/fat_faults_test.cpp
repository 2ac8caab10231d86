// Every disk write of a run of FAT operations is made to fail in turn: the
// failure must come back as a non-zero status (or a short write) from some
// operation of the run, never be reported as success.
#include <cstring>
#include <memory>

#include "disk_fixture.h"
#include "fs/fat.h"

namespace vk::test {
namespace {

constexpr uint16_t kCylinders = 20;

class FatFaults : public DiskTest {
  protected:
    void SetUp() override {
        DiskTest::SetUp();
        RegisterFsDriver(FAT16Driver);
        RegisterFsDriver(FAT32Driver);
        InitFsHandlers();
    }

    // A fresh volume on partition 1 behind a disk that fails its n-th write.
    FaultyDisk* AddVolume(bool fat32, uint64_t failWrite) {
        auto disk = std::make_unique<MemoryDisk>(uint64_t(kCylinders) * kCylinder * 512);
        PutTable(disk.get(), 0, {Part(fat32 ? 0x0C : 0x06, 0, 1, kCylinders - 1)});
        const uint32_t size = Lba(kCylinders - 1, 63, 63) - kTrack + 1;
        uint8_t boot[512] = {};
        st16(boot + fatboot::kBytesPerSector, 512);
        boot[fatboot::kSectorsPerCluster] = fat32 ? 1 : 4;
        boot[fatboot::kNumFats] = 2;
        boot[fatboot::kMedia] = 0xF8;
        st32(boot + fatboot::kTotalSectors, size);
        const uint16_t reserved = fat32 ? 32 : 1;
        st16(boot + fatboot::kReservedSectors, reserved);
        if (fat32) {
            st32(boot + fatboot::kSectorsPerFat32, 630);
            st32(boot + fatboot::kRootCluster, 2);
            st16(boot + fatboot::kInfoSector, 1);
            st16(boot + fatboot::kBackupBoot, 6);
        } else {
            st16(boot + fatboot::kRootEntries, 512);
            st16(boot + fatboot::kSectorsPerFat16, 80);
        }
        boot[510] = 0x55;
        boot[511] = 0xAA;
        disk->PutSector(kTrack, boot);
        uint8_t fat[512] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
        disk->PutSector(kTrack + reserved, fat);
        if (fat32) {
            uint8_t info[512] = {};
            st32(info + 0, 0x41615252);
            st32(info + 484, 0x61417272);
            st32(info + 488, 80000);
            st32(info + 492, 3);
            disk->PutSector(kTrack + 1, info);
        }
        auto faulty = std::make_unique<FaultyDisk>(std::move(disk), 0, failWrite);
        return static_cast<FaultyDisk*>(AddDiskDevice(std::move(faulty)));
    }

    // Creates a directory and a file in it, writes, shrinks and removes
    // files, and flushes. True when every step reported success.
    static bool Run() {
        FsState* part = SelectPart(0x80, 1);
        if (part == nullptr || !part->valid) return false;
        const FsHandler* h = part->handler;
        bool ok = true;
        FsDirHandle* dir = nullptr;
        FsEntry sub{}, file{}, other{};
        if (h->OpenDir(*part, nullptr, &dir) != 0) return false;
        ok &= h->CreateDir(*part, dir, "A directory", nullptr, &sub) == 0;
        ok &= h->CreateFile(*part, dir, "OTHER.TXT", nullptr, &other) == 0;
        h->CloseDir(*part, dir);
        if (!ok || h->OpenDir(*part, &sub, &dir) != 0) return false;
        ok &= h->CreateFile(*part, dir, "a file with a long name.bin", nullptr, &file) == 0;
        h->CloseDir(*part, dir);
        FsFileHandle* handle = nullptr;
        if (!ok || h->RewriteFile(*part, &file, 40000, &handle) != 0) return false;
        static uint8_t buffer[kChunkMax];
        std::memset(buffer, 0x5A, sizeof buffer);
        ok &= h->WriteFileChunk(*part, handle, buffer, kChunkMax) != 0;
        ok &= h->AdjustFileSize(*part, handle, &file, 200000) == 0;
        for (int i = 0; i < 4; ++i)
            ok &= h->WriteFileChunk(*part, handle, buffer, kChunkMax) != 0;
        ok &= h->AdjustFileSize(*part, handle, &file, 150000) == 0;
        ok &= h->CloseFile(*part, handle) == 0;
        ok &= h->RemoveFile(*part, &other) == 0;
        ok &= FlushParts() == 0;
        return ok;
    }
};

TEST_F(FatFaults, EveryFailedWriteIsReported) {
    for (bool fat32 : {false, true}) {
        FaultyDisk* clean = AddVolume(fat32, 0);
        ASSERT_TRUE(Run()) << Logged();
        const uint64_t writes = clean->writes;
        ASSERT_GT(writes, 5u);
        FlushParts();
        ResetDisks();
        for (uint64_t n = 1; n <= writes; ++n) {
            AddVolume(fat32, n);
            EXPECT_FALSE(Run()) << (fat32 ? "FAT32" : "FAT16") << ": write " << n << " of "
                                << writes << " failed unreported";
            FlushParts();
            ResetDisks();
        }
    }
}

} // namespace
} // namespace vk::test
