// Names a client asks for, opened below the served tree: relative names and
// names from the root ("/grub/grub.cfg", as GRUB asks) reach the same file;
// "..", empty names, links out of the tree and directories are refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "names.h"

namespace vks {
namespace {

TEST(OpenBeneath, NamesFromTheRootAndRefusals) {
    char dir[] = "/tmp/vk_names_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string root = dir;
    ASSERT_EQ(mkdir((root + "/grub").c_str(), 0755), 0);
    std::ofstream(root + "/grub/grub.cfg") << "set timeout=0\n";
    ASSERT_EQ(symlink("/etc/hostname", (root + "/out").c_str()), 0);
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct Case {
        const char* name;
        const char* why; // null: opened
    };
    const Case cases[] = {
        {"grub/grub.cfg", nullptr},
        {"/grub/grub.cfg", nullptr},
        {"//grub//grub.cfg", nullptr},
        {"\\grub\\grub.cfg", nullptr},
        {"", "empty name"},
        {"/", "empty name"},
        {"grub/../grub/grub.cfg", "\"..\" in the name"},
        {"/../etc/hostname", "\"..\" in the name"},
        {"out", "leads outside the root"},
        {"/grub", "not a regular file"},
        {"/grub/none", "not found"},
    };
    for (const Case& c : cases) {
        uint64_t size = 0;
        std::string why;
        int file = OpenBeneath(fd, c.name, &size, why);
        if (c.why == nullptr) {
            EXPECT_GE(file, 0) << c.name << ": " << why;
            EXPECT_EQ(size, 14u) << c.name;
        } else {
            EXPECT_EQ(file, -1) << c.name;
            EXPECT_EQ(why, c.why) << c.name;
        }
        if (file >= 0) close(file);
    }
    close(fd);
    std::string cleanup = "rm -rf " + root;
    EXPECT_EQ(std::system(cleanup.c_str()), 0);
}

} // namespace
} // namespace vks
