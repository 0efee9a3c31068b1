// The card-holder file's records: the document's root and record names, and the fields of
// one card-holder as its record gives them, cut and padded but not yet judged; a field that
// is missing gives its empty value. What the import makes of an entry is in CardHolders.h.
#pragma once

#include "Services/SyncClients/VLHRM/FeedReader.h"

#include <cstdint>
#include <string>

namespace keyrix {

inline constexpr const char* CardHolderRootName = "Employees";
inline constexpr const char* CardHolderRecordName = "Employee";

// The fields of one card-holder record; texts are 8-bit, cut, padded where the file says so.
struct TCardHolderEntry {
    std::string EmployeeNumber;         // attribute "ID", "0"-padded to at least 6 characters
    std::int32_t CardHolderId = 0;      // "AUId", whole number
    std::string Pin;                    // "PIN1", 6 characters; when not empty "0"-padded to 4
    std::string SiteCode;               // "SiteCode", 3 characters
    std::string CardNumber;             // "CardNr", 5 characters

    bool operator==(const TCardHolderEntry&) const = default;
};

// Reads the current record of a card-holder file (an empty-element record gives only its
// employee number).
TCardHolderEntry ReadCardHolderEntry(const TFeedReader& reader);

}  // namespace keyrix
