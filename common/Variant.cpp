#include "common/Variant.h"

#include "common/Exceptions.h"
#include "common/Format.h"

namespace keyrix {

namespace {
const char* KindName(TValue::TKind kind) {
    switch (kind) {
        case TValue::TKind::Null: return "Null";
        case TValue::TKind::Int32: return "Int32";
        case TValue::TKind::Int64: return "Int64";
        case TValue::TKind::Text: return "Text";
        case TValue::TKind::DateTime: return "DateTime";
    }
    return "?";
}

[[noreturn]] void WrongKind(TValue::TKind held, const char* wanted) {
    throw EBugCheckError(Format("TValue holds %s, read as %s", KindName(held), wanted));
}
}  // namespace

std::int32_t TValue::AsInt32() const {
    if (auto* v = std::get_if<std::int32_t>(&FData)) return *v;
    WrongKind(Kind(), "Int32");
}

std::int64_t TValue::AsInt64() const {
    if (auto* v = std::get_if<std::int64_t>(&FData)) return *v;
    if (auto* v = std::get_if<std::int32_t>(&FData)) return *v;
    WrongKind(Kind(), "Int64");
}

const std::string& TValue::AsText() const {
    if (auto* v = std::get_if<std::string>(&FData)) return *v;
    WrongKind(Kind(), "Text");
}

const TDateTime& TValue::AsDateTime() const {
    if (auto* v = std::get_if<TDateTime>(&FData)) return *v;
    WrongKind(Kind(), "DateTime");
}

std::string TValue::ToString() const {
    switch (Kind()) {
        case TKind::Null: return {};
        case TKind::Int32:
        case TKind::Int64: return std::to_string(AsInt64());
        case TKind::Text: return AsText();
        case TKind::DateTime: {
            const TDateTime& d = AsDateTime();
            std::string text = Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", d.Year, d.Month, d.Day, d.Hour,
                                      d.Minute, d.Second);
            if (d.Millisecond != 0) text += Format(".%.3d", d.Millisecond);
            return text;
        }
    }
    return {};
}

}  // namespace keyrix
