// The value a query parameter takes: Null, a 32- or 64-bit integer, a text (8-bit, in the
// ANSI code page) or a local date and time.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace keyrix {

struct TDateTime {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;

    bool operator==(const TDateTime&) const = default;
};

class TValue {
public:
    enum class TKind { Null, Int32, Int64, Text, DateTime };

    TValue() = default;  // Null
    TValue(std::int32_t value) : FData(value) {}
    TValue(std::int64_t value) : FData(value) {}
    TValue(std::string value) : FData(std::move(value)) {}
    TValue(const char* value) : FData(std::string(value)) {}
    TValue(TDateTime value) : FData(value) {}
    TValue(bool) = delete;  // a flag must be bound as an explicit integer

    static TValue Null() { return TValue(); }

    TKind Kind() const { return static_cast<TKind>(FData.index()); }
    bool IsNull() const { return Kind() == TKind::Null; }

    // Typed access; raises EBugCheckError when the value holds another kind.
    std::int32_t AsInt32() const;
    std::int64_t AsInt64() const;  // also widens a 32-bit value
    const std::string& AsText() const;
    const TDateTime& AsDateTime() const;

    // The string form: decimal integers, the text itself, "YYYY-MM-DD HH:MM:SS[.mmm]";
    // Null has the empty string form.
    std::string ToString() const;

    bool operator==(const TValue&) const = default;

private:
    std::variant<std::monostate, std::int32_t, std::int64_t, std::string, TDateTime> FData;
};

}  // namespace keyrix
