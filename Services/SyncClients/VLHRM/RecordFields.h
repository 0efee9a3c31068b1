// The reading rules that the fields of both documents share: a field's text as a whole
// number, leniently or strictly, and the longest employee number the register keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace keyrix {

// The lenient whole number: leading blanks, an optional sign, then decimal digits or, after
// "$" or "0x", hexadecimal ones; the value of the digits that stand there (as many as fit
// in 32 bits), 0 when there are none. Never an error.
std::int32_t WholeNumber(std::string_view text);

// The strict whole number: the same form, but the whole text must be the number and the
// number must lie within [minimum, maximum]; none otherwise.
std::optional<std::int32_t> StrictWholeNumber(std::string_view text, std::int32_t minimum, std::int32_t maximum);

// The longest employee number the register keeps. A longer one is refused as its record's
// error, never cut: cut, two employees' numbers would become one user.
inline constexpr std::size_t MaxEmployeeNumberLength = 11;

}  // namespace keyrix
