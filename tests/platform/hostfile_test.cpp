// Host files and directories: argument line, names, buffered files, directory
// listing and the packed attribute layout.
#include "platform/hostfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

#include "hostfile_tempdir.h"
#include "platform/types.h"

namespace vk {
namespace {

using test::TempDirTest;

TEST(Arguments, JoinedWithSingleBlanks) {
    char program[] = "pelto", write[] = "-w", script[] = "setup";
    char* argv[] = {program, write, script};
    SetArguments(3, argv);
    ASSERT_NE(GetArguments(), nullptr);
    EXPECT_STREQ(GetArguments(), "-w setup");
    SetArguments(1, argv);
    EXPECT_EQ(GetArguments(), nullptr);
}

TEST(NormalizeName, BackslashesBecomeSlashes) {
    char name[] = "C:\\DOS\\sub\\file.txt";
    NormalizeName(name);
    EXPECT_STREQ(name, "C:/DOS/sub/file.txt");
}

class HostFiles : public TempDirTest {};

// Lists a directory into name -> entry.
std::map<std::string, FsEntry> List(const char* path) {
    std::map<std::string, FsEntry> entries;
    DosDir* dir = OpenDosDir(path);
    EXPECT_NE(dir, nullptr);
    if (!dir) return entries;
    FsEntry entry{};
    for (;;) {
        std::strcpy(entry.path, path);
        if (ReadDosDir(dir, &entry) != 0) break;
        EXPECT_EQ(entry.name, entry.path + std::strlen(path));
        entries[entry.name] = entry;
        entries[entry.name].name = nullptr; // the copy's pointer is not used
    }
    CloseDosDir(dir);
    return entries;
}

TEST_F(HostFiles, ListingKindsSizesAndLinks) {
    WriteText("plain", std::string(1234, 'x'));
    ASSERT_EQ(CreateDosDir("dir"), 0);
    std::string target59(59, 'a'), target60(60, 'b');
    ASSERT_EQ(symlink(target59.c_str(), "short"), 0);
    ASSERT_EQ(symlink(target60.c_str(), "long"), 0);
    ASSERT_EQ(mkfifo("pipe", 0600), 0);

    auto entries = List("./");
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries.count("."), 0u);
    EXPECT_EQ(entries.count(".."), 0u);

    const FsEntry& plain = entries["plain"];
    EXPECT_EQ(plain.kind, kKindFile);
    EXPECT_EQ(plain.size, 1234u);
    EXPECT_STREQ(plain.path, "./plain");
    EXPECT_EQ(ld32(plain.attributes + kAttrSize), 1234u);

    EXPECT_EQ(entries["dir"].kind, kKindDir);
    EXPECT_EQ(entries["dir"].location1, 0u);

    // A 59-byte target travels in the attributes; a 60-byte one is content.
    const FsEntry& shortLink = entries["short"];
    EXPECT_EQ(shortLink.kind, kKindFile);
    EXPECT_EQ(shortLink.size, 0u);
    EXPECT_EQ(ld16(shortLink.attributes + kAttrMode) & 0xF000, 0xA000);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(shortLink.attributes + kAttrExtra)),
              target59);
    EXPECT_EQ(shortLink.attributes[kPackedAttrSize - 1], 0);

    const FsEntry& longLink = entries["long"];
    EXPECT_EQ(longLink.size, 60u);
    for (int i = kAttrExtra; i < kPackedAttrSize; ++i)
        EXPECT_EQ(longLink.attributes[i], 0);

    const FsEntry& pipe = entries["pipe"];
    EXPECT_EQ(pipe.kind, kKindFile);
    EXPECT_EQ(pipe.size, 0u);
    EXPECT_EQ(ld16(pipe.attributes + kAttrMode) & 0xF000, 0x1000);
}

