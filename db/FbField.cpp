#include "db/FbField.h"

#include "common/Format.h"
#include "db/FbDateTime.h"
#include "db/FbErrors.h"

#include <ibase.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace keyrix {

namespace {

template <class T>
T Read(const std::string& data) {
    T value{};
    if (data.size() >= sizeof value) std::memcpy(&value, data.data(), sizeof value);
    return value;
}

std::int64_t Power10(int exponent) {
    std::int64_t result = 1;
    while (exponent-- > 0) result *= 10;
    return result;
}

// A scaled integer (value * 10^scale), rounded half away from zero.
std::int64_t Unscale(std::int64_t value, short scale) {
    if (scale >= 0) return value * Power10(scale);
    const std::int64_t divisor = Power10(-scale);
    std::int64_t whole = value / divisor, rest = value % divisor;
    if (rest * 2 >= divisor) ++whole;
    if (rest * 2 <= -divisor) --whole;
    return whole;
}

std::string ScaledText(std::int64_t value, short scale) {
    if (scale >= 0) return std::to_string(value * Power10(scale));
    // Digits of the magnitude, from the unsigned form so that the minimum value works too.
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::string digits = std::to_string(magnitude);
    const std::size_t decimals = static_cast<std::size_t>(-scale);
    if (digits.size() <= decimals) digits.insert(0, decimals + 1 - digits.size(), '0');
    const std::size_t point = digits.size() - decimals;
    std::string text(value < 0 ? 1 : 0, '-');
    text.append(digits, 0, point);
    text.push_back('.');
    text.append(digits, point, std::string::npos);
    return text;
}

std::int64_t ScaledInteger(const TFbColumn& column, const std::string& data) {
    switch (column.Type) {
        case SQL_SHORT: return Read<std::int16_t>(data);
        case SQL_LONG: return Read<std::int32_t>(data);
        default: return Read<std::int64_t>(data);
    }
}

std::string TextOf(const TFbColumn& column, const TFbCell& cell) {
    switch (column.Type) {
        case SQL_TEXT:
        case SQL_VARYING:
        case SQL_BLOB: return cell.Data;
        case SQL_SHORT:
        case SQL_LONG:
        case SQL_INT64: return ScaledText(ScaledInteger(column, cell.Data), column.Scale);
        case SQL_FLOAT: return Format("%.7g", static_cast<double>(Read<float>(cell.Data)));
        case SQL_DOUBLE:
        case SQL_D_FLOAT: return Format("%.15g", Read<double>(cell.Data));
        case SQL_TYPE_DATE: return FbDateText(Read<ISC_DATE>(cell.Data));
        case SQL_TYPE_TIME: return FbTimeText(Read<ISC_TIME>(cell.Data));
        case SQL_TIMESTAMP: {
            auto stamp = Read<ISC_TIMESTAMP>(cell.Data);
            return FbDateText(stamp.timestamp_date) + " " + FbTimeText(stamp.timestamp_time);
        }
        case SQL_BOOLEAN: return Read<unsigned char>(cell.Data) != 0 ? "TRUE" : "FALSE";
        default: throw EDatabaseError(Format("Column \"%s\" has a type that cannot be read (%d)", column.Name, column.Type));
    }
}

}  // namespace

std::int32_t TFbField::AsInteger() const {
    const std::int64_t value = AsInt64();
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        throw EDatabaseError(Format("The value of column \"%s\" is out of the 32-bit range", Name()));
    return static_cast<std::int32_t>(value);
}

std::int64_t TFbField::AsInt64() const {
    if (IsNull()) return 0;
    const std::string& data = FCell->Data;
    switch (FColumn->Type) {
        case SQL_SHORT:
        case SQL_LONG:
        case SQL_INT64: return Unscale(ScaledInteger(*FColumn, data), FColumn->Scale);
        case SQL_FLOAT: return std::llround(Read<float>(data));
        case SQL_DOUBLE:
        case SQL_D_FLOAT: return std::llround(Read<double>(data));
        case SQL_BOOLEAN: return Read<unsigned char>(data) != 0 ? 1 : 0;
        case SQL_TEXT:
        case SQL_VARYING: {
            std::string text = data;
            text.erase(text.find_last_not_of(' ') + 1);
            errno = 0;
            char* end = nullptr;
            const long long value = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno == ERANGE)
                throw EDatabaseError(Format("\"%s\" is not a valid integer", text));
            return value;
        }
        default:
            throw EDatabaseError(Format("Column \"%s\" cannot be read as an integer", Name()));
    }
}

std::string TFbField::AsString() const {
    if (IsNull()) return {};
    return TextOf(*FColumn, *FCell);
}

}  // namespace keyrix
