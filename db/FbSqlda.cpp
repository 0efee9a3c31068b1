#include "db/FbSqlda.h"

#include "common/Format.h"
#include "db/FbDateTime.h"
#include "db/FbErrors.h"

#include <cstring>
#include <new>

namespace keyrix {

namespace {

constexpr int MaxCharLength = 32767;

short BaseType(const XSQLVAR& var) { return static_cast<short>(var.sqltype & ~1); }

// Bytes the client writes for a variable of this type.
std::size_t DataSize(const XSQLVAR& var) {
    switch (BaseType(var)) {
        case SQL_VARYING: return static_cast<std::size_t>(var.sqllen) + sizeof(short);
        case SQL_NULL: return 1;
        default: return static_cast<std::size_t>(var.sqllen);
    }
}

}  // namespace

TFbSqlda::TFbSqlda(int capacity) { Reserve(capacity); }

void TFbSqlda::Reserve(int capacity) {
    if (capacity < 1) capacity = 1;
    XSQLDA* area = static_cast<XSQLDA*>(std::calloc(1, XSQLDA_LENGTH(static_cast<std::size_t>(capacity))));
    if (area == nullptr) throw std::bad_alloc();
    area->version = SQLDA_VERSION1;
    area->sqln = static_cast<ISC_SHORT>(capacity);
    FArea.reset(area);
}

std::vector<TFbColumn> TFbSqlda::Columns() const {
    std::vector<TFbColumn> columns;
    for (int i = 0; i < FArea->sqld; ++i) {
        const XSQLVAR& var = FArea->sqlvar[i];
        TFbColumn column;
        column.Name = var.aliasname_length > 0 ? std::string(var.aliasname, static_cast<std::size_t>(var.aliasname_length))
                                               : std::string(var.sqlname, static_cast<std::size_t>(var.sqlname_length));
        column.Type = BaseType(var);
        column.Scale = var.sqlscale;
        column.SubType = var.sqlsubtype;
        column.Length = var.sqllen;
        columns.push_back(std::move(column));
    }
    return columns;
}

void TFbSqlda::AllocateForFetch() {
    const int count = FArea->sqld;
    std::vector<std::size_t> offsets;
    std::size_t total = 0;
    for (int i = 0; i < count; ++i) {
        offsets.push_back(total);
        total += (DataSize(FArea->sqlvar[i]) + 7) / 8 * 8;
    }
    FFetchBuffer.assign(total / 8 + 1, 0);
    FIndicators.assign(static_cast<std::size_t>(count), 0);
    auto* base = reinterpret_cast<char*>(FFetchBuffer.data());
    for (int i = 0; i < count; ++i) {
        XSQLVAR& var = FArea->sqlvar[i];
        var.sqldata = base + offsets[static_cast<std::size_t>(i)];
        var.sqlind = &FIndicators[static_cast<std::size_t>(i)];
        var.sqltype |= 1;  // always ask for the NULL indicator
    }
}

std::vector<TFbCell> TFbSqlda::FetchedCells() const {
    std::vector<TFbCell> cells(static_cast<std::size_t>(FArea->sqld));
    for (int i = 0; i < FArea->sqld; ++i) {
        const XSQLVAR& var = FArea->sqlvar[i];
        TFbCell& cell = cells[static_cast<std::size_t>(i)];
        cell.Null = *var.sqlind < 0 || BaseType(var) == SQL_NULL;
        if (cell.Null) continue;
        if (BaseType(var) == SQL_VARYING) {
            short length = 0;
            std::memcpy(&length, var.sqldata, sizeof length);
            cell.Data.assign(var.sqldata + sizeof length, static_cast<std::size_t>(length));
        } else {
            cell.Data.assign(var.sqldata, static_cast<std::size_t>(var.sqllen));
        }
    }
    return cells;
}

void TFbSqlda::Bind(const std::vector<TValue>& values) {
    if (static_cast<int>(values.size()) != FArea->sqld)
        throw EDatabaseError(Format("The statement takes %d values, %d were given", static_cast<int>(FArea->sqld),
                                    static_cast<int>(values.size())));
    // Binding rewrites the variables; the next execution decides from what was described.
    if (FDescribed.empty()) FDescribed.assign(FArea->sqlvar, FArea->sqlvar + FArea->sqld);
    FSlots.assign(values.size(), TSlot{});
    for (std::size_t i = 0; i < values.size(); ++i) {
        XSQLVAR& var = FArea->sqlvar[i];
        TSlot& slot = FSlots[i];
        const TValue& value = values[i];
        // A text keeps the parameter's character set; bytes then reach the column unchanged.
        const bool textParameter = BaseType(FDescribed[i]) == SQL_TEXT || BaseType(FDescribed[i]) == SQL_VARYING;
        var.sqlsubtype = value.Kind() == TValue::TKind::Text && textParameter ? FDescribed[i].sqlsubtype : 0;
        var.sqlind = &slot.Indicator;
        var.sqlscale = 0;
        switch (value.Kind()) {
            case TValue::TKind::Null:
                var.sqltype = SQL_TEXT | 1;
                var.sqllen = 0;
                var.sqldata = reinterpret_cast<ISC_SCHAR*>(slot.Fixed);
                slot.Indicator = -1;
                break;
            case TValue::TKind::Int32: {
                const std::int32_t number = value.AsInt32();
                std::memcpy(slot.Fixed, &number, sizeof number);
                var.sqltype = SQL_LONG | 1;
                var.sqllen = sizeof number;
                var.sqldata = reinterpret_cast<ISC_SCHAR*>(slot.Fixed);
                break;
            }
            case TValue::TKind::Int64: {
                const std::int64_t number = value.AsInt64();
                std::memcpy(slot.Fixed, &number, sizeof number);
                var.sqltype = SQL_INT64 | 1;
                var.sqllen = sizeof number;
                var.sqldata = reinterpret_cast<ISC_SCHAR*>(slot.Fixed);
                break;
            }
            case TValue::TKind::Text: {
                slot.Text = value.AsText();
                if (slot.Text.size() > static_cast<std::size_t>(MaxCharLength))
                    throw EDatabaseError(Format("Parameter %d: a text of %d bytes is longer than %d", static_cast<int>(i + 1),
                                                static_cast<int>(slot.Text.size()), MaxCharLength));
                var.sqltype = SQL_TEXT | 1;
                var.sqllen = static_cast<ISC_SHORT>(slot.Text.size());
                var.sqldata = slot.Text.data();
                break;
            }
            case TValue::TKind::DateTime: {
                const ISC_TIMESTAMP stamp = EncodeFbTimestamp(value.AsDateTime());
                std::memcpy(slot.Fixed, &stamp, sizeof stamp);
                var.sqltype = SQL_TIMESTAMP | 1;
                var.sqllen = sizeof stamp;
                var.sqldata = reinterpret_cast<ISC_SCHAR*>(slot.Fixed);
                break;
            }
        }
    }
}

}  // namespace keyrix
