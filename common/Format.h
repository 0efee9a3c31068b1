// printf-style formatting of log and error texts ("%s", "%d", "%.5d", ...), type-checked at
// run time by fmt: a mismatched argument raises instead of reading garbage.
#pragma once

#include <fmt/printf.h>

#include <string>
#include <string_view>

namespace keyrix {

template <class... Args>
std::string Format(std::string_view format, const Args&... args) {
    return fmt::sprintf(format, args...);
}

}  // namespace keyrix
