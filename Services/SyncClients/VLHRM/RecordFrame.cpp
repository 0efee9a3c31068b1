// The frame around each record of an import: its savepoint and its rollback.
#include "Services/SyncClients/VLHRM/RecordFrame.h"

#include "db/FbTransaction.h"

namespace keyrix {

TRecordFrameBase::TRecordFrameBase(dbutils::PTransaction transaction, const char* savepoint, bool& savepointSet,
                                   TChangeReport& report)
    : FTransaction(std::move(transaction)), FSavepoint(savepoint), FSavepointSet(savepointSet), FReport(report) {}

void TRecordFrameBase::SetSavepoint() {
    if (FSavepointSet) return;
    FTransaction->SetSavepoint(FSavepoint);
    FSavepointSet = true;
}

void TRecordFrameBase::UndoRecord() {
    if (FSavepointSet) FTransaction->RollbackToSavepoint(FSavepoint);
    Changes.Clear();
}

}  // namespace keyrix
