// The scan's external sort: thousands of entries over many pages, in a store
// with no memory of its own (every page goes through a temporary file),
// come out in the order of a plain sort by the scan's rule; the filters'
// exclusions and exceptions.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "archive/copy.h"
#include "archive/scan.h"
#include "archive/vfile.h"
#include "archive_fixture.h"
#include "platform/memory.h"

namespace vk::test {
namespace {

class SortTest : public ArchiveTest {
  protected:
    void SetUp() override {
        ArchiveTest::SetUp();
        saved_ = nb_ext_pages;
        nb_ext_pages = 0;
        Settings()["TempPath"] = dir_;
        InitVMM();
    }
    void TearDown() override {
        FreeVMM();
        nb_ext_pages = saved_;
        ArchiveTest::TearDown();
    }
    uint16_t saved_ = 0;
};

struct Sink {
    std::vector<std::string> names;
    uint16_t attr;
};

Status Collect(void* user, const uint8_t* entry) {
    auto* sink = static_cast<Sink*>(user);
    std::string name(reinterpret_cast<const char*>(entry + 4 + sink->attr));
    sink->names.push_back((ld32(entry) == 0xFFFFFFFF ? "D " : "F ") + name);
    return 0;
}

TEST_F(SortTest, ManyPagesMergeIntoOneOrder) {
    for (uint16_t attr : {uint16_t(0), uint16_t(15), uint16_t(86)}) {
        std::mt19937 rng(attr);
        std::vector<std::string> want;
        SortState s;
        ASSERT_EQ(InitSort(&s, attr), 0);
        std::vector<uint8_t> entry(attr + 132);
        const char* fixed[] = {"msdos.sys", "MSDOS.SYS", "IO.SYS", "autoexec.bat", "ABC", "abc"};
        for (int i = 0; i < 3000; ++i) {
            std::string name = i < 6 ? fixed[i] : "n" + std::to_string(rng() % 100000);
            if (i >= 6 && rng() % 3 == 0) name[0] = 'N';
            bool dir = i == 7 || rng() % 5 == 0;
            std::fill(entry.begin(), entry.end(), 0);
            st32(entry.data(), dir ? 0xFFFFFFFF : uint32_t(i));
            std::copy(name.begin(), name.end(), entry.begin() + 4 + attr);
            ASSERT_EQ(SortEntry(&s, entry.data()), 0);
            want.push_back((dir ? "D " : "F ") + name);
        }
        std::stable_sort(want.begin(), want.end(), [](const std::string& a, const std::string& b) {
            if (a[0] != b[0]) return a[0] == 'D';
            return NameIsSmaller(a.c_str() + 2, b.c_str() + 2);
        });
        Sink sink{{}, attr};
        ASSERT_EQ(FlushSort(&s, Collect, &sink), 0);
        // Equal names keep no particular order: compare the names only.
        ASSERT_EQ(sink.names.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i)
            ASSERT_EQ(sink.names[i], want[i]) << "attr " << attr << " at " << i;
    }
    EXPECT_EQ(vm->files[0].access, 0u); // "SWAP" is closed
}

TEST(NameOrder, SystemFilesFirstThenWithoutCaseThenWithCase) {
    std::vector<std::string> names = {"msdos.sys", "autoexec.bat", "MSDOS.SYS", "abc",
                                      "IO.SYS",    "ABC",          "IBMBIO.SYS"};
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return NameIsSmaller(a.c_str(), b.c_str());
    });
    EXPECT_EQ(names, (std::vector<std::string>{"IO.SYS", "MSDOS.SYS", "IBMBIO.SYS", "ABC", "abc",
                                               "autoexec.bat", "msdos.sys"}));
}

TEST(Filters, ExclusionsWithExceptions) {
    FilterSet filters = {{"*.tmp", {"keep/*"}}, {"cache", {"cache/*"}}, {"", {}}};
    struct Case {
        const char* path;
        bool nocase;
        bool pass;
    } cases[] = {
        {"a.tmp", false, false},  {"keep/a.tmp", false, true}, {"x/keep/a.tmp", false, false},
        {"A.TMP", false, true},   {"A.TMP", true, false},      {"cache", false, false},
        {"cache/x", false, true}, {"other", false, true},      {"", false, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PassFilter(filters, c.path, c.nocase), c.pass) << c.path;
    EXPECT_TRUE(PassFilter({}, "anything", false));
}

TEST(ArchiveEnds, TypeAndName) {
    struct Case {
        const char* value;
        uint8_t type;
        const char* name;
    } cases[] = {
        {"A|x.000", kEndArchive, "x.000"},
        {"a|y", kEndIArchive, "y"},
        {"D", kEndDump, ""},
        {"d", kEndIDump, ""},
        {"P|/", kEndScan, "/"},
        {"p|t", kEndPath, "t"},
        {"A", kEndNone, ""},
        {"X|n", kEndNone, "n"},
        {"", kEndNone, ""},
    };
    for (const Case& c : cases) {
        char name[16];
        ArchiveName(c.value, name, sizeof name);
        EXPECT_EQ(ArchiveType(c.value), c.type) << c.value;
        EXPECT_STREQ(name, c.name) << c.value;
    }
}

} // namespace
} // namespace vk::test
