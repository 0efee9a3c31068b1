// The records of the card-holder file as the card-holder import uses them: who holds which
// card-holder id, PIN and card.
#pragma once

#include "Services/SyncClients/VLHRM/CardHolderEntries.h"
#include "Services/SyncClients/VLHRM/RecordFields.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace keyrix {

// One card-holder whose credentials can be given out.
struct TBKRec {
    std::int32_t CardHolderId = 0;  // "AUId"
    std::string EmployeeNumber;     // "ID", padded to six characters
    std::string Pin;                // "PIN1", padded
    std::string CardNumber;         // composed from "SiteCode" and "CardNr"

    bool operator==(const TBKRec&) const = default;
};

// The keypad account's code: the PIN, but none for the card-holder system's "no PIN" value.
std::string ParadoxCode(const std::string& pin);
// The access card's code: the PIN, but the controllers' default code when there is none.
std::string SoyalCode(const std::string& pin);

// The card number the controllers know: "<site><card in five digits>", or the card alone at
// site 0. None when either text is empty, or when one is no number of its range; then
// debugLine receives the reason, naming the employee.
std::optional<std::string> ComposeCardNumber(const TCardHolderEntry& entry,
                                             const std::function<void(const std::string&)>& debugLine);

// A record that the import refuses before any statement runs, and why.
struct TRefusedBKRec {
    TBKRec Record;
    std::string Reason;

    bool operator==(const TRefusedBKRec&) const = default;
};

// Takes out of records, keeping the order of both lists, those that the export got wrong:
// an employee number longer than MaxEmployeeNumberLength (cut, it would be another
// employee's), and every record of a card-holder id that the file gives to two or more
// employee numbers (which of them holds it cannot be told). One employee under several
// card-holder ids is no fault.
std::vector<TRefusedBKRec> TakeRefusedRecords(std::vector<TBKRec>& records);

// Reads every record of the file. Each record element adds 1 to processed, also one that
// closes itself or is dropped; the list holds, in file order, those with a card-holder id,
// a PIN and a card number.
std::vector<TBKRec> ReadBKRecords(TFeedReader& reader, std::int32_t& processed,
                                  const std::function<void(const std::string&)>& debugLine);

}  // namespace keyrix
