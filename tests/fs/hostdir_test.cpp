// The host directory driver through its operation table.
#include "hostdir/hostdir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hostfile_tempdir.h"
#include "platform/hostfile.h"
#include "platform/types.h"

namespace vk {
namespace {

class HostDir : public test::TempDirTest {
  protected:
    const FsHandler& h = LXDOSHandler;
    FsState* part = &DosFsState;

    // Opens the directory at path ("" for the current directory).
    FsDirHandle* Open(const char* path) {
        FsEntry entry{};
        std::strcpy(entry.path, path);
        entry.name = entry.path;
        entry.kind = kKindDir;
        FsDirHandle* dir = nullptr;
        EXPECT_EQ(h.OpenDir(*part, &entry, &dir), 0) << path;
        return dir;
    }

    std::vector<std::string> Names(FsDirHandle* dir) {
        std::vector<std::string> names;
        FsEntry entry{};
        while (h.NextDirEntry(*part, dir, &entry) == 0)
            names.push_back(entry.path);
        h.CloseDir(*part, dir);
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::vector<uint8_t> Attributes(uint16_t mode, uint32_t size = 0) {
        std::vector<uint8_t> a(kPackedAttrSize, 0);
        st16(a.data() + kAttrMode, mode);
        st16(a.data() + kAttrUid, uint16_t(getuid()));
        st16(a.data() + kAttrGid, uint16_t(getgid()));
        st32(a.data() + kAttrAtime, 1000000000);
        st32(a.data() + kAttrMtime, 1100000000);
        st32(a.data() + kAttrSize, size);
        return a;
    }
};

TEST_F(HostDir, DirectoryHandlesAndPaths) {
    ASSERT_EQ(mkdir("a", 0755), 0);
    WriteText("a/x", "1");
    WriteText("top", "2");
    EXPECT_EQ(Names(Open("")), (std::vector<std::string>{"./a", "./top"}));
    EXPECT_EQ(Names(Open("a")), (std::vector<std::string>{"a/x"}));
    EXPECT_EQ(Names(Open(Path("a/").c_str())), (std::vector<std::string>{Path("a/x")}));

    // A mount point lists as empty without touching the host.
    FsEntry mount{};
    std::strcpy(mount.path, "/no/such/place");
    mount.location1 = 1;
    FsDirHandle* dir = nullptr;
    ASSERT_EQ(h.OpenDir(*part, &mount, &dir), 0);
    EXPECT_TRUE(Names(dir).empty());

    FsEntry missing{};
    std::strcpy(missing.path, "nothing");
    EXPECT_NE(h.OpenDir(*part, &missing, &dir), 0);

    // The root.
    ASSERT_EQ(h.OpenDir(*part, nullptr, &dir), 0);
    FsEntry entry{};
    ASSERT_EQ(h.NextDirEntry(*part, dir, &entry), 0);
    EXPECT_EQ(entry.path[0], '/');
    h.CloseDir(*part, dir);
    FsEntry root{};
    root.name = root.path;
    ASSERT_EQ(h.GetFileInfo(*part, &root), 0);
    EXPECT_EQ(root.kind, kKindDir);
    // Without the root device (devices are not probed here) the boot area is
    // empty rather than unreadable.
    EXPECT_EQ(h.GetNumBootSectors(*part, nullptr), 0);
}

TEST_F(HostDir, SymbolicLinksShortAndLong) {
    FsDirHandle* dir = Open("");
    // Short: made at once from the attributes, with the archived times.
    auto shortAttr = Attributes(0xA1FF, 6);
    std::memcpy(shortAttr.data() + kAttrExtra, "target", 7);
    FsEntry shortLink{};
    ASSERT_EQ(h.CreateFile(*part, dir, "s", shortAttr.data(), &shortLink), 0);
    EXPECT_EQ(shortLink.start, 0u);
    char text[256] = {};
    ASSERT_EQ(readlink("s", text, sizeof text - 1), 6);
    EXPECT_STREQ(text, "target");
    struct stat status;
    ASSERT_EQ(lstat("s", &status), 0);
    EXPECT_EQ(status.st_mtime, 1100000000);

    // Long: pending until the content arrives.
    std::string target = "/" + std::string(99, 't');
    auto longAttr = Attributes(0xA1FF, uint32_t(target.size()));
    FsEntry longLink{};
    ASSERT_EQ(h.CreateFile(*part, dir, "l", longAttr.data(), &longLink), 0);
    EXPECT_EQ(longLink.start, 100u);
    EXPECT_NE(lstat("l", &status), 0);
    FsFileHandle* file = nullptr;
    uint64_t size = 0;
    EXPECT_NE(h.OpenFile(*part, &longLink, &size, &file), 0); // pending, not readable
    ASSERT_EQ(h.RewriteFile(*part, &longLink, 100, &file), 0);
    std::vector<uint8_t> data(kChunkMax, 'z');
    std::memcpy(data.data(), target.data(), target.size());
    EXPECT_EQ(h.WriteFileChunk(*part, file, data.data(), uint16_t(target.size() + 20)), 100);
    h.CloseFile(*part, file);
    std::memset(text, 0, sizeof text);
    ASSERT_EQ(readlink("l", text, sizeof text - 1), 100);
    EXPECT_EQ(std::string(text), target);

    // Listing and reading back: the long target is the content.
    std::vector<std::string> names;
    FsDirHandle* again = Open("");
    FsEntry entry{};
    FsEntry listedLong{};
    while (h.NextDirEntry(*part, again, &entry) == 0)
        if (std::strcmp(entry.name, "l") == 0) CopyEntry(listedLong, entry);
    h.CloseDir(*part, again);
    EXPECT_EQ(listedLong.size, 100u);
    ASSERT_EQ(h.OpenFile(*part, &listedLong, &size, &file), 0);
    EXPECT_EQ(size, 100u);
    // Only one link at a time.
    FsFileHandle* second = nullptr;
    EXPECT_NE(h.OpenFile(*part, &listedLong, &size, &second), 0);
    EXPECT_EQ(h.ReadFileChunk(*part, file, data.data()), 100);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data()), 100), target);
    EXPECT_EQ(h.ReadFileChunk(*part, file, data.data()), 0);
    h.CloseFile(*part, file);
    ASSERT_EQ(h.OpenFile(*part, &listedLong, &size, &second), 0);
    h.CloseFile(*part, second);
    h.CloseDir(*part, dir);
}

