// A made-up HRM feed for the demo and the benchmark: employees of a few companies and
// their sites, listed in runs (consecutive records share company and site, as the HRM
// exports them), with a share of leavers and the odd data-entry slip. The same options
// always give the same document, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace keyrix::demo {

struct TFeedOptions {
    std::size_t Employees = 300;
    std::uint64_t Seed = 1;
    unsigned LeaverPercent = 8;  // employees with a TerminationDate in the past
};

struct TFeedSummary {
    std::size_t Employees = 0;
    std::size_t Leavers = 0;
    std::size_t NamesWithDigit = 0;
    std::size_t WithoutCompany = 0;  // external staff: no CompanyId
    std::size_t Companies = 0;       // distinct CompanyIds met, external staff not counted
    std::size_t Sites = 0;           // distinct SiteIds met
    std::size_t Runs = 0;            // blocks of consecutive records of one site
};

// One employee of the feed, as the card-holder file needs it.
struct TFeedEmployee {
    std::string Number;  // EmployeeID, "100001" + index
    std::string FirstName, LastName;  // UTF-8, as in the feed
    // The HRM import makes a user for it: not a leaver, no digit in the name.
    bool HasUser = false;
};

// Writes the whole document (UTF-8) to the stream; when employees is given, it receives
// the feed's employees in order.
TFeedSummary WriteFeed(std::ostream& out, const TFeedOptions& options,
                       std::vector<TFeedEmployee>* employees = nullptr);

}  // namespace keyrix::demo
