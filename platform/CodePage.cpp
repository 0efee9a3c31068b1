#include "platform/CodePage.h"

#include "common/Exceptions.h"
#include "common/Format.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace keyrix::platform {

namespace {

class TIconv {
public:
    TIconv(const char* to, const char* from) : FHandle(::iconv_open(to, from)) {
        if (FHandle == reinterpret_cast<iconv_t>(-1)) {
            int error = errno;
            throw EOSError(error, Format("Cannot convert from %s to %s. %s", from, to, SysErrorMessage(error)));
        }
    }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;
    ~TIconv() { ::iconv_close(FHandle); }

    // Converts the whole input; each sequence that cannot be converted becomes '?'.
    std::string Convert(std::string_view input, bool inputIsUtf8) {
        std::string output;
        output.reserve(input.size() * 2);
        char* in = const_cast<char*>(input.data());
        std::size_t inLeft = input.size();
        char chunk[1024];
        while (inLeft > 0) {
            char* out = chunk;
            std::size_t outLeft = sizeof chunk;
            std::size_t rc = ::iconv(FHandle, &in, &inLeft, &out, &outLeft);
            output.append(chunk, static_cast<std::size_t>(out - chunk));
            if (rc != static_cast<std::size_t>(-1)) continue;
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL (a sequence cut off at the end): replace and resynchronise.
            output.push_back('?');
            std::size_t skip = 1;
            // In UTF-8 skip the whole sequence: the lead byte and its continuation bytes.
            while (inputIsUtf8 && skip < inLeft && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80) ++skip;
            in += skip;
            inLeft -= skip;
            ::iconv(FHandle, nullptr, nullptr, nullptr, nullptr);
        }
        return output;
    }

private:
    iconv_t FHandle;
};

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
    if (IsAscii(ansi)) return std::string(ansi);
    return TIconv("UTF-8", "CP1252").Convert(ansi, false);
}

std::string Utf8ToAnsi(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    return TIconv("CP1252", "UTF-8").Convert(utf8, true);
}

}  // namespace keyrix::platform
