#include "tools/DemoFeed.h"

#include "tools/DemoXml.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace keyrix::demo {

namespace {

struct TName {
    std::string_view Text;   // as the HRM spells it (UTF-8)
    std::string_view Ascii;  // for the mail address
};

// Some names leave ASCII, as Nordic and German ones do; all fit Windows-1252.
constexpr std::array<TName, 32> FirstNames{{
    {"Anna", "anna"},       {"Björn", "bjorn"},   {"Carl", "carl"},       {"Dagny", "dagny"},
    {"Elin", "elin"},       {"Fredrik", "fredrik"}, {"Gunnar", "gunnar"}, {"Hanna", "hanna"},
    {"Ingrid", "ingrid"},   {"Jonas", "jonas"},   {"Karin", "karin"},     {"Lars", "lars"},
    {"Maja", "maja"},       {"Nils", "nils"},     {"Olof", "olof"},       {"Petra", "petra"},
    {"Rasmus", "rasmus"},   {"Sofia", "sofia"},   {"Tove", "tove"},       {"Ulf", "ulf"},
    {"Vera", "vera"},       {"Åsa", "asa"},       {"Zoë", "zoe"},         {"Jürgen", "juergen"},
    {"Søren", "soren"},     {"Håkon", "hakon"},   {"José", "jose"},       {"Mikael", "mikael"},
    {"Linnéa", "linnea"},   {"Emil", "emil"},     {"Sanna", "sanna"},     {"Oskar", "oskar"},
}};

constexpr std::array<TName, 32> LastNames{{
    {"Andersson", "andersson"}, {"Berg", "berg"},         {"Carlsson", "carlsson"},   {"Dahl", "dahl"},
    {"Ek", "ek"},               {"Forsberg", "forsberg"}, {"Gustafsson", "gustafsson"}, {"Holm", "holm"},
    {"Isaksson", "isaksson"},   {"Johansson", "johansson"}, {"Karlsson", "karlsson"}, {"Lindqvist", "lindqvist"},
    {"Magnusson", "magnusson"}, {"Nyström", "nystrom"},   {"Olsen", "olsen"},         {"Persson", "persson"},
    {"Quist", "quist"},         {"Rönnberg", "ronnberg"}, {"Sandberg", "sandberg"},   {"Törnqvist", "tornqvist"},
    {"Ulriksen", "ulriksen"},   {"Virtanen", "virtanen"}, {"Wallin", "wallin"},       {"Østergaard", "ostergaard"},
    {"Müller", "mueller"},      {"Ångström", "angstrom"}, {"Hansen", "hansen"},       {"Lund", "lund"},
    {"Nieminen", "nieminen"},   {"Sjöberg", "sjoberg"},   {"Eriksson", "eriksson"},   {"Björk", "bjork"},
}};

constexpr std::array<std::string_view, 12> Titles{{
    "Warehouse Operator", "Forklift Driver", "Shift Supervisor", "Sales Assistant", "Store Manager",
    "Service Technician", "Customer Service Agent", "Accountant", "HR Partner", "Software Developer",
    "Security Guard", "Facility Manager",
}};

constexpr std::array<std::string_view, 8> HrDepartments{{
    "Operations", "Sales", "Finance", "R&D", "Human Resources", "Facilities", "Logistics", "IT",
}};

constexpr std::array<std::string_view, 3> EmploymentTypes{{"Permanent", "Temporary", "Part-time"}};

struct TSite {
    int Id;
    std::string_view Name;
};

struct TCompany {
    int Id;  // 0: external staff, whose records carry no CompanyId
    std::string_view Name;
    std::string_view MailDomain;
    unsigned Weight;  // share of the employees, in percent
    std::vector<TSite> Sites;
};

const std::vector<TCompany>& Companies() {
    static const std::vector<TCompany> companies = {
        {1, "Veltrona Logistics AB", "logistics.veltrona.example", 38,
         {{101, "Göteborg Hamn"}, {102, "Malmö Terminal"}, {103, "Oslo Hub"}}},
        {2, "Veltrona Retail AB", "retail.veltrona.example", 32, {{201, "Stockholm City"}, {202, "Uppsala Centrum"}}},
        {3, "Veltrona Services Oy", "services.veltrona.example", 27,
         {{301, "Helsinki Head Office"}, {302, "Tampere Depot"}, {303, "Århus Workshop"}}},
        {0, "External staff", "partners.veltrona.example", 3, {{900, "Contractors"}}},
    };
    return companies;
}

std::string Date(int year, int month, int day) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT00:00:00", year, month, day);
    return text;
}

struct TRun {
    const TCompany* Company;
    const TSite* Site;
    std::size_t Length;
};

