#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "platform/console.h"

namespace vk {
namespace {

long long lastSet = -1;
int setterResult = 0;
int FakeSetter(long long epoch) {
    lastSet = epoch;
    return setterResult;
}

// Every test here sets the clock through the fake only.
class Clock : public ::testing::Test {
  protected:
    void SetUp() override {
        SetClockSetter(FakeSetter);
        lastSet = -1;
        setterResult = 0;
    }
    void TearDown() override { SetClockSetter(nullptr); }
    static tm Local(long long epoch) {
        time_t t = time_t(epoch);
        tm out{};
        localtime_r(&t, &out);
        return out;
    }
};

TEST_F(Clock, SetTimeKeepsTheDate) {
    time_t now = time(nullptr);
    tm today{};
    localtime_r(&now, &today);
    ASSERT_EQ(SetTime("09:05:00"), 0);
    tm set = Local(lastSet);
    EXPECT_EQ(set.tm_hour, 9);
    EXPECT_EQ(set.tm_min, 5);
    EXPECT_EQ(set.tm_sec, 0);
    EXPECT_EQ(set.tm_mday, today.tm_mday);
}

TEST_F(Clock, SetDateTwoDigitYears) {
    ASSERT_EQ(SetDate("99/12/31"), 0);
    tm set = Local(lastSet);
    EXPECT_EQ(set.tm_year, 99);
    EXPECT_EQ(set.tm_mon, 11);
    EXPECT_EQ(set.tm_mday, 31);
    ASSERT_EQ(SetDate("24/02/29"), 0);
    set = Local(lastSet);
    EXPECT_EQ(set.tm_year + 1900, 2024);
    EXPECT_EQ(set.tm_mon, 1);
    EXPECT_EQ(set.tm_mday, 29);
}

TEST_F(Clock, MalformedOrImpossibleValuesAreRefused) {
    for (const char* bad : {"", "1:2", "1:2:3x", "24:00:00", "12:60:00", "a:b:c"})
        EXPECT_NE(SetTime(bad), 0) << bad;
    for (const char* bad : {"", "23/02/29", "24/13/01", "24/00/10", "24/04/31", "24/1"})
        EXPECT_NE(SetDate(bad), 0) << bad;
    EXPECT_EQ(lastSet, -1); // nothing reached the clock
    setterResult = 1;
    EXPECT_NE(SetTime("10:00:00"), 0); // a refused clock is reported
}

} // namespace
} // namespace vk
