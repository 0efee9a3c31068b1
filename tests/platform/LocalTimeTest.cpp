#include "platform/LocalTime.h"

#include <gtest/gtest.h>

#include <clocale>

using namespace keyrix::platform;

namespace {
TLocalTime At(int year, int month, int day, int hour, int minute, int second, int ms) {
    TLocalTime t;
    t.Tm.tm_year = year - 1900;
    t.Tm.tm_mon = month - 1;
    t.Tm.tm_mday = day;
    t.Tm.tm_hour = hour;
    t.Tm.tm_min = minute;
    t.Tm.tm_sec = second;
    t.Millisecond = ms;
    return t;
}
}  // namespace

TEST(LocalTime, ShortDateBlankLongTimeInTheLocale) {
    std::setlocale(LC_TIME, "C");  // D_FMT %m/%d/%y, T_FMT %H:%M:%S
    EXPECT_EQ(DateTimeToStr(At(2026, 12, 9, 22, 5, 7, 0)), "12/09/26 22:05:07");
    EXPECT_EQ(DateTimeToStr(At(2026, 12, 9, 0, 0, 0, 1)), "12/09/26 00:00:00");
}

TEST(LocalTime, ExactlyMidnightShowsTheDateAlone) {
    std::setlocale(LC_TIME, "C");
    EXPECT_EQ(DateTimeToStr(At(2026, 12, 10, 0, 0, 0, 0)), "12/10/26");
}

TEST(LocalTime, NowIsTheLocalClock) {
    TLocalTime now = LocalNow();
    std::time_t t = std::time(nullptr);
    std::tm expected{};
    localtime_r(&t, &expected);
    EXPECT_EQ(now.Tm.tm_year, expected.tm_year);
    EXPECT_GE(now.Millisecond, 0);
    EXPECT_LT(now.Millisecond, 1000);
}
