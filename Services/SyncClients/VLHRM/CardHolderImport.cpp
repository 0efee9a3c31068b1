// The card-holder import: users of the HRM import get their card-holder id, keypad account
// and access card from the card-holder system's export file. It never creates a person.
#include "Services/SyncClients/VLHRM/CardHolders.h"
#include "Services/SyncClients/VLHRM/Progress.h"
#include "Services/SyncClients/VLHRM/RecordFrame.h"
#include "Services/SyncClients/VLHRM/Statements.h"
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "common/Debug.h"
#include "common/Exceptions.h"
#include "common/ScopeGuard.h"
#include "common/TextUtils.h"
#include "db/DBUtils.h"
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

// The card-holder import of one pass in its steps, over the module's cached statements in
// the pass transaction.
class TCardHolderImport {
public:
    // Makes the statements, one per step of a record.
    explicit TCardHolderImport(TDataModule1& module);

    // Reads the file whole before any statement runs: a file cut short, broken or of another
    // kind fails the pass rather than unlinking everyone it no longer lists.
    std::vector<TBKRec> ReadRecords(const platform::TSharedReadFile& file, std::int32_t& processed);
    // Takes out the records the export got wrong; they are refused whole, the others go on.
    void RefuseExportFaults(std::vector<TBKRec>& records);
    // Users of the HRM import that already hold a keypad account with the record's card take
    // its card-holder id.
    void AdoptCardHolders(const std::vector<TBKRec>& records);
    // Each record in its frame: links, credentials, controller groups.
    void ImportRecords(const std::vector<TBKRec>& records, TProgressLine& progress);
    // Linked users met in this pass keep their link; the others lose it.
    void UnlinkGone();

    const TCounters& Counters() const { return FRecords.Counters; }

private:
    // The record's user is marked as met, then linked and given or updated its credentials;
    // a leaver is left as it is.
    void ImportRecord(const TBKRec& r);
    // Every user of the employee number holds another card-holder id: the employee gets a
    // second user record for this one, which gets its account and card in the next pass,
    // when match finds it.
    void CopyUser(const TBKRec& r);
    // The user's access card of this card number, when it has one, takes the card-holder id;
    // answers its id, or 0.
    std::int32_t AssociateCard(const TBKRec& r, std::int64_t userId);
    // Links the user and gives it the keypad account and the access card it lacks.
    void AddCredentials(const TBKRec& r, const TMatchRow& row, std::int32_t cardId);
    // Links the user again and updates the credentials whose code or card number changed.
    void UpdateCredentials(const TBKRec& r, const TMatchRow& row, std::int32_t cardId);
    void LogDeleted(const TBKRec& r);

    TDataModule1& FModule;
    dbutils::PQuery FAdopt, FMatch, FFind, FCopyUser, FCopyGroups, FMarkSeen, FAssociateCard, FLinkUser,
        FAddAccount, FAddCard, FUpdateAccount, FUpdateCard, FFlagGone, FUnlinkGone, FKeepLinks;
    bool FSavepointSet = false;
    TRecordFrame<TBKRec, TCounters> FRecords;
};

TCardHolderImport::TCardHolderImport(TDataModule1& module)
    : FModule(module),
      FRecords(module.PassTransaction, CardSavepoint, FSavepointSet, module.Summary.Changes,
               {[&module](const TBKRec& r, const std::string& message) {
                    module.SyncLogError("Brakon sync error for employee %s, id %d: %s", VisibleText(r.EmployeeNumber),
                                        r.CardHolderId, message);
                },
                [&module](const TBKRec& r, const std::string& message) {
                    module.LogAuditEvent(TValue(), 11, TValue("Sync trouble (BK)"),
                                         TValue(Format("Employee %s; Id %d: %s", r.EmployeeNumber, r.CardHolderId,
                                                       message)));
                }},
               [&module](const TCounters& counters) {
                   module.Summary.BkUpdated = counters.Updated;
                   module.Summary.BkUpdatedSoyal = counters.UpdatedSoyal;
                   module.Summary.BkAdded = counters.Added;
                   module.Summary.BkAddedSoyal = counters.AddedSoyal;
                   module.Summary.BkAssociated = counters.Associated;
               }) {
    TDataModule1::TCardHolderHandles& h = module.CardHolderHandles;
    const dbutils::PTransaction& t = module.PassTransaction;
    FAdopt = dbutils::CachedWriteQuery(h.Adopt, AdoptSql, "Sync", t);
    FMatch = dbutils::CachedQuery(h.Match, MatchSql, "Sync", t);
    FFind = dbutils::CachedWriteQuery(h.Find, FindSql, "Sync", t);
    FFind->SetSingleton(true);  // "first 1"
    FCopyUser = dbutils::CachedWriteQuery(h.CopyUser, CopyUserSql, "Sync", t);
    FCopyGroups = dbutils::CachedWriteQuery(h.CopyGroups, CopyGroupsSql, "Sync", t);
    FMarkSeen = dbutils::CachedWriteQuery(h.MarkSeen, MarkSeenSql, "Sync", t);
    FAssociateCard = dbutils::CachedWriteQuery(h.AssociateCard, AssociateCardSql, "Sync", t);
    FLinkUser = dbutils::CachedWriteQuery(h.LinkUser, LinkUserSql, "Sync", t);
    FAddAccount = dbutils::CachedWriteQuery(h.AddAccount, AddAccountSql, "Sync", t);
    FAddCard = dbutils::CachedWriteQuery(h.AddCard, AddCardSql, "Sync", t);
    FUpdateAccount = dbutils::CachedWriteQuery(h.UpdateAccount, UpdateAccountSql, "Sync", t);
    FUpdateCard = dbutils::CachedWriteQuery(h.UpdateCard, UpdateCardSql, "Sync", t);
    FFlagGone = dbutils::CachedWriteQuery(h.FlagGone, FlagGoneSql, "Sync", t);
    FUnlinkGone = dbutils::CachedWriteQuery(h.UnlinkGone, UnlinkGoneSql, "Sync", t);
    FKeepLinks = dbutils::CachedWriteQuery(h.KeepLinks, KeepLinksSql, "Sync", t);
}

