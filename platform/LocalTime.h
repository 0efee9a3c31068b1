// Local date and time, and their text in the process's LC_TIME locale.
#pragma once

#include <ctime>
#include <string>

namespace keyrix::platform {

struct TLocalTime {
    std::tm Tm{};
    int Millisecond = 0;
};

TLocalTime LocalNow();

// The locale's short date, a blank and its long time (nl_langinfo D_FMT and T_FMT);
// at exactly midnight the blank and the time are left out.
std::string DateTimeToStr(const TLocalTime& time);

}  // namespace keyrix::platform