// Blocks of consecutive records of one site. Every site has one early in the feed (in an
// order of the seed's choosing); after that they are picked by the companies' weights. A
// site can come back later, never twice in a row.
std::vector<TRun> PlanRuns(TRandom& random, std::size_t employees) {
    std::vector<std::pair<const TCompany*, const TSite*>> first;
    for (const TCompany& company : Companies())
        for (const TSite& site : company.Sites) first.emplace_back(&company, &site);
    for (std::size_t i = first.size(); i > 1; --i) std::swap(first[i - 1], first[random.Below(i)]);

    std::vector<TRun> runs;
    const std::size_t shortest = std::max<std::size_t>(5, employees / 60);
    const std::size_t longest = std::max<std::size_t>(shortest * 2, employees / 15);
    const TSite* previous = nullptr;
    for (std::size_t planned = 0; planned < employees;) {
        const TCompany* company = nullptr;
        const TSite* site = nullptr;
        if (runs.size() < first.size()) {
            std::tie(company, site) = first[runs.size()];
        } else {
            // Bounded: with more than one site a different one comes up within a few draws.
            for (int attempt = 0; attempt < 16 && (site == nullptr || site == previous); ++attempt) {
                std::size_t ticket = random.Below(100);
                for (const TCompany& c : Companies()) {
                    company = &c;
                    if (ticket < c.Weight) break;
                    ticket -= c.Weight;
                }
                site = &company->Sites[random.Below(company->Sites.size())];
            }
        }
        // External staff come in short runs.
        std::size_t length = random.Between(shortest, longest);
        if (company->Id == 0) length = std::max<std::size_t>(1, length / 4);
        length = std::min(length, employees - planned);
        runs.push_back({company, site, length});
        planned += length;
        previous = site;
    }
    return runs;
}

}  // namespace

TFeedSummary WriteFeed(std::ostream& out, const TFeedOptions& options, std::vector<TFeedEmployee>* employees) {
    TRandom random(options.Seed);
    TFeedSummary summary;
    std::set<int> companies, sites;

    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<ArrayOfBrakonData xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns=\"http://tempuri.org/\">\n";

    const std::vector<TRun> runs = PlanRuns(random, options.Employees);
    summary.Runs = runs.size();
    std::size_t index = 0;
    for (const TRun& run : runs) {
        for (std::size_t i = 0; i < run.Length; ++i, ++index) {
            const TCompany& company = *run.Company;
            const TSite& site = *run.Site;
            const TName& first = random.Pick(FirstNames);
            const TName& last = random.Pick(LastNames);
            const std::string number = std::to_string(100001 + index);
            std::string lastName(last.Text);
            // A stray digit in a name, as a typing slip leaves it: one early in every feed,
            // then about one in a hundred.
            const bool digit = index % 97 == std::min<std::size_t>(41, options.Employees - 1) % 97;
            if (digit) {
                lastName += std::to_string(1 + index % 9);
                ++summary.NamesWithDigit;
            }
            const bool leaver = random.Below(100) < options.LeaverPercent;
            const bool hasMail = random.Below(100) >= 4;
            const std::string mail = hasMail ? std::string(first.Ascii) + "." + std::string(last.Ascii) + "." +
                                                   number.substr(number.size() - 3) + "@" +
                                                   std::string(company.MailDomain)
                                             : std::string();
            const std::string phone = "+46 31 " + std::to_string(200000 + random.Below(800000));
            const std::string hired =
                Date(2005 + static_cast<int>(random.Below(15)), 1 + static_cast<int>(random.Below(12)),
                     1 + static_cast<int>(random.Below(28)));

            out << "  <BrakonData>\n";
            Element(out, "EmployeeID", number);                                   // 0
            Element(out, "FirstName", first.Text);                                // 1
            Element(out, "LastName", lastName);                                   // 2
            Element(out, "Email", mail);                                          // 3
            Element(out, "Phone", phone);                                         // 4
            Element(out, "PositionTitle", random.Pick(Titles));                   // 5
            Element(out, "Department", random.Pick(HrDepartments));               // 6
            Element(out, "CompanyId", company.Id != 0 ? std::to_string(company.Id) : std::string());  // 7
            Element(out, "CompanyName", company.Name);                            // 8
            Element(out, "SiteName", site.Name);                                  // 9
            Element(out, "SiteId", std::to_string(site.Id));                      // 10
            Element(out, "CostCenter", "CC" + std::to_string(site.Id * 10 + static_cast<int>(random.Below(10))));  // 11
            Element(out, "ManagerID", std::to_string(100001 + random.Below(index + 1)));  // 12
            Element(out, "HireDate", hired);                                      // 13
            Element(out, "EmploymentType", random.Pick(EmploymentTypes));         // 14
            Element(out, "TerminationDate",                                       // 15
                    leaver ? Date(2018 + static_cast<int>(random.Below(6)), 1 + static_cast<int>(random.Below(12)),
                                  1 + static_cast<int>(random.Below(28)))
                           : std::string());
            out << "  </BrakonData>\n";

            ++summary.Employees;
            if (leaver) ++summary.Leavers;
            if (employees != nullptr)
                employees->push_back({number, std::string(first.Text), lastName, !leaver && !digit});
            if (company.Id == 0)
                ++summary.WithoutCompany;
            else
                companies.insert(company.Id);
            sites.insert(site.Id);
        }
    }
    out << "</ArrayOfBrakonData>\n";
    summary.Companies = companies.size();
    summary.Sites = sites.size();
    return summary;
}

}  // namespace keyrix::demo