std::vector<TBKRec> TCardHolderImport::ReadRecords(const platform::TSharedReadFile& file, std::int32_t& processed) {
    TFeedReader reader =
        TFeedReader::FromDescriptor(file.Fd(), file.Path(), CardHolderRootName, CardHolderRecordName, TFaultRule::frFail);
    return ReadBKRecords(reader, processed, [this](const std::string& line) { FModule.SyncLogDebug("%s", line); });
}

void TCardHolderImport::RefuseExportFaults(std::vector<TBKRec>& records) {
    std::set<std::string> refusedEmployees;
    for (const TRefusedBKRec& refused : TakeRefusedRecords(records)) {
        FRecords.Refuse(refused.Record, refused.Reason);
        // A number over the limit belongs to no user of the register.
        if (refused.Record.EmployeeNumber.size() <= MaxEmployeeNumberLength &&
            refusedEmployees.insert(refused.Record.EmployeeNumber).second)
            FKeepLinks->ExecuteWith({refused.Record.EmployeeNumber});
    }
}

void TCardHolderImport::AdoptCardHolders(const std::vector<TBKRec>& records) {
    // One statement per record, which undoes itself when it fails: no savepoint.
    for (const TBKRec& r : records) {
        FRecords.Begin();
        FRecords.Run(r, [&] {
            FAdopt->ExecuteWith({r.CardNumber, r.CardHolderId, r.EmployeeNumber, r.CardNumber});
            // The row count is one more server call per record: only when links are reported.
            if (FModule.Summary.Unlinks.Measured && FAdopt->RowCounts().Updated > 0)
                FRecords.Changes.Add(TChangeKind::UserLinked, r.EmployeeNumber);
        });
    }
    FRecords.Keep();
}

void TCardHolderImport::ImportRecords(const std::vector<TBKRec>& records, TProgressLine& progress) {
    std::int64_t done = 0;
    for (const TBKRec& r : records) {
        FRecords.Begin();
        progress.Update(++done);
        // Outside the record's error handling, as in the HRM import: a failed one must not
        // roll back to the previous record's savepoint.
        FRecords.SetSavepoint();
        FRecords.Run(r, [&] { ImportRecord(r); });
    }
    FRecords.Keep();
}

void TCardHolderImport::ImportRecord(const TBKRec& r) {
    FMatch->ExecuteWith({ParadoxCode(r.Pin), r.CardNumber, SoyalCode(r.Pin), r.CardNumber, r.CardHolderId,
                         r.EmployeeNumber, r.CardHolderId});
    const std::optional<TMatchRow> row = FirstRow(FMatch);
    if (!row) {
        CopyUser(r);
        return;
    }
    FMarkSeen->ExecuteWith({row->UserId, row->UserId});
    if (!row->HrmManaged) return;
    // A leaver keeps its link but is not made active again, nor given credentials.
    if (row->Deleted) {
        LogDeleted(r);
        return;
    }
    const std::int32_t cardId = row->HasCard ? 0 : AssociateCard(r, row->UserId);
    if (!row->HasAccount || (!row->HasCard && cardId == 0))
        AddCredentials(r, *row, cardId);
    else
        UpdateCredentials(r, *row, cardId);
}

void TCardHolderImport::CopyUser(const TBKRec& r) {
    FFind->ExecuteWith({r.EmployeeNumber});
    if (FFind->Eof()) return;
    const std::int64_t found = FFind->FieldByName("ID").AsInt64();
    // A leaver gets no active copy.
    if (FFind->FieldByName("DELETED").AsInteger() != 0) {
        LogDeleted(r);
        return;
    }
    FCopyUser->ExecuteWith({r.CardHolderId, found});
    const std::int64_t userId = FCopyUser->FieldByName("ID").AsInt64();
    FCopyGroups->ExecuteWith({userId, found});
    FMarkSeen->ExecuteWith({userId, userId});
    FRecords.Changes.Add(TChangeKind::UserLinked, r.EmployeeNumber);
    FLinkUser->ExecuteWith({r.CardNumber, r.CardHolderId, userId});
}

