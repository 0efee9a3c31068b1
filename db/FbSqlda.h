// The client's descriptor areas (XSQLDA) of a statement: the result columns with a data
// area to fetch into, and the parameters with the values of one execution.
#pragma once

#include "common/Variant.h"
#include "db/FbField.h"

#include <ibase.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace keyrix {

class TFbSqlda {
public:
    explicit TFbSqlda(int capacity = 1);

    XSQLDA* Get() { return FArea.get(); }
    // The number of variables the statement described.
    int Count() const { return FArea->sqld; }
    // Whether the area held all of them; else Reserve(Count()) and describe again.
    bool Complete() const { return FArea->sqld <= FArea->sqln; }
    void Reserve(int capacity);
    XSQLVAR& Var(int index) { return FArea->sqlvar[index]; }

    // The described result columns.
    std::vector<TFbColumn> Columns() const;

    // Gives every variable, as described, a data area and a NULL indicator for fetching.
    void AllocateForFetch();
    // The fetched values of the variables, in order. Blob columns hold their id; the
    // statement replaces it with the content.
    std::vector<TFbCell> FetchedCells() const;

    // Sets up the parameters for one execution with these values: integers as 32- or
    // 64-bit integers, texts as CHAR in the parameter's character set, date-times as
    // timestamps; the server converts each to its parameter's type.
    void Bind(const std::vector<TValue>& values);

private:
    struct TFreeArea {
        void operator()(XSQLDA* area) const { std::free(area); }
    };
    // One parameter's storage; 8-aligned for the numbers the client reads from it.
    struct TSlot {
        alignas(8) unsigned char Fixed[sizeof(ISC_TIMESTAMP) > 8 ? sizeof(ISC_TIMESTAMP) : 8];
        std::string Text;
        short Indicator = 0;
    };

    std::unique_ptr<XSQLDA, TFreeArea> FArea;
    std::vector<std::int64_t> FFetchBuffer;  // 8-aligned room for every column
    std::vector<short> FIndicators;
    std::vector<TSlot> FSlots;
    std::vector<XSQLVAR> FDescribed;  // the parameters as the statement described them
};

}  // namespace keyrix
