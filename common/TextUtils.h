// Small text helpers that several modules need: case-insensitive comparison, trimming,
// values made safe for log lines, NUL-separated lists and little-endian numbers in byte
// strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace keyrix {

// ASCII case-insensitive equality, as the Windows names (services, sources, schemes,
// header names) compare.
inline bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + ('a' - 'A'));
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + ('a' - 'A'));
        if (x != y) return false;
    }
    return true;
}

// The characters given (blanks and tabs by default) go at either end.
inline std::string_view TrimLeft(std::string_view text, std::string_view blanks = " \t") {
    const auto first = text.find_first_not_of(blanks);
    return first == std::string_view::npos ? std::string_view() : text.substr(first);
}
inline std::string_view TrimRight(std::string_view text, std::string_view blanks = " \t") {
    const auto last = text.find_last_not_of(blanks);
    return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}
inline std::string_view Trim(std::string_view text, std::string_view blanks = " \t") {
    return TrimRight(TrimLeft(text, blanks), blanks);
}

// The strings of a NUL-separated list ("a\0b\0\0" and "a\0b" both give a, b). With
// stopAtEmpty an empty string ends the list, as a REG_MULTI_SZ ends at its double NUL;
// without it an empty string is an element (an empty command-line argument).
inline std::vector<std::string> SplitNul(std::string_view data, bool stopAtEmpty) {
    std::vector<std::string> strings;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find('\0', start);
        if (end == std::string_view::npos) end = data.size();
        if (end == start && stopAtEmpty) break;
        strings.emplace_back(data.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

// A value from outside (the feed, the card-holder file, the database, a server's answer) as
// it may stand inside a log line: its control characters are written visibly, CR as \r, LF
// as \n, tab as \t, the others as \xHH, so that a value can never start a line of its own,
// move the cursor or change the terminal. Other bytes, and the control characters in keep,
// stay as they are.
inline std::string VisibleText(std::string_view text, std::string_view keep = {}) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string visible;
    visible.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x20 && byte != 0x7f) || keep.find(c) != std::string_view::npos) {
            visible += c;
        } else if (c == '\r') {
            visible += "\\r";
        } else if (c == '\n') {
            visible += "\\n";
        } else if (c == '\t') {
            visible += "\\t";
        } else {
            visible += "\\x";
            visible += Hex[byte >> 4];
            visible += Hex[byte & 0xf];
        }
    }
    return visible;
}

// Little-endian numbers at a byte offset; the caller checks the length.
inline std::uint16_t ReadUInt16LE(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}
inline std::uint32_t ReadUInt32LE(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(ReadUInt16LE(bytes, at)) | static_cast<std::uint32_t>(ReadUInt16LE(bytes, at + 2)) << 16;
}
inline void AppendUInt16LE(std::string& bytes, std::uint16_t value) {
    bytes += static_cast<char>(value & 0xff);
    bytes += static_cast<char>(value >> 8);
}
inline void AppendUInt32LE(std::string& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xff);
}

}  // namespace keyrix
