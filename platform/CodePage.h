// Conversions between the system's 8-bit texts (Windows-1252) and the terminal's UTF-8.
// A character the target cannot represent becomes "?".
#pragma once

#include <string>
#include <string_view>

namespace keyrix::platform {

std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);

}  // namespace keyrix::platform
