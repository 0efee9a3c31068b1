#include "db/FbQuery.h"

#include "common/Format.h"
#include "common/ScopeGuard.h"
#include "common/TextUtils.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace keyrix {

namespace {

// Little-endian integers of the info buffers, whatever the host's order.
std::int64_t InfoInteger(const char* bytes, int length) {
    std::uint64_t value = 0;
    for (int i = length - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[i]);
    if (length > 0 && length < 8 && (static_cast<unsigned char>(bytes[length - 1]) & 0x80))
        value |= ~std::uint64_t{0} << (length * 8);  // sign-extend
    return static_cast<std::int64_t>(value);
}

int InfoLength(const char* bytes) { return static_cast<int>(InfoInteger(bytes, 2) & 0xFFFF); }

// isc_dsql_free_statement's options, in the type it takes.
constexpr unsigned short FreeClose = DSQL_close;
constexpr unsigned short FreeDrop = DSQL_drop;

}  // namespace

TFbQuery::TFbQuery(std::shared_ptr<TFbTransaction> transaction) {
    if (!transaction) throw EBugCheckError("TFbQuery: a statement needs a transaction");
    FAttachment = transaction->Attachment();
    FTransaction = std::move(transaction);
}

TFbQuery::~TFbQuery() { ReleaseHandle(); }

void TFbQuery::SetSQL(std::string sql) {
    ReleaseHandle();
    FSQL = std::move(sql);
    FParsed = ParseSqlMarkers(FSQL);
    CloseCursor();
    FColumns.clear();
    FExecuted = false;
}

std::shared_ptr<TFbTransaction> TFbQuery::Transaction() const {
    return FTransaction && !FTransaction->IsFreed() ? FTransaction : nullptr;
}

void TFbQuery::SetTransaction(std::shared_ptr<TFbTransaction> transaction) {
    if (transaction && transaction->Attachment() != FAttachment)
        throw EDatabaseError("The transaction belongs to another connection");
    FTransaction = std::move(transaction);
}

bool TFbQuery::HandleValid() const {
    return FHandle != 0 && FAttachment->Attached() && FGeneration == FAttachment->Generation;
}

bool TFbQuery::Prepared() const { return HandleValid() && FOutput != nullptr; }

void TFbQuery::CheckUsable() const {
    if (FFreed) throw EDatabaseError("The statement has been freed");
    if (FSQL.empty()) throw EDatabaseError("The statement has no SQL text");
}

void TFbQuery::Prepare() {
    CheckUsable();
    if (Prepared()) return;
    ReleaseHandle();  // a handle of an earlier attachment, or of a half-done preparation
    FInput.reset();
    FOutput.reset();
    FColumns.clear();
    std::shared_ptr<TFbTransaction> transaction = Transaction();
    if (!transaction) throw EDatabaseError("The statement has no transaction");
    if (transaction->Attachment() != FAttachment) throw EDatabaseError("The transaction belongs to another connection");
    if (FParsed.Text.size() > 65535) throw EDatabaseError("The statement text is longer than 65535 bytes");
    FAttachment->CheckUsable("");
    const unsigned short dialect = FAttachment->Dialect;

    // Preparing does not start the statement's transaction; an active one is used, so
    // that it sees its own uncommitted metadata.
    isc_tr_handle* inTransaction =
        transaction->IsActive() ? transaction->ActiveHandle() : FAttachment->PrepareTransaction();

    ISC_STATUS_ARRAY status{};
    isc_stmt_handle handle = 0;
    FAttachment->Call(&TFbClient::isc_dsql_allocate_statement, status, &FAttachment->Handle, &handle);
    FAttachment->Check(status, "");
    FHandle = handle;
    FGeneration = FAttachment->Generation;

    auto fail = [&] {
        // The handle goes first: a lost connection frees the statements and closes.
        std::vector<ISC_STATUS> failed(status, status + ISC_STATUS_LENGTH);
        ReleaseHandle();
        FAttachment->Raise(failed.data(), "");
    };
    auto input = std::make_unique<TFbSqlda>(8);
    auto output = std::make_unique<TFbSqlda>(8);
    FAttachment->Call(&TFbClient::isc_dsql_prepare, status, inTransaction, &FHandle, static_cast<unsigned short>(FParsed.Text.size()),
                            FParsed.Text.data(), dialect, output->Get());
    if (status[1] != 0) fail();
    if (!output->Complete()) {
        output->Reserve(output->Count());
        FAttachment->Call(&TFbClient::isc_dsql_describe, status, &FHandle, dialect, output->Get());
        if (status[1] != 0) fail();
    }
    FAttachment->Call(&TFbClient::isc_dsql_describe_bind, status, &FHandle, dialect, input->Get());
    if (status[1] != 0) fail();
    if (!input->Complete()) {
        input->Reserve(input->Count());
        FAttachment->Call(&TFbClient::isc_dsql_describe_bind, status, &FHandle, dialect, input->Get());
        if (status[1] != 0) fail();
    }
    const char item = isc_info_sql_stmt_type;
    char info[16] = {};
    FAttachment->Call(&TFbClient::isc_dsql_sql_info, status, &FHandle, static_cast<short>(1), &item,
                      static_cast<short>(sizeof info), info);
    if (status[1] != 0) fail();
    FStatementType = info[0] == item ? static_cast<int>(InfoInteger(info + 3, InfoLength(info + 1))) : 0;

    FColumns = output->Columns();
    output->AllocateForFetch();
    FInput = std::move(input);
    FOutput = std::move(output);
}

