// The demo's card-holder file, read by the import's own record reader: the kinds of records
// the generator's summary counts must be what the import makes of the file, since the demo
// checks the database against those counts.
#include "Services/SyncClients/VLHRM/CardHolders.h"
#include "Services/SyncClients/VLHRM/FeedReader.h"
#include "tools/DemoCardHolders.h"
#include "tools/DemoFeed.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace keyrix;
using namespace keyrix::demo;

namespace {

struct TGenerated {
    std::vector<TFeedEmployee> Employees;
    TCardHolderSummary Summary;
    std::string Document;
};

TGenerated Generate(std::size_t employees, std::uint64_t seed, bool faults) {
    TGenerated generated;
    std::ostringstream feed;
    WriteFeed(feed, TFeedOptions{employees, seed, 8}, &generated.Employees);
    std::ostringstream cards;
    TCardHolderOptions options;
    options.Seed = seed;
    options.Faults = faults;
    generated.Summary = WriteCardHolders(cards, generated.Employees, options);
    generated.Document = cards.str();
    return generated;
}

// What the import reads from a document: its kept records, processed count and debug lines.
struct TRead {
    std::vector<TBKRec> Records;
    std::int32_t Processed = 0;
    std::vector<std::string> DebugLines;
};

TRead ReadAsTheImport(const std::string& document) {
    TRead read;
    TFeedReader reader = TFeedReader::FromMemory(document, CardHolderRootName, CardHolderRecordName);
    read.Records = ReadBKRecords(reader, read.Processed,
                                 [&read](const std::string& line) { read.DebugLines.push_back(line); });
    return read;
}

std::size_t LinesStarting(const std::vector<std::string>& lines, const std::string& start) {
    std::size_t count = 0;
    for (const std::string& line : lines) count += line.rfind(start, 0) == 0 ? 1 : 0;
    return count;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

struct TCase {
    std::size_t Employees;
    std::uint64_t Seed;
};

void PrintTo(const TCase& c, std::ostream* out) { *out << c.Employees << " employees, seed " << c.Seed; }

class DemoCardHolderFileTest : public testing::TestWithParam<TCase> {};

TEST_P(DemoCardHolderFileTest, SummaryCountsWhatTheImportReads) {
    const TGenerated g = Generate(GetParam().Employees, GetParam().Seed, true);
    const TCardHolderSummary& s = g.Summary;
    const TRead read = ReadAsTheImport(g.Document);

    EXPECT_EQ(static_cast<std::size_t>(read.Processed), s.Records);
    EXPECT_EQ(read.Records.size(), s.WithUser + s.WithoutUser + s.SecondIds);
    EXPECT_EQ(s.Records, read.Records.size() + s.InvalidCardNumbers + s.InvalidSiteCodes);
    EXPECT_EQ(LinesStarting(read.DebugLines, "Invalid card number \"70000\" for employee "), s.InvalidCardNumbers);
    EXPECT_EQ(LinesStarting(read.DebugLines, "Invalid card site code \"300\" for employee "), s.InvalidSiteCodes);
    EXPECT_EQ(read.DebugLines.size(), s.InvalidCardNumbers + s.InvalidSiteCodes);

    // Every fault is there, for an employee with a user, so that the demo's figures show it.
    EXPECT_EQ(s.SecondIds, 1u);
    EXPECT_EQ(s.Pin65535, 1u);
    EXPECT_EQ(s.SiteCode0, 1u);
    EXPECT_EQ(s.InvalidCardNumbers, 2u);
    EXPECT_EQ(s.InvalidSiteCodes, 2u);
    EXPECT_GT(s.Missing, 0u);

    std::map<std::string, const TFeedEmployee*> byNumber;
    for (const TFeedEmployee& e : g.Employees) byNumber[e.Number] = &e;
    std::set<std::string> seen;
    std::set<std::int32_t> ids;
    std::size_t withUser = 0, withoutUser = 0, second = 0, pin65535 = 0;
    for (const TBKRec& r : read.Records) {
        ASSERT_EQ(byNumber.count(r.EmployeeNumber), 1u) << r.EmployeeNumber << " is no employee of the feed";
        EXPECT_TRUE(ids.insert(r.CardHolderId).second) << "card-holder id " << r.CardHolderId << " twice";
        EXPECT_GE(r.Pin.size(), 4u);
        if (!seen.insert(r.EmployeeNumber).second) {
            ++second;
            EXPECT_TRUE(byNumber[r.EmployeeNumber]->HasUser) << r.EmployeeNumber;
        } else {
            ++(byNumber[r.EmployeeNumber]->HasUser ? withUser : withoutUser);
        }
        if (r.Pin == "65535") {
            ++pin65535;
            EXPECT_TRUE(byNumber[r.EmployeeNumber]->HasUser) << r.EmployeeNumber;
        }
    }
    EXPECT_EQ(withUser, s.WithUser);
    EXPECT_EQ(withoutUser, s.WithoutUser);
    EXPECT_EQ(second, s.SecondIds);
    EXPECT_EQ(pin65535, s.Pin65535);

    // The employees the file names at all, dropped records included.
    std::set<std::string> listed;
    const std::regex idAttribute("<Employee ID=\"([0-9]+)\">");
    for (auto it = std::sregex_iterator(g.Document.begin(), g.Document.end(), idAttribute);
         it != std::sregex_iterator(); ++it)
        listed.insert((*it)[1]);
    EXPECT_EQ(s.Missing, g.Employees.size() - listed.size());
    EXPECT_EQ(Occurrences(g.Document, "<SiteCode>0</SiteCode>"), s.SiteCode0);
}

TEST_P(DemoCardHolderFileTest, SameSeedSameBytesOtherSeedOtherFile) {
    const TGenerated first = Generate(GetParam().Employees, GetParam().Seed, true);
    EXPECT_EQ(Generate(GetParam().Employees, GetParam().Seed, true).Document, first.Document);
    EXPECT_NE(Generate(GetParam().Employees, GetParam().Seed + 1, true).Document, first.Document);
}

TEST_P(DemoCardHolderFileTest, WithoutFaultsEveryEmployeeHasOneKeptRecord) {
    const TGenerated g = Generate(GetParam().Employees, GetParam().Seed, false);
    const TRead read = ReadAsTheImport(g.Document);
    EXPECT_EQ(g.Summary.Records, g.Employees.size());
    EXPECT_EQ(read.Records.size(), g.Employees.size());
    EXPECT_TRUE(read.DebugLines.empty());
    EXPECT_EQ(g.Summary.Missing + g.Summary.SecondIds + g.Summary.InvalidCardNumbers + g.Summary.InvalidSiteCodes +
                  g.Summary.Pin65535 + g.Summary.SiteCode0,
              0u);
    for (std::size_t i = 0; i < read.Records.size(); ++i)
        EXPECT_EQ(read.Records[i].EmployeeNumber, g.Employees[i].Number);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DemoCardHolderFileTest,
                         testing::Values(TCase{300, 1}, TCase{60, 7}, TCase{2000, 3}),
                         [](const testing::TestParamInfo<TCase>& info) {
                             return std::to_string(info.param.Employees) + "_seed" + std::to_string(info.param.Seed);
                         });

}  // namespace