// A name looked up directly gives what the listing gives for it; names the
// listing would never give are not found.
TEST_F(HostFiles, LookupByNameMatchesTheListing) {
    WriteText("plain", "abc");
    ASSERT_EQ(CreateDosDir("dir"), 0);
    ASSERT_EQ(symlink("plain", "link"), 0);
    auto listed = List("./");
    for (const char* name : {"plain", "dir", "link"}) {
        FsEntry e{};
        std::strcpy(e.path, "./");
        ASSERT_EQ(StatDosEntry(&e, name), 0) << name;
        FsEntry& want = listed[name];
        EXPECT_STREQ(e.path, want.path);
        EXPECT_EQ(e.name, e.path + 2);
        EXPECT_EQ(e.kind, want.kind);
        EXPECT_EQ(e.size, want.size);
        // The listing reads the link's target, which may set the link's
        // access time (a first access under relatime) between the two looks.
        st32(e.attributes + kAttrAtime, 0);
        st32(want.attributes + kAttrAtime, 0);
        EXPECT_EQ(std::memcmp(e.attributes, want.attributes, kPackedAttrSize), 0) << name;
    }
    for (const char* name : {"missing", ".", "..", "", "dir/plain"}) {
        FsEntry e{};
        std::strcpy(e.path, "./");
        EXPECT_NE(StatDosEntry(&e, name), 0) << name;
    }
    FsEntry e{};
    std::strcpy(e.path, "./plain/"); // not a directory
    EXPECT_NE(StatDosEntry(&e, "x"), 0);
}

TEST_F(HostFiles, NamesThatDoNotFitThePathAreSkipped) {
    std::string longName(200, 'n');
    WriteText(longName, "x");
    WriteText("ok", "y");
    // A directory prefix 100 characters short of the path limit leaves no
    // room for the long name.
    std::string prefix = "./" + std::string(kPathMax - 102, '/');
    DosDir* dir = OpenDosDir(prefix.c_str());
    ASSERT_NE(dir, nullptr);
    std::vector<std::string> names;
    FsEntry entry{};
    for (;;) {
        std::strcpy(entry.path, prefix.c_str());
        if (ReadDosDir(dir, &entry) != 0) break;
        names.push_back(entry.name);
    }
    CloseDosDir(dir);
    EXPECT_EQ(names, std::vector<std::string>{"ok"});
}

TEST(HostRoot, NoDotsAndMountPointsMarked) {
    auto entries = List("/");
    EXPECT_EQ(entries.count("."), 0u);
    EXPECT_EQ(entries.count(".."), 0u);
    struct stat root, proc;
    if (stat("/", &root) == 0 && lstat("/proc", &proc) == 0 && S_ISDIR(proc.st_mode) &&
        proc.st_dev != root.st_dev) {
        ASSERT_EQ(entries.count("proc"), 1u);
        EXPECT_EQ(entries["proc"].location1, 1u);
    }
    ASSERT_EQ(OpenDosDir("/no/such/directory"), nullptr);
}

TEST(PackAttr, FieldsAtTheirOffsets) {
    struct stat status {};
    status.st_mode = S_IFREG | 0640;
    status.st_uid = 0x1234;
    status.st_gid = 0x5678;
    status.st_atime = 0x11223344;
    status.st_mtime = 0x55667788;
    status.st_ctime = 0x01020304;
    status.st_size = 0xA0B0C0D;
    uint8_t attributes[kPackedAttrSize];
    std::memset(attributes, 0xEE, sizeof attributes);
    LXDOSPackAttr(attributes, &status, "unused");
    EXPECT_EQ(ld16(attributes + 0), 0x81A0);
    EXPECT_EQ(ld16(attributes + 2), 0x1234);
    EXPECT_EQ(ld32(attributes + 4), 0x11223344u);
    EXPECT_EQ(ld32(attributes + 8), 0x55667788u);
    EXPECT_EQ(ld32(attributes + 12), 0x01020304u);
    EXPECT_EQ(ld16(attributes + 16), 0x5678);
    EXPECT_EQ(ld32(attributes + 18), 0xA0B0C0Du);
    for (int i = 22; i < kPackedAttrSize; ++i)
        EXPECT_EQ(attributes[i], 0) << i;

    status.st_mode = S_IFCHR | 0600;
    status.st_rdev = makedev(4, 64);
    LXDOSPackAttr(attributes, &status, "unused");
    EXPECT_EQ(ld32(attributes + 26), 4u * 256 + 64);
    EXPECT_EQ(DecodeDevice(ld32(attributes + 26)), makedev(4, 64));
    // Large numbers keep both parts.
    EXPECT_EQ(DecodeDevice(EncodeDevice(makedev(259, 70000))), makedev(259, 70000));
}

} // namespace
} // namespace vk
