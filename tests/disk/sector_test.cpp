// Sector access: image geometry, the disk list, partition and disk limits,
// disabled writes, blanking and injected device faults.
#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "disk_fixture.h"

namespace vk::test {
namespace {

// A temporary sparse image file, removed at the end of the test.
struct TempImage {
    explicit TempImage(uint64_t bytes) {
        char name[] = "/tmp/vk-disk-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        EXPECT_EQ(ftruncate(fd, off_t(bytes)), 0);
        close(fd);
    }
    ~TempImage() { unlink(path.c_str()); }
    std::vector<uint8_t> Bytes(uint64_t offset, size_t length) const {
        std::vector<uint8_t> out(length);
        std::ifstream in(path, std::ios::binary);
        in.seekg(std::streamoff(offset));
        in.read(reinterpret_cast<char*>(out.data()), std::streamsize(length));
        return out;
    }
    void Put(uint64_t offset, const std::vector<uint8_t>& data) const {
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(std::streamoff(offset));
        f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }
    std::string path;
};

// Records the length of every write.
class RecordingDisk : public MemoryDisk {
  public:
    using MemoryDisk::MemoryDisk;
    size_t WriteAt(uint64_t offset, const uint8_t* data, size_t length) override {
        lengths.push_back(length);
        return MemoryDisk::WriteAt(offset, data, length);
    }
    std::vector<size_t> lengths;
};

using SectorTest = DiskTest;

TEST(ImageGeometryTest, WholeCylindersOf64By63) {
    DiskGeometry g;
    EXPECT_FALSE(ImageGeometry(kCylinder * 512 - 1, &g));
    ASSERT_TRUE(ImageGeometry(kCylinder * 512, &g));
    EXPECT_EQ(g.lastCylinder, 0);
    EXPECT_EQ(g.lastHead, 63);
    EXPECT_EQ(g.sectors, 63);
    ASSERT_TRUE(ImageGeometry(uint64_t(kCylinder) * 512 * 10 + kCylinder * 256, &g));
    EXPECT_EQ(g.lastCylinder, 9); // a partial cylinder does not count
    ASSERT_TRUE(ImageGeometry(uint64_t(kCylinder) * 512 * 70000, &g));
    EXPECT_EQ(g.lastCylinder, 65535); // the highest cylinder is 16-bit
}

// Block devices: the geometry HDIO_GETGEO reports, with cylinders from the
// size; an image's where the device reports none (loop devices) or one that
// no partition table holds.
TEST(DeviceGeometryTest, ReportedOrAnImages) {
    struct Case {
        const char* what;
        bool reported;
        unsigned heads, sectors, cylinders;
        uint64_t sizeBytes;
        bool ok;
        uint16_t lastCylinder;
        uint8_t lastHead, sectorsPerTrack;
    };
    const uint64_t gib = uint64_t(1) << 30;
    const Case cases[] = {
        {"a SATA disk", true, 255, 63, 130, gib, true, 129, 254, 63},
        {"an NVMe namespace", true, 64, 32, 512, gib, true, 1023, 63, 32},
        {"wrapped 16-bit cylinders", true, 255, 63, 1234, uint64_t(4000) * gib, true, 65535, 254,
         63},
        {"a loop device", false, 0, 0, 0, gib, true, 519, 63, 63},
        {"no heads", true, 0, 63, 100, gib, true, 519, 63, 63},
        {"64 sectors per track", true, 16, 64, 100, gib, true, 519, 63, 63},
        {"a loop device smaller than a cylinder", false, 0, 0, 0, 1 << 20, false, 0, 0, 0},
        {"no size but a cylinder count", true, 16, 63, 100, 0, true, 99, 15, 63},
        {"neither", true, 16, 63, 0, 0, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        DiskGeometry g;
        ASSERT_EQ(DeviceGeometry(c.reported, c.heads, c.sectors, c.cylinders, c.sizeBytes, &g),
                  c.ok)
            << c.what;
        if (!c.ok) continue;
        EXPECT_EQ(g.lastCylinder, c.lastCylinder) << c.what;
        EXPECT_EQ(g.lastHead, c.lastHead) << c.what;
        EXPECT_EQ(g.sectors, c.sectorsPerTrack) << c.what;
    }
}

TEST_F(SectorTest, ImageFilesAreTheDisksInOrder) {
    TempImage a(uint64_t(kCylinder) * 512 * 20), b(uint64_t(kCylinder) * 512 * 3 + 4096);
    AddDiskPath(a.path.c_str());
    AddDiskPath(b.path.c_str());
    EXPECT_EQ(DiskPathCount(), 2);
    ASSERT_EQ(HDCount(), 2);
    uint16_t c;
    uint8_t h, s;
    ASSERT_EQ(GetGeometry(0x80, &c, &h, &s), 0);
    EXPECT_EQ(c, 19);
    ASSERT_EQ(GetGeometry(0x81, &c, &h, &s), 0);
    EXPECT_EQ(c, 2);
    EXPECT_EQ(h, 63);
    EXPECT_EQ(s, 63);
    EXPECT_EQ(GetGeometry(0x7F, &c, &h, &s), -1);
    EXPECT_EQ(GetGeometry(0x82, &c, &h, &s), -1);
}

TEST_F(SectorTest, AMissingImageMeansNoDisksAtAll) {
    TempImage a(uint64_t(kCylinder) * 512 * 4);
    AddDiskPath("/nonexistent/vk-disk.img");
    AddDiskPath(a.path.c_str());
    EXPECT_EQ(HDCount(), 0);
    EXPECT_NE(Logged().find("Cannot open disk /nonexistent/vk-disk.img"), std::string::npos);
    EXPECT_EQ(SelectPart(0x80, 0), nullptr);
    EXPECT_NE(Logged().find("\r\nSelectPart: invalid disk\r\n"), std::string::npos);
}

TEST_F(SectorTest, AnImageSmallerThanOneCylinderIsRefused) {
    TempImage a(kCylinder * 512 - 512);
    AddDiskPath(a.path.c_str());
    EXPECT_EQ(HDCount(), 0);
    EXPECT_NE(Logged().find("Cannot determine the geometry"), std::string::npos);
}

TEST_F(SectorTest, NoPathsAndNoProbeMeansNoDisks) {
    EXPECT_EQ(HDCount(), 0);
    EXPECT_EQ(SelectPart(0x80, 0), nullptr);
    EXPECT_EQ(SelectPart(0x7F, 0), nullptr);
}

TEST_F(SectorTest, WithoutWriteAccessTheImageIsUntouched) {
    TempImage a(uint64_t(kCylinder) * 512 * 4);
    std::vector<uint8_t> pattern(512, 0x5A);
    a.Put(512 * 3, pattern);
    AllowDiskWrite = 0;
    AddDiskPath(a.path.c_str());
    FsState* part = SelectPart(0x80, 0);
    ASSERT_NE(part, nullptr);
    std::vector<uint8_t> zeros(512 * 2, 0);
    ASSERT_EQ(Seek(*part, 2), 0);
    EXPECT_EQ(WriteSects(*part, 2, zeros.data()), 0); // reported as done
    EXPECT_EQ(part->position, 4u);                    // and the position moves on
    EXPECT_EQ(BlankSects(*part, 63), -1);             // beyond the first track: refused
    EXPECT_EQ(a.Bytes(512 * 3, 512), pattern);
    EXPECT_NE(Logged().find("Disk write cancelled (default behaviour under Linux)\r\n"),
              std::string::npos);
    // The image was opened read-only: even a write let through fails.
    AllowDiskWrite = 1;
    ASSERT_EQ(Seek(*part, 3), 0);
    EXPECT_EQ(WriteSects(*part, 1, zeros.data()), -1);
    EXPECT_NE(Logged().find("ERROR: Low-level write failed\r\n"), std::string::npos);
    EXPECT_EQ(a.Bytes(512 * 3, 512), pattern);
}

TEST_F(SectorTest, WritesReachTheImageAtPartitionStartPlusPosition) {
    TempImage a(uint64_t(kCylinder) * 512 * 4);
    AddDiskPath(a.path.c_str());
    FsState* part = SelectPart(0x80, 0);
    ASSERT_NE(part, nullptr);
    std::vector<uint8_t> data(512, 0xC3);
    ASSERT_EQ(Seek(*part, 7), 0);
    ASSERT_EQ(SkipSects(*part, 3), 0);
    ASSERT_EQ(WriteSects(*part, 1, data.data()), 0);
    EXPECT_EQ(a.Bytes(512 * 10, 512), data);
    std::vector<uint8_t> back(512);
    ASSERT_EQ(Seek(*part, 10), 0);
    ASSERT_EQ(ReadSects(*part, 1, back.data()), 0);
    EXPECT_EQ(back, data);
}

TEST_F(SectorTest, TransfersEndExactlyAtThePartitionLimit) {
    auto faulty = std::make_unique<FaultyDisk>(
        std::make_unique<MemoryDisk>(uint64_t(kCylinder) * 512 * 4), 0, 0);
    FaultyDisk* device = faulty.get();
    AddDiskDevice(std::move(faulty));
    FsState* part = SelectPart(0x80, 0);
    ASSERT_NE(part, nullptr); // one track: 63 sectors
    std::vector<uint8_t> buffer(63 * 512);
    ASSERT_EQ(Seek(*part, 60), 0);
    EXPECT_EQ(ReadSects(*part, 3, buffer.data()), 0);
    uint64_t reads = device->reads, writes = device->writes;
    ASSERT_EQ(Seek(*part, 60), 0);
    EXPECT_EQ(ReadSects(*part, 4, buffer.data()), -1);
    EXPECT_EQ(WriteSects(*part, 4, buffer.data()), -1);
    EXPECT_EQ(device->reads, reads); // refused before touching the device
    EXPECT_EQ(device->writes, writes);
    EXPECT_EQ(part->position, 60u);
    EXPECT_NE(Logged().find("ERROR: Read operation beyond partition limit\r\n"), std::string::npos);
}

TEST_F(SectorTest, BlankingWritesBlocksOf64Sectors) {
    auto recording = std::make_unique<RecordingDisk>(uint64_t(kCylinder) * 512 * 4);
    RecordingDisk* device = recording.get();
    AddDiskDevice(std::move(recording));
    // A primary partition over cylinders 1 to 2.
    PutTable(device, 0, {Part(0x83, 1, 0, 2)});
    std::vector<uint8_t> junk(512, 0xEE);
    for (uint32_t s = Lba(1, 0, 1); s < Lba(1, 0, 1) + 140; ++s)
        device->PutSector(s, junk.data());
    FsState* part = SelectPart(0x80, 1);
    ASSERT_NE(part, nullptr);
    device->lengths.clear();
    ASSERT_EQ(Seek(*part, 0), 0);
    ASSERT_EQ(BlankSects(*part, 130), 0);
    EXPECT_EQ(device->lengths, (std::vector<size_t>{64 * 512, 64 * 512, 2 * 512}));
    EXPECT_EQ(device->Sector(Lba(1, 0, 1) + 129), std::vector<uint8_t>(512, 0));
    EXPECT_EQ(device->Sector(Lba(1, 0, 1) + 130), junk);
}

TEST_F(SectorTest, InjectedFaultsAreReportedAndStopTheWork) {
    auto inner = std::make_unique<MemoryDisk>(uint64_t(kCylinder) * 512 * 4);
    auto faulty = std::make_unique<FaultyDisk>(std::move(inner), 2, 2);
    AddDiskDevice(std::move(faulty));
    FsState* part = SelectPart(0x80, 0);
    ASSERT_NE(part, nullptr);
    std::vector<uint8_t> buffer(64 * 512);
    EXPECT_EQ(ReadSects(*part, 1, buffer.data()), 0);
    EXPECT_EQ(ReadSects(*part, 1, buffer.data()), -1); // the second read fails
    EXPECT_NE(Logged().find("ERROR: Low-level read failed\r\n"), std::string::npos);
    EXPECT_EQ(part->position, 1u); // a failed read does not advance
    EXPECT_EQ(ReadSects(*part, 1, buffer.data()), 0);
    ASSERT_EQ(Seek(*part, 0), 0);
    EXPECT_EQ(BlankSects(*part, 10), 0);  // first write
    EXPECT_EQ(BlankSects(*part, 10), -1); // second write fails, and blanking with it
    EXPECT_NE(Logged().find("ERROR: Low-level write failed\r\n"), std::string::npos);
}

TEST_F(SectorTest, StickyFaultsFailEveryLaterTransfer) {
    auto inner = std::make_unique<MemoryDisk>(uint64_t(kCylinder) * 512 * 4);
    AddDiskDevice(std::make_unique<FaultyDisk>(std::move(inner), 3, 0, true));
    FsState* part = SelectPart(0x80, 0);
    ASSERT_NE(part, nullptr);
    uint8_t buffer[512];
    int failures = 0;
    for (int i = 0; i < 6; ++i)
        failures += ReadSects(*part, 1, buffer) != 0;
    EXPECT_EQ(failures, 4);
}

TEST_F(SectorTest, AnImageIsNeverExtended) {
    TempImage a(uint64_t(kCylinder) * 512 * 2);
    std::unique_ptr<BlockDevice> device = OpenDiskDevice(a.path.c_str(), true);
    ASSERT_TRUE(device);
    std::vector<uint8_t> data(1024, 1);
    uint64_t end = uint64_t(kCylinder) * 512 * 2;
    EXPECT_EQ(device->WriteAt(end - 512, data.data(), 1024), 512u);
    EXPECT_EQ(device->ReadAt(end, data.data(), 512), 0u);
    device.reset();
    std::ifstream in(a.path, std::ios::binary | std::ios::ate);
    EXPECT_EQ(uint64_t(in.tellg()), end);
}

TEST_F(SectorTest, OnlyImagesAndDevicesAreDisks) {
    EXPECT_FALSE(OpenDiskDevice("/tmp", false));
    EXPECT_NE(Logged().find("neither a block device nor a disk image file"), std::string::npos);
}

TEST(MemoryDiskTest, IsSparseAndReadsZerosWhereUnwritten) {
    MemoryDisk disk(uint64_t(kCylinder) * 512 * 1000); // about 2 GB
    std::vector<uint8_t> data(512 * 3, 7), back(512 * 3);
    EXPECT_EQ(disk.WriteAt(512 * 1000000, data.data(), data.size()), data.size());
    EXPECT_EQ(disk.StoredSectors(), 3u);
    EXPECT_EQ(disk.ReadAt(512 * 999999, back.data(), back.size()), back.size());
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(back[512], 7);
    std::vector<uint8_t> zeros(512 * 3, 0);
    disk.WriteAt(512 * 1000000, zeros.data(), zeros.size());
    EXPECT_EQ(disk.StoredSectors(), 0u);
    EXPECT_EQ(disk.ReadAt(disk.SizeSectors() * 512 - 512, back.data(), 1024), 512u);
}

} // namespace
} // namespace vk::test
