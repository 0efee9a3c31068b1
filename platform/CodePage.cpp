#include "platform/CodePage.h"

#include "common/Exceptions.h"
#include "common/Format.h"

#include <cerrno>

namespace keyrix::platform {

TIconv::TIconv(const char* to, const char* from) : FHandle(::iconv_open(to, from)) {
    if (FHandle == reinterpret_cast<iconv_t>(-1)) {
        int error = errno;
        throw EOSError(error, Format("Cannot convert from %s to %s. %s", from, to, SysErrorMessage(error)));
    }
}

std::size_t TIconv::Convert(std::string_view input, std::string& output) {
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    char chunk[1024];
    while (inLeft > 0) {
        char* out = chunk;
        std::size_t outLeft = sizeof chunk;
        std::size_t rc = ::iconv(FHandle, &in, &inLeft, &out, &outLeft);
        output.append(chunk, static_cast<std::size_t>(out - chunk));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) break;
    }
    ::iconv(FHandle, nullptr, nullptr, nullptr, nullptr);
    return input.size() - inLeft;
}

namespace {

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Opening a conversion costs far more than converting a name, and the imports convert every
// field of every record: each thread keeps its two open. Convert leaves them in their initial
// state.
TIconv& ToUtf8() {
    thread_local TIconv conversion("UTF-8", "CP1252");
    return conversion;
}

TIconv& ToAnsi() {
    thread_local TIconv conversion("CP1252", "UTF-8");
    return conversion;
}

}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
    if (IsAscii(ansi)) return std::string(ansi);
    return ToUtf8().ConvertReplacing(ansi, "?", [](std::string_view) { return std::size_t{1}; });
}

std::string Utf8ToAnsi(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    // A character that cannot be converted goes whole: its lead byte and continuation bytes.
    return ToAnsi().ConvertReplacing(utf8, "?", [](std::string_view rest) {
        std::size_t skip = 1;
        while (skip < rest.size() && (static_cast<unsigned char>(rest[skip]) & 0xC0) == 0x80) ++skip;
        return skip;
    });
}

}  // namespace keyrix::platform
