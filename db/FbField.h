// A column of a statement's result and its value in the current row.
#pragma once

#include <cstdint>
#include <string>

namespace keyrix {

// What the statement described for a result column.
struct TFbColumn {
    std::string Name;  // the alias, or the column's own name when it has none
    short Type = 0;    // SQL_xxx without the nullable bit
    short Scale = 0;
    short SubType = 0;
    short Length = 0;
};

// One value of a fetched row: the column's bytes as the client delivered them (a VARCHAR
// without its length word, a blob's whole content).
struct TFbCell {
    bool Null = true;
    std::string Data;
};

// A column of the current row. A view into its statement: valid until the statement moves
// to another row or executes again. At the end of the rows it reads as NULL.
class TFbField {
public:
    TFbField(const TFbColumn& column, const TFbCell* cell) : FColumn(&column), FCell(cell) {}

    const std::string& Name() const { return FColumn->Name; }
    bool IsNull() const { return FCell == nullptr || FCell->Null; }
    // NULL reads as 0. Scaled numbers and floating-point values are rounded, texts are
    // parsed; anything else, or a value out of range, raises EDatabaseError.
    std::int32_t AsInteger() const;
    std::int64_t AsInt64() const;
    // The string form: texts and blobs as stored (8-bit, unchanged), numbers in decimal,
    // dates as YYYY-MM-DD, times as HH:MM:SS[.mmm], booleans as TRUE or FALSE; NULL is "".
    std::string AsString() const;

private:
    const TFbColumn* FColumn;
    const TFbCell* FCell;
};

}  // namespace keyrix
