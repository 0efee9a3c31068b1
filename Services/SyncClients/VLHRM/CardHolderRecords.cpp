#include "Services/SyncClients/VLHRM/CardHolders.h"

#include "common/Format.h"
#include "common/TextUtils.h"

#include <map>
#include <set>

namespace keyrix {

namespace {

// The PIN that the card-holder system exports for a card-holder without one.
const char* const NoPin = "65535";
// The code the controllers take for a card without a PIN.
const char* const DefaultSoyalCode = "9517";

}  // namespace

std::string ParadoxCode(const std::string& pin) { return pin == NoPin ? std::string() : pin; }

std::string SoyalCode(const std::string& pin) { return pin.empty() || pin == NoPin ? DefaultSoyalCode : pin; }

std::optional<std::string> ComposeCardNumber(const TCardHolderEntry& entry,
                                             const std::function<void(const std::string&)>& debugLine) {
    if (entry.CardNumber.empty() || entry.SiteCode.empty()) return std::nullopt;
    const std::optional<std::int32_t> card = StrictWholeNumber(entry.CardNumber, 0, 65535);
    if (!card) {
        debugLine(Format("Invalid card number \"%s\" for employee %s", VisibleText(entry.CardNumber),
                         VisibleText(entry.EmployeeNumber)));
        return std::nullopt;
    }
    const std::optional<std::int32_t> site = StrictWholeNumber(entry.SiteCode, 0, 255);
    if (!site) {
        debugLine(Format("Invalid card site code \"%s\" for employee %s", VisibleText(entry.SiteCode),
                         VisibleText(entry.EmployeeNumber)));
        return std::nullopt;
    }
    if (*site == 0) return std::to_string(*card);
    return Format("%d%.5d", *site, *card);
}

std::vector<TRefusedBKRec> TakeRefusedRecords(std::vector<TBKRec>& records) {
    std::map<std::int32_t, std::set<std::string>> holders;  // card-holder id: its employee numbers
    for (const TBKRec& r : records) holders[r.CardHolderId].insert(r.EmployeeNumber);
    std::vector<TRefusedBKRec> refused;
    std::vector<TBKRec> kept;
    for (TBKRec& r : records) {
        std::string reason;
        if (r.EmployeeNumber.size() > MaxEmployeeNumberLength)
            reason = Format("the employee number is longer than %d characters",
                            static_cast<std::int64_t>(MaxEmployeeNumberLength));
        else if (const std::size_t employees = holders[r.CardHolderId].size(); employees > 1)
            reason = Format("the file gives card-holder id %d to %d employees", r.CardHolderId,
                            static_cast<std::int64_t>(employees));
        if (reason.empty())
            kept.push_back(std::move(r));
        else
            refused.push_back({std::move(r), std::move(reason)});
    }
    records = std::move(kept);
    return refused;
}

std::vector<TBKRec> ReadBKRecords(TFeedReader& reader, std::int32_t& processed,
                                  const std::function<void(const std::string&)>& debugLine) {
    std::vector<TBKRec> records;
    while (reader.Next()) {
        ++processed;
        if (reader.IsEmptyElement()) continue;
        const TCardHolderEntry entry = ReadCardHolderEntry(reader);
        std::optional<std::string> card = ComposeCardNumber(entry, debugLine);
        if (entry.CardHolderId == 0 || entry.Pin.empty() || !card) continue;
        records.push_back({entry.CardHolderId, entry.EmployeeNumber, entry.Pin, std::move(*card)});
    }
    return records;
}

}  // namespace keyrix
