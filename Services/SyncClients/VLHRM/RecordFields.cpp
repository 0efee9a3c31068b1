#include "Services/SyncClients/VLHRM/RecordFields.h"

namespace keyrix {

namespace {

struct TNumberScan {
    std::int64_t Value = 0;
    bool Complete = false;  // digits, and nothing after them
};

int DigitValue(char c, int base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

TNumberScan ScanWholeNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
               DigitValue(text[i + 2], 16) >= 0) {
        base = 16;
        i += 2;
    }
    // A digit that would leave the 32-bit range ends the number like any other character.
    const std::int64_t limit = negative ? std::int64_t{2147483648} : std::int64_t{2147483647};
    std::int64_t magnitude = 0;
    bool digits = false;
    for (; i < text.size(); ++i) {
        int digit = DigitValue(text[i], base);
        if (digit < 0) break;
        std::int64_t next = magnitude * base + digit;
        if (next > limit) break;
        magnitude = next;
        digits = true;
    }
    return {negative ? -magnitude : magnitude, digits && i == text.size()};
}

}  // namespace

std::int32_t WholeNumber(std::string_view text) {
    return static_cast<std::int32_t>(ScanWholeNumber(text).Value);
}

std::optional<std::int32_t> StrictWholeNumber(std::string_view text, std::int32_t minimum, std::int32_t maximum) {
    TNumberScan scan = ScanWholeNumber(text);
    if (!scan.Complete || scan.Value < minimum || scan.Value > maximum) return std::nullopt;
    return static_cast<std::int32_t>(scan.Value);
}

}  // namespace keyrix
