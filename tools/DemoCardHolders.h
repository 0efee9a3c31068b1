// A made-up card-holder export for the demo and the benchmark: the employees of a demo
// feed with their card-holder id, PIN and card, as the card-holder system writes them
// ("Employees"/"Employee" records, their fields in the export's order). With faults, the
// file also has what a real export shows now and then: employees it does not list, cards
// the import must drop, one employee under a second card-holder id, the PIN 65535 and a
// site code 0. The same employees and seed always give the same document, byte for byte.
#pragma once

#include "tools/DemoFeed.h"

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

namespace keyrix::demo {

struct TCardHolderOptions {
    std::uint64_t Seed = 1;
    bool Faults = true;
    unsigned MissingPercent = 4;  // with faults: employees of the feed the file leaves out
};

// The figures the import's results follow from. Every record is of exactly one kind:
// Records = WithUser + WithoutUser + SecondIds + InvalidCardNumbers + InvalidSiteCodes.
struct TCardHolderSummary {
    std::size_t Records = 0;        // "Employee" elements
    std::size_t FeedEmployees = 0;  // employees of the feed
    std::size_t Missing = 0;        // employees of the feed not in the file
    // Kept by the import, under the employee's first card-holder id:
    std::size_t WithUser = 0;     // the HRM import made a user for the employee
    std::size_t WithoutUser = 0;  // a leaver or a name with a digit: no user, skipped
    // Kept, the employee's second card-holder id (its user is copied for it).
    std::size_t SecondIds = 0;
    // Dropped by the import with a debug line; all for employees with a user.
    std::size_t InvalidCardNumbers = 0;  // card number 70000
    std::size_t InvalidSiteCodes = 0;    // site code 300
    // Among the kept records with a user: the PIN 65535 and the site code 0.
    std::size_t Pin65535 = 0;
    std::size_t SiteCode0 = 0;
};

// Writes the whole document (UTF-8) for the feed's employees, in their order; a second
// card-holder id comes after all first ones.
TCardHolderSummary WriteCardHolders(std::ostream& out, const std::vector<TFeedEmployee>& employees,
                                    const TCardHolderOptions& options);

}  // namespace keyrix::demo
