// Conversions between the system's 8-bit texts (Windows-1252) and the terminal's UTF-8.
// A character the target cannot represent becomes "?".
#pragma once

#include <iconv.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace keyrix::platform {

std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);

// An iconv conversion from one encoding to another (iconv's names, e.g. "CP1252").
class TIconv {
public:
    // Raises EOSError when iconv knows no such conversion.
    TIconv(const char* to, const char* from);
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;
    ~TIconv() { ::iconv_close(FHandle); }

    // Appends the conversion of input to output up to the first sequence that is invalid,
    // cut off or has no form in the target; answers how many input bytes were converted.
    std::size_t Convert(std::string_view input, std::string& output);

    // Converts all of input; each sequence that cannot be converted becomes replacement,
    // skipping as many input bytes as skip answers for it.
    template <class Skip>
    std::string ConvertReplacing(std::string_view input, std::string_view replacement, Skip skip) {
        std::string output;
        while (!input.empty()) {
            input.remove_prefix(Convert(input, output));
            if (input.empty()) break;
            output += replacement;
            input.remove_prefix(std::min(input.size(), skip(input)));
        }
        return output;
    }

private:
    iconv_t FHandle;
};

}  // namespace keyrix::platform
