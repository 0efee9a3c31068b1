#include "common/Utf8.h"

namespace keyrix {

std::u32string CodePointsOf(std::string_view utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        int length = 0;
        char32_t ch = 0;
        if (lead < 0x80) {
            length = 1, ch = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, ch = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, ch = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, ch = lead & 0x07;
        }
        bool valid = length > 0 && i + static_cast<std::size_t>(length) <= utf8.size();
        for (int k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80) valid = false;
            ch = (ch << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are no characters.
        if (valid && ((length == 3 && ch < 0x800) || (length == 4 && (ch < 0x10000 || ch > 0x10FFFF)) ||
                      (ch >= 0xD800 && ch <= 0xDFFF)))
            valid = false;
        if (!valid) {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        out += ch;
        i += static_cast<std::size_t>(length);
    }
    return out;
}

void AppendUtf8(std::string& out, char32_t ch) {
    if (ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) ch = U'\uFFFD';
    if (ch < 0x80) {
        out += static_cast<char>(ch);
    } else if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    }
}

std::string Utf8Of(std::u32string_view codePoints) {
    std::string out;
    out.reserve(codePoints.size());
    for (char32_t ch : codePoints) AppendUtf8(out, ch);
    return out;
}

}  // namespace keyrix
