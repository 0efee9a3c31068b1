// UTF-8, the encoding of the terminal and of the menu's texts, and code points, what the
// console's cells and the menu's edit field count in.
#pragma once

#include <string>
#include <string_view>

namespace keyrix {

// A byte that is no part of a valid sequence (also an overlong form or a surrogate) becomes
// U+FFFD.
std::u32string CodePointsOf(std::string_view utf8);
// U+FFFD for a code point that is no character (a surrogate, beyond U+10FFFF).
void AppendUtf8(std::string& out, char32_t ch);
std::string Utf8Of(std::u32string_view codePoints);

}  // namespace keyrix
