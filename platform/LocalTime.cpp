#include "platform/LocalTime.h"

#include "platform/Env.h"

#include <langinfo.h>

#include <chrono>

namespace keyrix::platform {

namespace {
std::string FormatTm(const char* format, const std::tm& tm) {
    char buffer[128];
    std::size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, n);
}
}  // namespace

TLocalTime LocalNow() {
    using namespace std::chrono;
    const auto now = Env().Now();
    const std::time_t seconds = system_clock::to_time_t(now);
    TLocalTime result;
    ::localtime_r(&seconds, &result.Tm);
    result.Millisecond = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    return result;
}

std::string DateTimeToStr(const TLocalTime& time) {
    std::string text = FormatTm(::nl_langinfo(D_FMT), time.Tm);
    const bool midnight =
        time.Tm.tm_hour == 0 && time.Tm.tm_min == 0 && time.Tm.tm_sec == 0 && time.Millisecond == 0;
    if (!midnight) {
        text += ' ';
        text += FormatTm(::nl_langinfo(T_FMT), time.Tm);
    }
    return text;
}

}  // namespace keyrix::platform
