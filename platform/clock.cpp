// Timed waits and the clock. Dates and times are local time throughout, so
// that a time set is the time read back.
#include <cstdio>
#include <ctime>

#include "console_internal.h"
#include "platform/console.h"

namespace vk {

namespace {

int SetSystemClock(long long epochSeconds) {
    timespec ts{};
    ts.tv_sec = time_t(epochSeconds);
    return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : 1;
}

ClockSetter clockSetter = SetSystemClock;

tm LocalNow() {
    time_t now = time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    return t;
}

int Apply(tm& t) {
    t.tm_isdst = -1;
    time_t when = mktime(&t);
    if (when == time_t(-1)) return 1;
    return clockSetter(static_cast<long long>(when));
}

// Reads exactly three numbers separated by `sep`, nothing after them.
bool ScanThree(const char* text, char sep, int* a, int* b, int* c) {
    char format[] = "%d?%d?%d%n";
    format[2] = format[5] = sep;
    int used = -1;
    if (!text || std::sscanf(text, format, a, b, c, &used) != 3 || used < 0) return false;
    return text[used] == 0;
}

} // namespace

void SetClockSetter(ClockSetter setter) {
    clockSetter = setter ? setter : SetSystemClock;
}

void Delay(uint32_t ticks) {
    const int64_t deadline = detail::NowMs() + int64_t(ticks) * 10000 / 182;
    MonitorESC();
    for (;;) {
        int64_t left = deadline - detail::NowMs();
        if (left <= 0) return;
        detail::RefreshScreen();
        detail::WaitInput(left);
        detail::FetchKeys(true);
        detail::HandleEscAndBreak();
    }
}

void GetTime(char* buffer) {
    tm t = LocalNow();
    std::snprintf(buffer, 9, "%02u:%02u:%02u", unsigned(t.tm_hour) % 100, unsigned(t.tm_min) % 100,
                  unsigned(t.tm_sec) % 100);
}

int GetDate(char* buffer) {
    tm t = LocalNow();
    std::snprintf(buffer, 9, "%02u/%02u/%02u", unsigned(t.tm_year) % 100,
                  unsigned(t.tm_mon + 1) % 100, unsigned(t.tm_mday) % 100);
    return t.tm_wday;
}

int SetDate(const char* text) {
    int year, month, day;
    if (!ScanThree(text, '/', &year, &month, &day)) return 1;
    // Two-digit years: 69-99 are 1969-1999, 0-68 are 2000-2068.
    if (year >= 0 && year < 69) year += 100;
    if (year < 0 || year > 1100 || month < 1 || month > 12 || day < 1 || day > 31) return 1;
    tm t = LocalNow();
    t.tm_year = year;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_isdst = -1;
    time_t when = mktime(&t);
    // mktime would roll 31 February over into March: refuse such a date.
    if (when == time_t(-1) || t.tm_mday != day || t.tm_mon != month - 1) return 1;
    return clockSetter(static_cast<long long>(when));
}

int SetTime(const char* text) {
    int hour, minute, second;
    if (!ScanThree(text, ':', &hour, &minute, &second)) return 1;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return 1;
    tm t = LocalNow();
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return Apply(t);
}

uint16_t ReadDOSTime() {
    tm t = LocalNow();
    return uint16_t(t.tm_hour * 2048 + t.tm_min * 32 + t.tm_sec / 2);
}

uint16_t ReadDOSDate() {
    tm t = LocalNow();
    int years = t.tm_year + 1900 - 1980;
    if (years < 0) years = 0;
    if (years > 127) years = 127;
    return uint16_t(years * 512 + (t.tm_mon + 1) * 32 + t.tm_mday);
}

} // namespace vk