namespace {
std::atomic<std::uint64_t> ProcessExecutions{0};
}

std::uint64_t TFbQuery::TotalExecutions() { return ProcessExecutions.load(); }

void TFbQuery::ExecuteWith(const std::vector<TValue>& values) {
    ++FExecutions;
    ++ProcessExecutions;
    Prepare();
    std::shared_ptr<TFbTransaction> transaction = Transaction();
    if (!transaction) throw EDatabaseError("The statement has no transaction");
    CloseCursor();
    FExecuted = false;
    FRowCountsKnown = false;
    try {
        FInput->Bind(values);
        isc_tr_handle* inTransaction = transaction->ActiveHandle();
        const unsigned short dialect = FAttachment->Dialect;
        const XSQLDA* input = FInput->Count() > 0 ? FInput->Get() : nullptr;
        ISC_STATUS_ARRAY status{};
        const bool select = FStatementType == isc_info_sql_stmt_select || FStatementType == isc_info_sql_stmt_select_for_upd;
        if (select && FSingleton && FOutput->Count() > 0 && !FCursorOpen) {
            // No cursor stays open. The server answers "no row" with isc_stream_eof.
            FAttachment->Call(&TFbClient::isc_dsql_execute2, status, inTransaction, &FHandle, dialect, input,
                              FOutput->Get());
            if (status[1] != isc_stream_eof) {
                FAttachment->Check(status, "");
                AddRow(inTransaction);
            }
        } else if (select) {
            if (FCursorOpen && HandleValid() && FAttachment->Usable()) {
                ISC_STATUS_ARRAY closeStatus{};
                FAttachment->Call(&TFbClient::isc_dsql_free_statement, closeStatus, &FHandle, FreeClose);
                FAttachment->Check(closeStatus, "");
            }
            FCursorOpen = false;
            FAttachment->Call(&TFbClient::isc_dsql_execute, status, inTransaction, &FHandle, dialect, input);
            FAttachment->Check(status, "");
            FCursorOpen = true;
            FetchAll(inTransaction);
        } else if (FOutput->Count() > 0) {
            // A procedure or a statement with "returning": one row, with the execution.
            FAttachment->Call(&TFbClient::isc_dsql_execute2, status, inTransaction, &FHandle, dialect, input, FOutput->Get());
            FAttachment->Check(status, "");
            AddRow(inTransaction);
        } else {
            FAttachment->Call(&TFbClient::isc_dsql_execute, status, inTransaction, &FHandle, dialect, input);
            FAttachment->Check(status, "");
        }
        FExecuted = true;
        if (!FCached) {
            FRowCounts = QueryRowCounts();
            FRowCountsKnown = true;
            ReleaseHandle();
        }
    } catch (...) {
        if (!FCached) ReleaseHandle();
        throw;
    }
}

void TFbQuery::FetchAll(isc_tr_handle* transaction) {
    ISC_STATUS_ARRAY status{};
    // The rows are read at once, so the cursor never stays open between calls and a
    // one-shot statement can let go of its handle.
    auto closeCursor = [&] {
        ISC_STATUS_ARRAY closeStatus{};
        if (HandleValid() && FAttachment->Usable()) FAttachment->Call(&TFbClient::isc_dsql_free_statement, closeStatus, &FHandle, FreeClose);
        if (closeStatus[1] == 0) FCursorOpen = false;
        return closeStatus[1] == 0;
    };
    try {
        for (;;) {
            const ISC_STATUS result = FAttachment->Call(&TFbClient::isc_dsql_fetch, status, &FHandle, FAttachment->Dialect, FOutput->Get());
            if (result == 100) break;
            FAttachment->Check(status, "");
            AddRow(transaction);
        }
    } catch (...) {
        closeCursor();
        throw;
    }
    ISC_STATUS_ARRAY closeStatus{};
    FAttachment->Call(&TFbClient::isc_dsql_free_statement, closeStatus, &FHandle, FreeClose);
    FAttachment->Check(closeStatus, "");
    FCursorOpen = false;
}

