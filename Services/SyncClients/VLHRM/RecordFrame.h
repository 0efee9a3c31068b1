// The frame around each record of an import in the pass transaction. A record's writes
// follow its savepoint. An error the server reported about the record
// (EFirebirdError::ServerReported) is the record's alone: it is logged, the record's work is
// rolled back to the savepoint, its changes and counters go with it, it is audited, and the
// import goes on with the next record. Any other error (a lost connection, a bad handle, an
// error of the client library) ends the import. A record's work is kept, in the change
// report and in the counters of the summary, when the next record begins or the import ends,
// so that an import that stops part way tells what it kept.
#pragma once

#include "Services/SyncClients/VLHRM/RunSummary.h"
#include "db/DBUtils.h"
#include "db/FbErrors.h"

#include <functional>
#include <string>
#include <utility>

namespace keyrix {

// How an import tells of a record it refused, the server or the import itself: a line of
// the sync log, then an audit event. A rollback comes between them.
template <class TRecord>
struct TRecordReport {
    std::function<void(const TRecord& record, const std::string& message)> Log, Audit;
};

// The part of the frame that is the same for every kind of record.
class TRecordFrameBase {
public:
    TRecordFrameBase(const TRecordFrameBase&) = delete;
    TRecordFrameBase& operator=(const TRecordFrameBase&) = delete;

    // The changes of the record in hand; they reach the report when its work is kept.
    TPendingChanges Changes;

    // Sets the savepoint of the record in hand, unless it has one already. An import may set
    // it before the record's work, or just before its first write: a record that fails
    // before then has nothing to roll back, and must not roll back to the previous record's.
    void SetSavepoint();

protected:
    // savepointSet: whether the record in hand has set its savepoint. The import's own flag,
    // so that a step deep in its work may set the savepoint itself.
    TRecordFrameBase(dbutils::PTransaction transaction, const char* savepoint, bool& savepointSet,
                     TChangeReport& report);
    ~TRecordFrameBase() = default;

    void BeginRecord() { FSavepointSet = false; }
    void KeepChanges() { Changes.MoveTo(FReport); }
    // Rolls the record in hand back to its savepoint, if it set one, and drops its changes.
    void UndoRecord();

private:
    dbutils::PTransaction FTransaction;
    const char* FSavepoint;
    bool& FSavepointSet;
    TChangeReport& FReport;
};

// TCounters: the import's counters, a copyable value; the record in hand counts in them
// until its work is rolled back.
template <class TRecord, class TCounters>
class TRecordFrame : public TRecordFrameBase {
public:
    // keepCounters: puts the counters of the work kept so far into the summary.
    TRecordFrame(dbutils::PTransaction transaction, const char* savepoint, bool& savepointSet, TChangeReport& report,
                 TRecordReport<TRecord> refusal, std::function<void(const TCounters&)> keepCounters)
        : TRecordFrameBase(std::move(transaction), savepoint, savepointSet, report),
          FRefusal(std::move(refusal)),
          FKeepCounters(std::move(keepCounters)) {}

    TCounters Counters;

    // The work so far stays: the changes of the record in hand reach the report, the
    // counters the summary.
    void Keep() {
        KeepChanges();
        FKeepCounters(Counters);
    }
    // A new record: the one before it is kept, and the new one has no savepoint yet.
    void Begin() {
        Keep();
        BeginRecord();
    }

    // A record the import refuses before any of its statements runs.
    void Refuse(const TRecord& record, const std::string& reason) {
        FRefusal.Log(record, reason);
        FRefusal.Audit(record, reason);
    }

    // Runs the record's work. False when the server refused it and its work was rolled back.
    template <class TWork>
    bool Run(const TRecord& record, TWork&& work) {
        const TCounters before = Counters;
        try {
            std::forward<TWork>(work)();
            return true;
        } catch (const EFirebirdError& error) {
            if (!error.ServerReported()) throw;
            FRefusal.Log(record, error.Message());
            UndoRecord();
            Counters = before;
            FRefusal.Audit(record, error.Message());
            return false;
        }
    }

private:
    TRecordReport<TRecord> FRefusal;
    std::function<void(const TCounters&)> FKeepCounters;
};

}  // namespace keyrix
