// The fixture of the sync pass tests: a sync object whose pass the test drives, over a
// fresh database and a real HTTPS feed server, with a second connection that sees only what
// was committed and a journal of every log channel.
#pragma once

#include "Services/SyncClients/VLHRM/Unit1.h"
#include "platform/Env.h"
#include "common/Exceptions.h"
#include "db/DBUtils.h"
#include "tests/db/DbFixture.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/vlhrm/RunJournal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace keyrix::test {

using Lines = std::vector<std::string>;
using Rows = std::vector<std::vector<std::string>>;

// A sync object whose pass and session the test drives; the imports can be replaced.
class TPassModule : public TDataModule1 {
public:
    using TDataModule1::TDataModule1;
    using TDataModule1::ConnectDatabase;
    using TDataModule1::PrepareSchema;
    using TDataModule1::SyncPass;
    using TDataModule1::DisconnectDatabase;
    std::function<void(TPassModule&)> HrmImport;
    // Called in place of the card-holder import; it may call the real one.
    std::function<void(TPassModule&)> CardHolderImport;
    void RealCardHolderImport() { TDataModule1::ImportCardHolders(); }

protected:
    void ImportHrmUsers() override {
        if (HrmImport)
            HrmImport(*this);
        else
            TDataModule1::ImportHrmUsers();
    }
    void ImportCardHolders() override {
        if (CardHolderImport)
            CardHolderImport(*this);
        else
            TDataModule1::ImportCardHolders();
    }
};

struct TEmployee {
    TEmployee(std::string number, std::string first, std::string last, int company = 1,
              std::string companyName = "Acme", std::string site = "North", int siteId = 10,
              std::string termination = "")
        : Number(std::move(number)), First(std::move(first)), Last(std::move(last)), Company(company),
          CompanyName(std::move(companyName)), Site(std::move(site)), SiteId(siteId),
          Termination(std::move(termination)) {}
    std::string Number, First, Last;
    int Company;
    std::string CompanyName, Site;
    int SiteId;
    std::string Termination;  // the element's text
    std::string Email;
};

inline std::string FeedOf(const std::vector<TEmployee>& employees) {
    std::string feed = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfBrakonData>\n";
    for (const TEmployee& e : employees)
        feed += "  <BrakonData><EmployeeID>" + e.Number + "</EmployeeID><FirstName>" + e.First +
                "</FirstName><LastName>" + e.Last + "</LastName><Email>" + e.Email +
                "</Email><Phone/><PositionTitle>Clerk</PositionTitle><Department/><CompanyId>" +
                std::to_string(e.Company) + "</CompanyId><CompanyName>" + e.CompanyName + "</CompanyName><SiteName>" +
                e.Site + "</SiteName><SiteId>" + std::to_string(e.SiteId) +
                "</SiteId><a/><b/><c/><d/><TerminationDate>" + e.Termination + "</TerminationDate></BrakonData>\n";
    return feed + "</ArrayOfBrakonData>\n";
}

class Pass : public RunFixture {
protected:
    void SetUp() override {
        RunFixture::SetUp();
        UseDatabase(Database);
        Setup.HrmUrl = Server.Url("/General/HrDataService.asmx/GetBrakonData");
        Setup.CardHolderImportEnabled = false;
        Database.Isql(
            "INSERT INTO DEPARTMENTS (NAME) VALUES ('Sales (1)');\n"
            "INSERT INTO DEPARTMENTS (NAME) VALUES ('Misc (default)');\nCOMMIT;\n");
        Module = std::make_unique<TPassModule>(LogPath);
        Module->ConnectDatabase();
        Module->PrepareSchema();
        Database.Configure(Check);
        Check.OpenConnection();
    }
    void TearDown() override {
        Check.CloseConnection();
        Module.reset();
        dbutils::FinalizeDatabaseLayer();
        ::unsetenv("KEYRIX_REGISTRY");
        platform::ReloadEnvironment();
        RunFixture::TearDown();
    }

    // One pass over the feed, as the next run would make it; the journal from its start on.
    Lines RunPass(const std::vector<TEmployee>& employees) {
        Feed = FeedOf(employees);
        return RunPass();
    }
    // The same over the feed as it stands.
    Lines RunPass() {
        // A run makes one pass: its cached statements keep the pass transaction they were made
        // in, so a later pass starts from fresh ones as a new run does.
        dbutils::FreeQueries("Sync");
        Journal.Entries.clear();
        Module->SyncPass();
        return Journal.Finish();
    }
    // What another attachment sees now (committed data only).
    Rows Query(const std::string& sql) { return QueryIn(sql, nullptr, &Check); }
    // What the transaction sees (the pass's own, uncommitted changes included).
    static Rows QueryIn(const std::string& sql, dbutils::PTransaction transaction, TFbConnection* database = nullptr) {
        const bool ownTransaction = !transaction;  // a given one is left as it is
        dbutils::PQuery query = dbutils::PrepareQuery(sql, std::move(transaction), database);
        query->ExecuteWith();
        Rows rows;
        for (; !query->Eof(); query->NextRow()) {
            std::vector<std::string> row;
            for (std::size_t i = 0; i < query->FieldCount(); ++i)
                row.push_back(query->FieldAt(i).IsNull() ? "NULL" : query->FieldAt(i).AsString());
            rows.push_back(row);
        }
        dbutils::FreeQuery(query, ownTransaction);
        return rows;
    }
    static bool Has(const Lines& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    TTestDatabase Database;
    std::string Feed;
    std::function<void()> BeforeFeed;  // runs as the feed is requested
    THttpsTestServer Server{[this](const THttpRequest&) {
        if (BeforeFeed) BeforeFeed();
        THttpResponse response;
        response.Body = Feed;
        return response;
    }};
    std::unique_ptr<TPassModule> Module;
    TFbConnection Check{"check"};
};

}  // namespace keyrix::test
