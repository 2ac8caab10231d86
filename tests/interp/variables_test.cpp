// The variable store: set, replace, delete, order, listings, linked flags,
// bounds and reads while the store is moved aside.

#include <gtest/gtest.h>

#include <string>

#include "interp/variables.h"
#include "interp_fixture.h"
#include "platform/console.h"
#include "platform/memory.h"

namespace vk {
namespace {

class VariablesTest : public ::testing::Test {
  protected:
    void SetUp() override { test::SetUpInterpreter(); }
    std::string Listing(const char* pattern) {
        test::StartCapture();
        DumpVars(pattern);
        return test::TakeCapture();
    }
};

TEST_F(VariablesTest, SetReplaceDeleteInOrder) {
    SetVar("Foo", "1");
    EXPECT_STREQ(GetVar("FOO"), "1");
    SetVar("Bar", "2");
    SetVar("FOO", "3");
    EXPECT_EQ(Listing("f?o"), "set FOO=\"3\"\r\n");
    EXPECT_EQ(Listing("?ar"), "set Bar=\"2\"\r\n");
    // Replacing moves the entry to the end with the new spelling.
    std::string all = Listing("*");
    EXPECT_LT(all.find("set Bar="), all.find("set FOO="));
    SetVar("foo", "");
    EXPECT_STREQ(GetVar("Foo"), "");
    EXPECT_EQ(FindVar("Foo"), nullptr);
    EXPECT_EQ(Listing("foo"), "");
}

TEST_F(VariablesTest, DefaultsAfterStart) {
    EXPECT_EQ(Listing("Cache*"),
              "set CacheAlways=\"OFF\"\r\nset CacheNever=\"OFF\"\r\nset CacheReserve=\"ON\"\r\n");
    EXPECT_STREQ(GetVar("Program"), "Pelto");
    EXPECT_STREQ(GetVar("HelpFile"), "pelto.hlp");
    EXPECT_STREQ(GetVar("Security-Gateway"), "@89");
    EXPECT_STREQ(GetVar("Security-Check"), "FAILED");
    EXPECT_STREQ(GetVar("Disks"), ""); // no hard disk
}

TEST_F(VariablesTest, LinkedFlags) {
    SetVar("WatchdogPort", "0x80");
    EXPECT_EQ(WatchdogPort, 0);
    SetVar("WatchdogPort", "632");
    EXPECT_EQ(WatchdogPort, 632);
    nb_ext_pages = 10;
    SetVar("ExtMemory", "ON");
    EXPECT_EQ(nb_ext_pages, 10);
    SetVar("ExtMemory", "off");
    EXPECT_EQ(nb_ext_pages, 0);
    SetVar("ExtMemory", "ON");
    EXPECT_EQ(nb_ext_pages, 0);
    SetVar("PauseLog", "on");
    EXPECT_TRUE(pauselog);
    SetVar("PauseLog", "OFF");
    EXPECT_FALSE(pauselog);
}

TEST_F(VariablesTest, LongValuesAreCutOnRead) {
    std::string value(300, 'v');
    SetVar("Long", value.c_str());
    EXPECT_EQ(std::string(GetVar("Long")), std::string(255, 'v'));
    // The stored value itself is whole.
    EXPECT_EQ(std::string(FindVar("Long")).substr(0, 300), value);
}

TEST_F(VariablesTest, EntryEndBytesCannotSplitAnEntry) {
    SetVar("A", "x\xFFy");
    SetVar("B", "2");
    EXPECT_STREQ(GetVar("A"), "xy");
    EXPECT_STREQ(GetVar("B"), "2");
    SetVar("bad=name", "1");
    EXPECT_STREQ(GetVar("bad"), "");
}

TEST_F(VariablesTest, ReadsWhileMovedAsideAreEmpty) {
    SetVar("Kept", "yes");
    BackupVariables();
    EXPECT_STREQ(GetVar("Kept"), "");
    EXPECT_EQ(FindVar("Kept"), nullptr);
    SetVar("Ignored", "1"); // no store to set into
    RestoreVariables();
    EXPECT_STREQ(GetVar("Kept"), "yes");
    EXPECT_STREQ(GetVar("Ignored"), "");
}

TEST_F(VariablesTest, ManyVariables) {
    for (int i = 0; i < 2000; ++i) {
        std::string name = "v" + std::to_string(i);
        SetVar(name.c_str(), name.c_str());
    }
    EXPECT_STREQ(GetVar("V1999"), "v1999");
    for (int i = 0; i < 2000; ++i)
        SetVar(("v" + std::to_string(i)).c_str(), "");
    EXPECT_STREQ(GetVar("v5"), "");
    EXPECT_STREQ(GetVar("Program"), "Pelto");
}

} // namespace
} // namespace vk
