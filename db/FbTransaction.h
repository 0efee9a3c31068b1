// A transaction of a connection. Its parameter list is fixed when it is made; it is
// inactive until a statement runs in it and ends only by an explicit commit or rollback.
#pragma once

#include "db/FbConnection.h"

#include <memory>
#include <string>
#include <vector>

namespace keyrix {

class TFbTransaction {
public:
    // The items are names of transaction parameter block items without their isc_tpb_
    // prefix ("read", "write", "nowait", "rec_version", "read_committed", ...); the block
    // starts with isc_tpb_version3 and holds them in list order. An unknown name raises
    // EDatabaseError.
    TFbTransaction(TFbConnection& connection, std::vector<std::string> params);
    TFbTransaction(const TFbTransaction&) = delete;
    TFbTransaction& operator=(const TFbTransaction&) = delete;
    // Rolls back when still active: nothing commits implicitly.
    ~TFbTransaction();

    const std::vector<std::string>& Params() const { return FParams; }
    const std::string& ParameterBlock() const { return FParameterBlock; }
    const std::shared_ptr<TFbAttachment>& Attachment() const { return FAttachment; }

    bool IsActive() const;
    void StartTransaction();
    // Both raise EDatabaseError when the transaction is not active.
    void Commit();
    void Rollback();
    // "savepoint NAME" and "rollback to savepoint NAME", run in the transaction (which
    // starts first when inactive).
    void SetSavepoint(const std::string& name);
    void RollbackToSavepoint(const std::string& name);
    // Runs a statement without parameters or results in the transaction.
    void ExecuteImmediate(const std::string& sql);

    // Freeing rolls back an active transaction and retires the object: statements that
    // used it are then without a transaction, and it cannot be started again.
    void Free();
    bool IsFreed() const { return FFreed; }

    // The client handle for a call in the transaction, starting it when inactive.
    isc_tr_handle* ActiveHandle();
    // Drops the handle without a call to the server (the attachment is going or gone).
    void Forget();

private:
    std::shared_ptr<TFbAttachment> FAttachment;
    std::vector<std::string> FParams;
    std::string FParameterBlock;
    isc_tr_handle FHandle = 0;
    std::uint64_t FGeneration = 0;
    bool FFreed = false;
};

}  // namespace keyrix
