// The card-holder import: users of the HRM import get their card-holder id, keypad account
// and access card from the card-holder system's export file. It never creates a person.
#include "Services/SyncClients/VLHRM/CardHolders.h"
#include "Services/SyncClients/VLHRM/Progress.h"
#include "Services/SyncClients/VLHRM/Statements.h"
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "common/Debug.h"
#include "common/Exceptions.h"
#include "common/ScopeGuard.h"
#include "common/TextUtils.h"
#include "db/DBUtils.h"
#include "db/FbErrors.h"
#include "platform/Env.h"
#include "platform/SharedReadFile.h"
#include "setup/SetupWindow.h"

#include <unistd.h>

#include <optional>
#include <set>
#include <vector>

namespace keyrix {

namespace {

using namespace statements::card_holder_import;

const char* const CardSavepoint = "card_create_ok";

struct TCounters {
    std::int32_t Updated = 0, UpdatedSoyal = 0, Added = 0, AddedSoyal = 0, Associated = 0;
};

// The first row of match, read before the statements that follow reuse the cursor.
struct TMatchRow {
    std::int64_t UserId = 0;
    bool HasAccount = false, HasCard = false, HrmManaged = false, Changed = false, ChangedSoyal = false;
    bool Deleted = false;  // marked deleted, by the HRM import of this pass or of an earlier one
    bool Linked = false;  // holds a card-holder id already
    std::int32_t AccountId = 0, CardId = 0;
};

std::optional<TMatchRow> FirstRow(const dbutils::PQuery& match) {
    if (match->Eof()) return std::nullopt;
    TMatchRow row;
    row.UserId = match->FieldByName("ID").AsInt64();
    const TFbField account = match->FieldByName("ACCOUNT_ID");
    const TFbField card = match->FieldByName("CARD_ID");
    row.HasAccount = !account.IsNull();
    row.AccountId = account.AsInteger();
    row.HasCard = !card.IsNull();
    row.CardId = card.AsInteger();
    row.HrmManaged = match->FieldByName("USR_HRM_SYNC").AsInteger() != 0;
    row.Deleted = match->FieldByName("DELETED").AsInteger() != 0;
    row.Linked = !match->FieldByName("SYNC_ID").IsNull();
    row.Changed = match->FieldByName("CHANGED").AsInteger() == 1;
    row.ChangedSoyal = match->FieldByName("CHANGED_SOYAL").AsInteger() == 1;
    return row;
}

}  // namespace

void TDataModule1::ImportCardHolders() {
    if (!Settings().CardHolderImportEnabled) {
        SyncLogInfo("BK import disabled");
        return;
    }

    // Writers of the file wait until the import ends.
    std::optional<platform::TSharedReadFile> file(std::in_place, Settings().CardHolderFile);
    TCardHolderHandles& h = CardHolderHandles;
    const dbutils::PTransaction& t = PassTransaction;
    const dbutils::PQuery adopt = dbutils::CachedWriteQuery(h.Adopt, AdoptSql, "Sync", t);
    const dbutils::PQuery match = dbutils::CachedQuery(h.Match, MatchSql, "Sync", t);
    const dbutils::PQuery find = dbutils::CachedWriteQuery(h.Find, FindSql, "Sync", t);
    find->SetSingleton(true);  // "first 1"
    const dbutils::PQuery copyUser = dbutils::CachedWriteQuery(h.CopyUser, CopyUserSql, "Sync", t);
    const dbutils::PQuery copyGroups = dbutils::CachedWriteQuery(h.CopyGroups, CopyGroupsSql, "Sync", t);
    const dbutils::PQuery markSeen = dbutils::CachedWriteQuery(h.MarkSeen, MarkSeenSql, "Sync", t);
    const dbutils::PQuery associateCard = dbutils::CachedWriteQuery(h.AssociateCard, AssociateCardSql, "Sync", t);
    const dbutils::PQuery linkUser = dbutils::CachedWriteQuery(h.LinkUser, LinkUserSql, "Sync", t);
    const dbutils::PQuery addAccount = dbutils::CachedWriteQuery(h.AddAccount, AddAccountSql, "Sync", t);
    const dbutils::PQuery addCard = dbutils::CachedWriteQuery(h.AddCard, AddCardSql, "Sync", t);
    const dbutils::PQuery updateAccount = dbutils::CachedWriteQuery(h.UpdateAccount, UpdateAccountSql, "Sync", t);
    const dbutils::PQuery updateCard = dbutils::CachedWriteQuery(h.UpdateCard, UpdateCardSql, "Sync", t);
    const dbutils::PQuery flagGone = dbutils::CachedWriteQuery(h.FlagGone, FlagGoneSql, "Sync", t);
    const dbutils::PQuery unlinkGone = dbutils::CachedWriteQuery(h.UnlinkGone, UnlinkGoneSql, "Sync", t);
    const dbutils::PQuery keepLinks = dbutils::CachedWriteQuery(h.KeepLinks, KeepLinksSql, "Sync", t);
    const std::uint32_t start = platform::Env().Ticks();

    std::int32_t processed = 0;
    std::vector<TBKRec> records;
    {
        // Read whole before any statement runs: a file cut short, broken or of another kind
        // fails the pass rather than unlinking everyone it no longer lists.
        TFeedReader reader = TFeedReader::FromDescriptor(file->Fd(), file->Path(), CardHolderRootName,
                                                         CardHolderRecordName, TFaultRule::frFail);
        records = ReadBKRecords(reader, processed, [this](const std::string& line) { SyncLogDebug("%s", line); });
    }

    // A refused record (by the server, or for a fault of the export) is logged and audited;
    // the others go on. Errors of the client library itself (a lost connection, a bad
    // handle) end the import.
    const auto reportRecordError = [this](const TBKRec& r, const std::string& message) {
        SyncLogError("Brakon sync error for employee %s, id %d: %s", VisibleText(r.EmployeeNumber), r.CardHolderId,
                     message);
    };
    const auto auditRecordError = [this](const TBKRec& r, const std::string& message) {
        LogAuditEvent(TValue(), 11, TValue("Sync trouble (BK)"),
                      TValue(Format("Employee %s; Id %d: %s", r.EmployeeNumber, r.CardHolderId, message)));
    };

    // Records the export got wrong are refused whole; the others go on.
    std::set<std::string> refusedEmployees;
    for (const TRefusedBKRec& refused : TakeRefusedRecords(records)) {
        reportRecordError(refused.Record, refused.Reason);
        auditRecordError(refused.Record, refused.Reason);
        // A number over the limit belongs to no user of the register.
        if (refused.Record.EmployeeNumber.size() <= MaxEmployeeNumberLength &&
            refusedEmployees.insert(refused.Record.EmployeeNumber).second)
            keepLinks->ExecuteWith({refused.Record.EmployeeNumber});
    }

    // Users of the HRM import that already hold a keypad account with this card take its
    // card-holder id; a failed update undoes itself.
    for (const TBKRec& r : records) {
        try {
            adopt->ExecuteWith({r.CardNumber, r.CardHolderId, r.EmployeeNumber, r.CardNumber});
            // The row count is one more server call per record: only when links are reported.
            if (Summary.Unlinks.Measured && adopt->RowCounts().Updated > 0)
                Summary.Changes.Add(TChangeKind::UserLinked, r.EmployeeNumber);
        } catch (const EFirebirdError& error) {
            if (!error.ServerReported()) throw;
            reportRecordError(r, error.Message());
            auditRecordError(r, error.Message());
        }
    }

    const auto logDeleted = [this](const TBKRec& r) {
        SyncLogDebug("Deleted user for employee %s left as it is, id %d", VisibleText(r.EmployeeNumber),
                     r.CardHolderId);
    };

    TCounters counters;
    // As in the HRM import: a record's changes reach the report when the next one begins.
    TPendingChanges changes;
    TProgressLine progress("Card-holder import", TProgressLine::WantedOnStandardOutput(), STDOUT_FILENO);
    progress.SetTotal(static_cast<std::int64_t>(records.size()));
    Progress = &progress;
    TScopeGuard noProgress([this] { Progress = nullptr; });
    // An import that stops part way still tells what it did, as the change report does: the
    // counters and the time of the records whose work it kept. A record's work is kept when
    // the next one begins (or the import ends).
    const auto keep = [&] {
        changes.MoveTo(Summary.Changes);
        Summary.BkUpdated = counters.Updated;
        Summary.BkUpdatedSoyal = counters.UpdatedSoyal;
        Summary.BkAdded = counters.Added;
        Summary.BkAddedSoyal = counters.AddedSoyal;
        Summary.BkAssociated = counters.Associated;
    };
    TScopeGuard count([&] {
        Summary.CardHolderImportMs = TicksSince(start, platform::Env().Ticks());
        Summary.BkProcessed = processed;
    });
    std::int64_t done = 0;
    for (const TBKRec& r : records) {
        keep();
        progress.Update(++done);
        const std::string paradoxCode = ParadoxCode(r.Pin);
        const std::string soyalCode = SoyalCode(r.Pin);
        // A record that is rolled back leaves no trace in the counters either.
        const TCounters before = counters;
        // Outside the record's error handling, as in the HRM import: a failed one must not
        // roll back to the previous record's savepoint.
        PassTransaction->SetSavepoint(CardSavepoint);
        try {
            std::int32_t cardId = 0;
            match->ExecuteWith(
                {paradoxCode, r.CardNumber, soyalCode, r.CardNumber, r.CardHolderId, r.EmployeeNumber, r.CardHolderId});
            const std::optional<TMatchRow> row = FirstRow(match);
            std::int64_t userId = 0;
            if (!row) {
                // Every user of this employee number holds another card-holder id: the
                // employee gets a second user record for this one.
                find->ExecuteWith({r.EmployeeNumber});
                if (find->Eof()) continue;
                const std::int64_t found = find->FieldByName("ID").AsInt64();
                // A leaver gets no active copy.
                if (find->FieldByName("DELETED").AsInteger() != 0) {
                    logDeleted(r);
                    continue;
                }
                copyUser->ExecuteWith({r.CardHolderId, found});
                userId = copyUser->FieldByName("ID").AsInt64();
                copyGroups->ExecuteWith({userId, found});
                markSeen->ExecuteWith({userId, userId});
                changes.Add(TChangeKind::UserLinked, r.EmployeeNumber);
            } else {
                userId = row->UserId;
                markSeen->ExecuteWith({userId, userId});
                if (!row->HrmManaged) continue;
                // A leaver keeps its link but is not made active again, nor given credentials.
                if (row->Deleted) {
                    logDeleted(r);
                    continue;
                }
                if (!row->HasCard) {
                    associateCard->ExecuteWith({r.CardHolderId, r.CardNumber, userId});
                    cardId = associateCard->FieldByName("ID").AsInteger();
                    if (cardId != 0) ++counters.Associated;
                }
            }

            if (!row || !row->HasAccount || (!row->HasCard && cardId == 0)) {
                linkUser->ExecuteWith({r.CardNumber, r.CardHolderId, userId});
                if (row && !row->Linked) changes.Add(TChangeKind::UserLinked, r.EmployeeNumber);
                // The copy gets its account and card in the next pass, when match finds it.
                if (!row) continue;
                if (!row->HasAccount) {
                    addAccount->ExecuteWith({userId, paradoxCode, r.CardNumber});
                    AddToParadoxUserGroup(userId);
                    ++counters.Added;
                    changes.Add(TChangeKind::AccountAdded, r.EmployeeNumber);
                }
                if (!row->HasCard && cardId == 0) {
                    addCard->ExecuteWith({userId, soyalCode, r.CardNumber, r.CardHolderId});
                    cardId = addCard->FieldByName("ID").AsInteger();
                    AddToAccessUserGroup(cardId, userId);
                    ++counters.AddedSoyal;
                    changes.Add(TChangeKind::CardAdded, r.EmployeeNumber);
                }
            } else {
                if (row->Changed || row->ChangedSoyal) {
                    linkUser->ExecuteWith({r.CardNumber, r.CardHolderId, userId});
                    if (!row->Linked) changes.Add(TChangeKind::UserLinked, r.EmployeeNumber);
                }
                if (row->Changed) {
                    updateAccount->ExecuteWith({paradoxCode, r.CardNumber, row->AccountId});
                    ++counters.Updated;
                    changes.Add(TChangeKind::AccountUpdated, r.EmployeeNumber);
                }
                if (row->ChangedSoyal) {
                    // A card associated above has no card columns in the match row, so it
                    // always counts as changed and gets its code and number now.
                    if (row->HasCard) cardId = row->CardId;
                    updateCard->ExecuteWith({soyalCode, r.CardNumber, cardId, userId});
                    ++counters.UpdatedSoyal;
                    changes.Add(TChangeKind::CardUpdated, r.EmployeeNumber);
                }
            }
        } catch (const EFirebirdError& error) {
            if (!error.ServerReported()) throw;
            reportRecordError(r, error.Message());
            PassTransaction->RollbackToSavepoint(CardSavepoint);
            counters = before;
            changes.Clear();
            auditRecordError(r, error.Message());
        }
    }

    keep();
    progress.Erase();

    // Linked users met in this pass keep their link; the others lose it.
    flagGone->ExecuteWith();
    unlinkGone->ExecuteWith();

    records.clear();
    records.shrink_to_fit();
    file.reset();
    SyncLogDebug("BK import took: %dms", TicksSince(start, platform::Env().Ticks()));
    SyncLogDebug("Processed records: %d", processed);
    SyncLogDebug("Updated records: %d", counters.Updated);
    SyncLogDebug("Updated records (soyal): %d", counters.UpdatedSoyal);
    SyncLogDebug("Added records: %d", counters.Added);
    SyncLogDebug("Added records (soyal): %d", counters.AddedSoyal);
    SyncLogDebug("Associated existing cards (soyal): %d", counters.Associated);
}

}  // namespace keyrix