std::int32_t TCardHolderImport::AssociateCard(const TBKRec& r, std::int64_t userId) {
    FAssociateCard->ExecuteWith({r.CardHolderId, r.CardNumber, userId});
    const std::int32_t cardId = FAssociateCard->FieldByName("ID").AsInteger();
    if (cardId != 0) ++FRecords.Counters.Associated;
    return cardId;
}

void TCardHolderImport::AddCredentials(const TBKRec& r, const TMatchRow& row, std::int32_t cardId) {
    FLinkUser->ExecuteWith({r.CardNumber, r.CardHolderId, row.UserId});
    if (!row.Linked) FRecords.Changes.Add(TChangeKind::UserLinked, r.EmployeeNumber);
    if (!row.HasAccount) {
        FAddAccount->ExecuteWith({row.UserId, ParadoxCode(r.Pin), r.CardNumber});
        FModule.AddToParadoxUserGroup(row.UserId);
        ++FRecords.Counters.Added;
        FRecords.Changes.Add(TChangeKind::AccountAdded, r.EmployeeNumber);
    }
    if (!row.HasCard && cardId == 0) {
        FAddCard->ExecuteWith({row.UserId, SoyalCode(r.Pin), r.CardNumber, r.CardHolderId});
        FModule.AddToAccessUserGroup(FAddCard->FieldByName("ID").AsInteger(), row.UserId);
        ++FRecords.Counters.AddedSoyal;
        FRecords.Changes.Add(TChangeKind::CardAdded, r.EmployeeNumber);
    }
}

void TCardHolderImport::UpdateCredentials(const TBKRec& r, const TMatchRow& row, std::int32_t cardId) {
    if (row.Changed || row.ChangedSoyal) {
        FLinkUser->ExecuteWith({r.CardNumber, r.CardHolderId, row.UserId});
        if (!row.Linked) FRecords.Changes.Add(TChangeKind::UserLinked, r.EmployeeNumber);
    }
    if (row.Changed) {
        FUpdateAccount->ExecuteWith({ParadoxCode(r.Pin), r.CardNumber, row.AccountId});
        ++FRecords.Counters.Updated;
        FRecords.Changes.Add(TChangeKind::AccountUpdated, r.EmployeeNumber);
    }
    if (row.ChangedSoyal) {
        // A card associated above has no card columns in the match row, so it always counts
        // as changed and gets its code and number now.
        FUpdateCard->ExecuteWith({SoyalCode(r.Pin), r.CardNumber, row.HasCard ? row.CardId : cardId, row.UserId});
        ++FRecords.Counters.UpdatedSoyal;
        FRecords.Changes.Add(TChangeKind::CardUpdated, r.EmployeeNumber);
    }
}

void TCardHolderImport::UnlinkGone() {
    FFlagGone->ExecuteWith();
    FUnlinkGone->ExecuteWith();
}

void TCardHolderImport::LogDeleted(const TBKRec& r) {
    FModule.SyncLogDebug("Deleted user for employee %s left as it is, id %d", VisibleText(r.EmployeeNumber),
                         r.CardHolderId);
}

}  // namespace

void TDataModule1::ImportCardHolders() {
    if (!Settings().CardHolderImportEnabled) {
        SyncLogInfo("BK import disabled");
        return;
    }

    // Writers of the file wait until the import ends.
    std::optional<platform::TSharedReadFile> file(std::in_place, Settings().CardHolderFile);
    TCardHolderImport import(*this);
    const std::uint32_t start = platform::Env().Ticks();

    std::int32_t processed = 0;
    std::vector<TBKRec> records = import.ReadRecords(*file, processed);
    // A refused record (by the server, or for a fault of the export) is logged and audited;
    // the others go on.
    import.RefuseExportFaults(records);
    import.AdoptCardHolders(records);

    TProgressLine progress("Card-holder import", TProgressLine::WantedOnStandardOutput(), STDOUT_FILENO);
    progress.SetTotal(static_cast<std::int64_t>(records.size()));
    Progress = &progress;
    TScopeGuard noProgress([this] { Progress = nullptr; });
    TScopeGuard count([&] {
        Summary.CardHolderImportMs = TicksSince(start, platform::Env().Ticks());
        Summary.BkProcessed = processed;
    });
    import.ImportRecords(records, progress);
    progress.Erase();
    import.UnlinkGone();

    records.clear();
    records.shrink_to_fit();
    file.reset();
    const TCounters& counters = import.Counters();
    SyncLogDebug("BK import took: %dms", TicksSince(start, platform::Env().Ticks()));
    SyncLogDebug("Processed records: %d", processed);
    SyncLogDebug("Updated records: %d", counters.Updated);
    SyncLogDebug("Updated records (soyal): %d", counters.UpdatedSoyal);
    SyncLogDebug("Added records: %d", counters.Added);
    SyncLogDebug("Added records (soyal): %d", counters.AddedSoyal);
    SyncLogDebug("Associated existing cards (soyal): %d", counters.Associated);
}

}  // namespace keyrix
