// A statement (a query, in the rest of the system): SQL text with `:name` markers, its
// connection and transaction, the prepared handle and the rows of its last execution.
#pragma once

#include "common/Variant.h"
#include "db/FbConnection.h"
#include "db/FbField.h"
#include "db/FbSqlText.h"
#include "db/FbSqlda.h"
#include "db/FbTransaction.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace keyrix {

// Rows touched by one execution, as the server counts them.
struct TRowCounts {
    std::int64_t Updated = 0;
    std::int64_t Deleted = 0;
    std::int64_t Selected = 0;
    std::int64_t Inserted = 0;

    bool operator==(const TRowCounts&) const = default;
};

class TFbQuery {
public:
    // A statement of the transaction's connection, in that transaction.
    explicit TFbQuery(std::shared_ptr<TFbTransaction> transaction);
    TFbQuery(const TFbQuery&) = delete;
    TFbQuery& operator=(const TFbQuery&) = delete;
    ~TFbQuery();

    // A new text unprepares the statement.
    void SetSQL(std::string sql);
    const std::string& SQL() const { return FSQL; }
    // The marker names in text order, one per occurrence.
    const std::vector<std::string>& Markers() const { return FParsed.Markers; }

    // Null when it has none or its transaction was freed.
    std::shared_ptr<TFbTransaction> Transaction() const;
    void SetTransaction(std::shared_ptr<TFbTransaction> transaction);

    // Handle policy: a one-shot statement releases its prepared handle after each
    // execution; a cached one keeps it for the next.
    bool Cached() const { return FCached; }
    void SetCached(bool cached) { FCached = cached; }

    // A select that yields one row at most by its own text ("... from rdb$database",
    // "select first 1 ..."): its row comes back with the execution, one round trip instead
    // of an execution and a fetch. A second row would fail the execution.
    bool Singleton() const { return FSingleton; }
    void SetSingleton(bool singleton) { FSingleton = singleton; }

    // Executions of this statement, and of all statements of the process (for tests and
    // the benchmark: what a pass costs in round trips).
    std::uint64_t Executions() const { return FExecutions; }
    static std::uint64_t TotalExecutions();

    void Prepare();
    bool Prepared() const;

    // Executes with one value per marker occurrence, in text order; the transaction starts
    // first when inactive. Statements that yield rows make the first row current.
    void ExecuteWith(const std::vector<TValue>& values = {});

    bool Eof() const { return FCurrentRow >= FRows.size(); }
    void NextRow();
    std::size_t FieldCount() const { return FColumns.size(); }
    // By column name or alias, case-insensitive; raises EDatabaseError for a name the
    // result does not have.
    TFbField FieldByName(std::string_view name) const;
    // By column index from 0; raises EDatabaseError past the last column.
    TFbField FieldAt(std::size_t index) const;
    void CloseCursor();

    // Of the last execution.
    TRowCounts RowCounts();

    // Releases the prepared handle and lets go of the transaction; the object cannot be
    // used again.
    void Free();
    bool IsFreed() const { return FFreed; }

private:
    void CheckUsable() const;
    bool HandleValid() const;
    void ReleaseHandle();
    void FetchAll(isc_tr_handle* transaction);
    void AddRow(isc_tr_handle* transaction);
    std::string ReadBlob(isc_tr_handle* transaction, const std::string& blobId);
    TRowCounts QueryRowCounts();

    std::shared_ptr<TFbAttachment> FAttachment;
    std::shared_ptr<TFbTransaction> FTransaction;
    std::string FSQL;
    TParsedSql FParsed;
    bool FCached = false;
    bool FSingleton = false;
    std::uint64_t FExecutions = 0;
    bool FFreed = false;

    isc_stmt_handle FHandle = 0;
    std::uint64_t FGeneration = 0;
    int FStatementType = 0;
    std::unique_ptr<TFbSqlda> FInput, FOutput;
    std::vector<TFbColumn> FColumns;

    std::vector<std::vector<TFbCell>> FRows;
    std::size_t FCurrentRow = 0;
    bool FExecuted = false;
    // A select's cursor whose close has not succeeded yet; the next execution closes it
    // first, or the server refuses to open it again.
    bool FCursorOpen = false;
    bool FRowCountsKnown = false;
    TRowCounts FRowCounts;
};

}  // namespace keyrix