TEST_F(HostDir, SpecialFilesHaveNoContent) {
    FsDirHandle* dir = Open("");
    auto fifo = Attributes(0x1180);
    FsEntry entry{};
    ASSERT_EQ(h.CreateFile(*part, dir, "p", fifo.data(), &entry), 0);
    struct stat status;
    ASSERT_EQ(lstat("p", &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    FsFileHandle* file = nullptr;
    uint64_t size = 99;
    entry.size = 0;
    ASSERT_EQ(h.OpenFile(*part, &entry, &size, &file), 0); // never opens the FIFO itself
    EXPECT_EQ(size, 0u);
    std::vector<uint8_t> buffer(kChunkMax);
    EXPECT_EQ(h.ReadFileChunk(*part, file, buffer.data()), 0);
    EXPECT_EQ(h.WriteFileChunk(*part, file, buffer.data(), 10), 0);
    h.CloseFile(*part, file);
    h.CloseDir(*part, dir);
}

TEST_F(HostDir, AttributesNeverFollowLinks) {
    WriteText("victim", "data");
    ASSERT_EQ(chmod("victim", 0600), 0);
    ASSERT_EQ(symlink("victim", "link"), 0);
    auto attributes = Attributes(0xA1FF);
    st16(attributes.data() + kAttrMode, 0xA000 | 0777);
    UnPackAttr("link", attributes.data());
    struct stat status;
    ASSERT_EQ(stat("victim", &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_NE(status.st_mtime, 1100000000);
}

TEST_F(HostDir, NothingGoesThroughALinkAlongThePath) {
    ASSERT_EQ(mkdir("out", 0755), 0);
    ASSERT_EQ(mkdir("out/d", 0755), 0);
    WriteText("out/x", "keep");
    ASSERT_EQ(chmod("out/x", 0600), 0);
    ASSERT_EQ(symlink("out", "via"), 0);
    auto entry = [](const char* path, uint8_t kind) {
        FsEntry e{};
        std::strcpy(e.path, path);
        e.name = std::strrchr(e.path, '/') + 1;
        e.kind = kind;
        return e;
    };
    FsEntry x = entry("via/x", kKindFile), d = entry("via/d", kKindDir);
    FsDirHandle* dir = nullptr;
    FsFileHandle* file = nullptr;
    EXPECT_NE(h.OpenDir(*part, &d, &dir), 0);
    EXPECT_NE(h.RewriteFile(*part, &x, 0, &file), 0);
    EXPECT_NE(h.RemoveFile(*part, &x), 0);
    EXPECT_NE(h.RemoveDir(*part, &d), 0);
    auto attributes = Attributes(0x81FF);
    UnPackAttr("via/x", attributes.data());
    UnPackTimes("via/d", attributes.data());
    struct stat status;
    ASSERT_EQ(stat("out/x", &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_NE(status.st_mtime, 1100000000);
    ASSERT_EQ(stat("out/d", &status), 0);
    EXPECT_NE(status.st_mtime, 1100000000);

    // A directory replaced by a link while its handle is open: entries go on
    // into the directory itself, and the name is not entered again.
    ASSERT_EQ(mkdir("real", 0755), 0);
    dir = Open("real/");
    ASSERT_EQ(rename("real", "moved"), 0);
    ASSERT_EQ(symlink("out", "real"), 0);
    FsEntry created{};
    EXPECT_EQ(h.CreateFile(*part, dir, "new", nullptr, &created), 0);
    for (const char* bad : {"a/b", "a\\b", "..", "."})
        EXPECT_EQ(h.CreateFile(*part, dir, bad, nullptr, &created), 1) << bad;
    h.CloseDir(*part, dir);
    EXPECT_EQ(access("moved/new", F_OK), 0);
    EXPECT_NE(access("out/new", F_OK), 0);
    FsEntry real = entry("real/", kKindDir);
    EXPECT_NE(h.OpenDir(*part, &real, &dir), 0);
}

TEST(HostAddEntrySize, Ext2DirectoryRule) {
    FsEntry entry{};
    std::strcpy(entry.path, "dir/abcde");
    entry.name = entry.path + 4;
    EXPECT_EQ(HostAddEntrySize(0, nullptr, 1024), 24u);
    EXPECT_EQ(HostAddEntrySize(0, &entry, 1024), 24u + 16);      // 5 + 8 -> 16
    EXPECT_EQ(HostAddEntrySize(1020, &entry, 1024), 1024u + 16); // moves to the next block
    EXPECT_EQ(HostAddEntrySize(1008, &entry, 1024), 1024u);      // fits exactly
}

} // namespace
} // namespace vk
