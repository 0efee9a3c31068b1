#include "tools/DemoCardHolders.h"

#include "tools/DemoXml.h"

#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

namespace keyrix::demo {

namespace {

enum class TKind { Plain, Missing, Twice, Pin65535, SiteCode0, InvalidCardNumber, InvalidSiteCode };

// The faults, each given to one employee with a user, in this order while there are any.
constexpr std::array<TKind, 7> Faults{{TKind::Twice, TKind::Pin65535, TKind::SiteCode0, TKind::InvalidCardNumber,
                                       TKind::InvalidCardNumber, TKind::InvalidSiteCode, TKind::InvalidSiteCode}};

constexpr std::array<int, 4> SiteCodes{{12, 34, 101, 250}};
constexpr std::array<std::string_view, 3> CardTypes{{"Mifare", "EM4100", "HID Prox"}};

// Card-holder ids of the first records follow the feed's order; second ones follow them.
constexpr std::size_t FirstCardHolderId = 10001;

// Distinct for the first 65535 records: 7919 shares no factor with 65535.
std::string CardNumber(std::size_t record) {
    char text[16];
    std::snprintf(text, sizeof text, "%05zu", (record * 7919) % 65535 + 1);
    return text;
}

void Record(std::ostream& out, const TFeedEmployee& employee, std::size_t cardHolderId, const std::string& pin,
            const std::string& siteCode, const std::string& cardNumber, TRandom& random) {
    out << "  <Employee ID=\"" << Escaped(employee.Number) << "\">\n";
    Element(out, "AUId", std::to_string(cardHolderId));  // 0
    Element(out, "FirstName", employee.FirstName);       // 1
    Element(out, "LastName", employee.LastName);         // 2
    Element(out, "PIN1", pin);                           // 3
    Element(out, "PIN2", "");                            // 4
    Element(out, "CardType", random.Pick(CardTypes));    // 5
    char from[16];
    std::snprintf(from, sizeof from, "%04zu-%02zu-01", 2015 + random.Below(10), 1 + random.Below(12));
    Element(out, "ValidFrom", from);                     // 6
    Element(out, "ValidTo", "");                         // 7
    Element(out, "SiteCode", siteCode);                  // 8
    Element(out, "CardNr", cardNumber);                  // 9
    out << "  </Employee>\n";
}

}  // namespace

TCardHolderSummary WriteCardHolders(std::ostream& out, const std::vector<TFeedEmployee>& employees,
                                    const TCardHolderOptions& options) {
    // A stream of its own: the feed's seed gives a different sequence here.
    TRandom random(options.Seed ^ 0x63617264686f6c64ULL);
    TCardHolderSummary summary;
    summary.FeedEmployees = employees.size();

    std::vector<TKind> kinds(employees.size(), TKind::Plain);
    std::size_t twice = employees.size();  // the employee listed under two ids, if any
    if (options.Faults) {
        std::vector<std::size_t> withUser;
        for (std::size_t i = 0; i < employees.size(); ++i)
            if (employees[i].HasUser) withUser.push_back(i);
        for (std::size_t i = withUser.size(); i > 1; --i) std::swap(withUser[i - 1], withUser[random.Below(i)]);
        for (std::size_t f = 0; f < Faults.size() && f < withUser.size(); ++f) {
            kinds[withUser[f]] = Faults[f];
            if (Faults[f] == TKind::Twice) twice = withUser[f];
        }
        for (TKind& kind : kinds)
            if (kind == TKind::Plain && random.Below(100) < options.MissingPercent) kind = TKind::Missing;
    }

    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Employees>\n";
    for (std::size_t i = 0; i < employees.size(); ++i) {
        const TKind kind = kinds[i];
        if (kind == TKind::Missing) {
            ++summary.Missing;
            continue;
        }
        // Written as the export writes it, without leading zeros: the import pads it.
        std::string pin = kind == TKind::Pin65535 ? "65535" : std::to_string(random.Below(10000));
        std::string site = std::to_string(random.Pick(SiteCodes));
        std::string card = CardNumber(i);
        switch (kind) {
            case TKind::SiteCode0: site = "0"; ++summary.SiteCode0; break;
            case TKind::InvalidCardNumber: card = "70000"; ++summary.InvalidCardNumbers; break;
            case TKind::InvalidSiteCode: site = "300"; ++summary.InvalidSiteCodes; break;
            case TKind::Pin65535: ++summary.Pin65535; break;
            default: break;
        }
        Record(out, employees[i], FirstCardHolderId + i, pin, site, card, random);
        ++summary.Records;
        if (kind != TKind::InvalidCardNumber && kind != TKind::InvalidSiteCode)
            ++(employees[i].HasUser ? summary.WithUser : summary.WithoutUser);
    }
    if (twice < employees.size()) {
        // A second card, issued later under a new card-holder id.
        Record(out, employees[twice], FirstCardHolderId + employees.size(), std::to_string(random.Below(10000)),
               std::to_string(random.Pick(SiteCodes)), CardNumber(employees.size()), random);
        ++summary.Records;
        ++summary.SecondIds;
    }
    out << "</Employees>\n";
    return summary;
}

}  // namespace keyrix::demo