void TFbQuery::AddRow(isc_tr_handle* transaction) {
    std::vector<TFbCell> cells = FOutput->FetchedCells();
    for (std::size_t i = 0; i < cells.size(); ++i)
        if (FColumns[i].Type == SQL_BLOB && !cells[i].Null) cells[i].Data = ReadBlob(transaction, cells[i].Data);
    FRows.push_back(std::move(cells));
}

std::string TFbQuery::ReadBlob(isc_tr_handle* transaction, const std::string& blobId) {
    ISC_QUAD id{};
    std::memcpy(&id, blobId.data(), std::min(sizeof id, blobId.size()));
    ISC_STATUS_ARRAY status{};
    isc_blob_handle blob = 0;
    FAttachment->Call(&TFbClient::isc_open_blob2, status, &FAttachment->Handle, transaction, &blob, &id, static_cast<unsigned short>(0), nullptr);
    FAttachment->Check(status, "");
    TScopeGuard closer([&attachment = *FAttachment, &blob, generation = FAttachment->Generation] {
        ISC_STATUS_ARRAY ignored{};
        if (blob != 0 && attachment.Usable() && attachment.Generation == generation)
            attachment.Call(&TFbClient::isc_close_blob, ignored, &blob);
    });

    std::string content;
    char segment[8192];
    for (;;) {
        unsigned short length = 0;
        FAttachment->Call(&TFbClient::isc_get_segment, status, &blob, &length, static_cast<unsigned short>(sizeof segment), segment);
        if (status[1] == 0 || status[1] == isc_segment) {
            content.append(segment, length);
        } else if (status[1] == isc_segstr_eof) {
            break;
        } else {
            FAttachment->Check(status, "");
        }
    }
    return content;
}

void TFbQuery::NextRow() {
    if (!Eof()) ++FCurrentRow;
}

TFbField TFbQuery::FieldByName(std::string_view name) const {
    for (std::size_t i = 0; i < FColumns.size(); ++i)
        if (SameText(FColumns[i].Name, name)) return FieldAt(i);
    throw EDatabaseError(Format("Field \"%s\" not found", std::string(name)));
}

TFbField TFbQuery::FieldAt(std::size_t index) const {
    if (index >= FColumns.size())
        throw EDatabaseError(Format("Field index %d out of range (%d fields)", static_cast<int>(index),
                                    static_cast<int>(FColumns.size())));
    return TFbField(FColumns[index], Eof() ? nullptr : &FRows[FCurrentRow][index]);
}

void TFbQuery::CloseCursor() {
    FRows.clear();
    FCurrentRow = 0;
}

TRowCounts TFbQuery::RowCounts() {
    if (!FRowCountsKnown && FExecuted) {
        FRowCounts = QueryRowCounts();
        FRowCountsKnown = true;
    }
    return FRowCountsKnown ? FRowCounts : TRowCounts{};
}

TRowCounts TFbQuery::QueryRowCounts() {
    TRowCounts counts;
    if (!Prepared()) return counts;
    const char item = isc_info_sql_records;
    char info[128] = {};
    ISC_STATUS_ARRAY status{};
    FAttachment->Call(&TFbClient::isc_dsql_sql_info, status, &FHandle, static_cast<short>(1), &item,
                      static_cast<short>(sizeof info), info);
    FAttachment->Check(status, "");
    if (info[0] != item) return counts;
    const int end = std::min<int>(3 + InfoLength(info + 1), sizeof info);
    for (int at = 3; at + 3 <= end && info[at] != isc_info_end;) {
        const int length = InfoLength(info + at + 1);
        if (at + 3 + length > end) break;
        const std::int64_t value = InfoInteger(info + at + 3, length);
        switch (info[at]) {
            case isc_info_req_update_count: counts.Updated = value; break;
            case isc_info_req_delete_count: counts.Deleted = value; break;
            case isc_info_req_select_count: counts.Selected = value; break;
            case isc_info_req_insert_count: counts.Inserted = value; break;
            default: break;
        }
        at += 3 + length;
    }
    return counts;
}

void TFbQuery::Free() {
    if (FFreed) return;
    FFreed = true;
    ReleaseHandle();
    FTransaction.reset();
}

void TFbQuery::ReleaseHandle() {
    if (FHandle == 0) return;
    if (HandleValid() && FAttachment->Usable()) {
        // A drop that fails leaves the statement to the server until the detach; there is
        // nothing for the caller to do about it.
        ISC_STATUS_ARRAY ignored{};
        FAttachment->Call(&TFbClient::isc_dsql_free_statement, ignored, &FHandle, FreeDrop);
    }
    FHandle = 0;
}

}  // namespace keyrix
