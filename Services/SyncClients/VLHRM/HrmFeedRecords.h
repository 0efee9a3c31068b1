// The HRM feed's records: the document's root and record names, and the fields of one
// employee as the HRM import takes them from a record (each from the child element of its
// name). A field that is missing gives its empty value; only a termination date that is no
// date raises (EConvertError).
#pragma once

#include "Services/SyncClients/VLHRM/FeedReader.h"
#include "Services/SyncClients/VLHRM/RecordFields.h"
#include "common/Exceptions.h"
#include "common/Variant.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keyrix {

// A text that should hold a value of some type does not.
KEYRIX_DECLARE_EXCEPTION(EConvertError, Exception);

inline constexpr const char* HrmRootName = "ArrayOfBrakonData";
inline constexpr const char* HrmRecordName = "BrakonData";

// The termination date of an XML date-time of exactly 19 characters (2019-05-31T00:00:00):
// year from characters 1-4, month 6-7, day 9-10, the rest not compared. Another length gives
// none; parts that are no numbers or no calendar date raise EConvertError.
std::optional<TDateTime> TerminationDate(std::string_view text);

// The fields of one HRM feed record, each from the child element of its name; texts are
// 8-bit.
struct THrmEmployee {
    std::string EmployeeNumber;         // "EmployeeID", whole (see MaxEmployeeNumberLength)
    std::string FirstName;              // "FirstName", 30 characters
    std::string LastName;               // "LastName", 30
    std::optional<std::string> Email;   // "Email", 60; an empty text is none
    std::string Occupation;             // "PositionTitle", 100
    std::int32_t CompanyNumber = 0;     // "CompanyId", whole number
    std::string CompanyName;            // "CompanyName", 30
    std::string SiteName;               // "SiteName", 30
    std::int32_t SiteNumber = 0;        // "SiteId", whole number
    std::optional<TDateTime> TerminationDate;  // "TerminationDate"

    bool operator==(const THrmEmployee&) const = default;
};

// Reads the current record of an HRM feed; a malformed termination date raises EConvertError.
THrmEmployee ReadHrmEmployee(const TFeedReader& reader);

}  // namespace keyrix
