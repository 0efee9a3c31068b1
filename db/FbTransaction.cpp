#include "db/FbTransaction.h"

#include "common/Format.h"

#include <algorithm>
#include <utility>

namespace keyrix {

namespace {

// The items that stand alone, without a value or a table name.
constexpr std::pair<const char*, char> TpbItems[] = {
    {"consistency", isc_tpb_consistency},
    {"concurrency", isc_tpb_concurrency},
    {"shared", isc_tpb_shared},
    {"protected", isc_tpb_protected},
    {"exclusive", isc_tpb_exclusive},
    {"wait", isc_tpb_wait},
    {"nowait", isc_tpb_nowait},
    {"read", isc_tpb_read},
    {"write", isc_tpb_write},
    {"verb_time", isc_tpb_verb_time},
    {"commit_time", isc_tpb_commit_time},
    {"ignore_limbo", isc_tpb_ignore_limbo},
    {"read_committed", isc_tpb_read_committed},
    {"autocommit", isc_tpb_autocommit},
    {"rec_version", isc_tpb_rec_version},
    {"no_rec_version", isc_tpb_no_rec_version},
    {"restart_requests", isc_tpb_restart_requests},
    {"no_auto_undo", isc_tpb_no_auto_undo},
};

std::string BuildParameterBlock(const std::vector<std::string>& params) {
    std::string block(1, static_cast<char>(isc_tpb_version3));
    for (const std::string& name : params) {
        auto item = std::find_if(std::begin(TpbItems), std::end(TpbItems),
                                 [&](const auto& entry) { return name == entry.first; });
        if (item == std::end(TpbItems))
            throw EDatabaseError(Format("Unknown transaction parameter \"%s\"", name));
        block += item->second;
    }
    return block;
}

}  // namespace

TFbTransaction::TFbTransaction(TFbConnection& connection, std::vector<std::string> params)
    : FAttachment(connection.Attachment()), FParams(std::move(params)), FParameterBlock(BuildParameterBlock(FParams)) {}

TFbTransaction::~TFbTransaction() {
    try {
        if (IsActive()) Rollback();
    } catch (...) {
        // A destructor cannot report; the server rolls the transaction back with the attachment.
    }
    Forget();
}

bool TFbTransaction::IsActive() const {
    return FHandle != 0 && FAttachment->Attached() && FGeneration == FAttachment->Generation;
}

void TFbTransaction::StartTransaction() {
    if (FFreed) throw EDatabaseError("The transaction has been freed");
    if (IsActive()) throw EDatabaseError("The transaction is already active");
    Forget();  // a handle of an earlier attachment
    FAttachment->CheckUsable("");
    ISC_STATUS_ARRAY status{};
    isc_tr_handle handle = 0;
    FAttachment->Call(&TFbClient::isc_start_transaction, status, &handle, static_cast<short>(1), &FAttachment->Handle,
                                               static_cast<int>(FParameterBlock.size()), FParameterBlock.data());
    FAttachment->Check(status, "");
    FHandle = handle;
    FGeneration = FAttachment->Generation;
    FAttachment->ActiveTransactions.push_back(this);
}

void TFbTransaction::Commit() {
    if (!IsActive()) throw EDatabaseError("The transaction is not active");
    FAttachment->CheckUsable("");
    ISC_STATUS_ARRAY status{};
    FAttachment->Call(&TFbClient::isc_commit_transaction, status, &FHandle);
    FAttachment->Check(status, "");
    FHandle = 0;
    Forget();
}

void TFbTransaction::Rollback() {
    if (!IsActive()) throw EDatabaseError("The transaction is not active");
    if (!FAttachment->Usable()) {
        Forget();
        return;
    }
    ISC_STATUS_ARRAY status{};
    FAttachment->Call(&TFbClient::isc_rollback_transaction, status, &FHandle);
    FAttachment->Check(status, "");
    FHandle = 0;
    Forget();
}

void TFbTransaction::SetSavepoint(const std::string& name) { ExecuteImmediate("savepoint " + name); }

void TFbTransaction::RollbackToSavepoint(const std::string& name) { ExecuteImmediate("rollback to savepoint " + name); }

void TFbTransaction::ExecuteImmediate(const std::string& sql) {
    isc_tr_handle* handle = ActiveHandle();
    ISC_STATUS_ARRAY status{};
    FAttachment->Call(&TFbClient::isc_dsql_execute_immediate, status, &FAttachment->Handle, handle,
                                                    static_cast<unsigned short>(sql.size()), sql.data(),
                                                    FAttachment->Dialect, nullptr);
    FAttachment->Check(status, "");
}

void TFbTransaction::Free() {
    if (FFreed) return;
    FFreed = true;
    try {
        if (IsActive()) Rollback();
    } catch (...) {
        Forget();
        throw;
    }
    Forget();
}

isc_tr_handle* TFbTransaction::ActiveHandle() {
    if (!IsActive()) StartTransaction();
    return &FHandle;
}

void TFbTransaction::Forget() {
    // Still open at the server (its rollback failed): the close ends it before detaching.
    if (IsActive() && FAttachment->Usable()) FAttachment->Abandoned.push_back(FHandle);
    auto& active = FAttachment->ActiveTransactions;
    active.erase(std::remove(active.begin(), active.end(), this), active.end());
    FHandle = 0;
}

}  // namespace keyrix
