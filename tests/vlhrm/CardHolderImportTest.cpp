// The card-holder import: its record reader, and the import itself on the real database
// within the sync pass.
#include "Services/SyncClients/VLHRM/CardHolders.h"
#include "Services/SyncClients/VLHRM/FeedReader.h"
#include "db/FbErrors.h"
#include "tests/support/TcpRelay.h"
#include "tests/vlhrm/PassFixture.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <regex>
#include <thread>

using namespace keyrix;
using namespace keyrix::test;
using namespace std::chrono_literals;

namespace {

// One record of the card-holder file in the export's layout, with elements the import does
// not read.
struct TCardHolder {
    std::string Id, AUId, Pin, SiteCode, CardNr;
};

std::string CardRecord(const TCardHolder& c) {
    return "  <Employee ID=\"" + c.Id + "\"><AUId>" + c.AUId + "</AUId><Name>x</Name><Dept/><PIN1>" + c.Pin +
           "</PIN1><PIN2/><a/><b/><c/><SiteCode>" + c.SiteCode + "</SiteCode><CardNr>" + c.CardNr +
           "</CardNr><Valid>1</Valid></Employee>\n";
}

std::string CardFile(const std::string& records) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Employees>\n" + records + "</Employees>\n";
}

std::string CardFileOf(const std::vector<TCardHolder>& holders) {
    std::string records;
    for (const TCardHolder& c : holders) records += CardRecord(c);
    return CardFile(records);
}

std::string Describe(const TBKRec& r) {
    return std::to_string(r.CardHolderId) + " " + r.EmployeeNumber + " " + r.Pin + " " + r.CardNumber;
}

struct TReadResult {
    std::vector<std::string> Records;  // Describe of each
    Lines Debug;
    std::int32_t Processed = 0;
};

TReadResult ReadDocument(const std::string& document) {
    TFeedReader reader = TFeedReader::FromMemory(document, CardHolderRootName, CardHolderRecordName);
    TReadResult result;
    for (const TBKRec& r : ReadBKRecords(reader, result.Processed, [&](const std::string& line) {
             result.Debug.push_back(line);
         }))
        result.Records.push_back(Describe(r));
    return result;
}

}  // namespace

TEST(CardHolderReader, RecordsKeptAndDropped) {
    struct Case {
        const char* what;
        std::string record;
        std::vector<std::string> kept;  // Describe of the record, when kept
        Lines debug;
    };
    const Case cases[] = {
        {"padded number, PIN and site code", CardRecord({"42", "17", "7", "12", "345"}), {"17 000042 0007 1200345"}, {}},
        {"long number unchanged, site code 0", CardRecord({"9876543", "18", "65535", "0", "00345"}),
         {"18 9876543 65535 345"}, {}},
        {"six-digit card number cut to five", CardRecord({"43", "19", "1234", "1", "123456"}),
         {"19 000043 1234 112345"}, {}},
        {"largest site code and card number", CardRecord({"44", "20", "123456789", "255", "65535"}),
         {"20 000044 123456 25565535"}, {}},
        {"card number over 65535", CardRecord({"42", "17", "7", "1", "70000"}), {},
         {"Invalid card number \"70000\" for employee 000042"}},
        {"card number that is no number", CardRecord({"42", "17", "7", "1", "12a"}), {},
         {"Invalid card number \"12a\" for employee 000042"}},
        {"site code over 255", CardRecord({"42", "17", "7", "300", "345"}), {},
         {"Invalid card site code \"300\" for employee 000042"}},
        {"card number checked before the site code", CardRecord({"42", "17", "7", "300", "70000"}), {},
         {"Invalid card number \"70000\" for employee 000042"}},
        {"AUId 0", CardRecord({"42", "0", "7", "12", "345"}), {}, {}},
        {"PIN empty", CardRecord({"42", "17", "", "12", "345"}), {}, {}},
        {"site code empty", CardRecord({"42", "17", "7", "", "345"}), {}, {}},
        {"card number empty", CardRecord({"42", "17", "7", "12", ""}), {}, {}},
        {"AUId missing", "<Employee ID=\"42\"><Name/><Dept/><x/><PIN1>7</PIN1></Employee>", {}, {}},
        {"PIN missing", "<Employee ID=\"42\"><AUId>17</AUId><Name/><Dept/><x/><a/><b/><c/><SiteCode>12</SiteCode>"
                        "<CardNr>345</CardNr></Employee>",
         {}, {}},
        {"empty-element record", "<Employee ID=\"42\"/>", {}, {}},
    };
    std::string all;
    std::vector<std::string> allKept;
    Lines allDebug;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TReadResult result = ReadDocument(CardFile(c.record));
        EXPECT_EQ(result.Records, c.kept);
        EXPECT_EQ(result.Debug, c.debug);
        EXPECT_EQ(result.Processed, 1) << "every record element is counted";
        all += c.record;
        allKept.insert(allKept.end(), c.kept.begin(), c.kept.end());
        allDebug.insert(allDebug.end(), c.debug.begin(), c.debug.end());
    }
    // All in one file: kept in file order, every record counted.
    const TReadResult whole = ReadDocument(CardFile(all));
    EXPECT_EQ(whole.Records, allKept);
    EXPECT_EQ(whole.Debug, allDebug);
    EXPECT_EQ(whole.Processed, static_cast<std::int32_t>(std::size(cases)));
}

TEST(CardHolderReader, CodesOfThePin) {
    struct Case {
        const char* pin;
        const char* paradox;
        const char* soyal;
    };
    const Case cases[] = {{"0007", "0007", "0007"}, {"65535", "", "9517"}, {"", "", "9517"}, {"123456", "123456", "123456"}};
    for (const Case& c : cases) {
        EXPECT_EQ(ParadoxCode(c.pin), c.paradox) << c.pin;
        EXPECT_EQ(SoyalCode(c.pin), c.soyal) << c.pin;
    }
}

namespace {

const char* const CardUsersSql =
    "select id, employee_number, sync_id, phone_number2, usr_hrm_sync, usr_bk_deleted, deleted, valid from users "
    "where class <> 'GROUP' order by id";
const char* const AccountsSql = "select user_id, code, card_number, status from paradox_accounts order by id";
const char* const CardsSql =
    "select userid, card_code, card_number, access_mode, sync_id from access_cards order by id";
// The controller groups the procedures put the credentials in, by owner.
const char* const AccountGroupsSql =
    "select pa.user_id, pa.card_number from paradox_account_groups g join paradox_accounts pa on pa.id = g.account_id "
    "order by 1, 2";
const char* const CardGroupsSql =
    "select ac.userid, ac.card_number from access_card_groups g join access_cards ac on ac.id = g.card_id "
    "order by 1, 2";

class CardPass : public Pass {
protected:
    void SetUp() override {
        Pass::SetUp();
        Setup.HrmImportEnabled = false;
        Setup.CardHolderImportEnabled = true;
        Setup.CardHolderFile = CardPath;
    }

    // One pass over the card-holder file (and the feed, when the HRM import is on).
    Lines RunCards(const std::vector<TCardHolder>& holders) {
        WriteFile(CardPath, CardFileOf(holders));
        return Normalised(RunPass());
    }
    // The run time of the import is the one varying figure.
    static Lines Normalised(Lines lines) {
        static const std::regex took("took: [0-9]+ms$");
        for (std::string& line : lines) line = std::regex_replace(line, took, "took: <n>ms");
        return lines;
    }
    // The journal lines of the card-holder import's end, in order.
    static Lines Counters(std::int32_t processed, std::int32_t updated, std::int32_t updatedSoyal, std::int32_t added,
                          std::int32_t addedSoyal, std::int32_t associated) {
        return {"console: BK import took: <n>ms",
                "console: Processed records: " + std::to_string(processed),
                "console: Updated records: " + std::to_string(updated),
                "console: Updated records (soyal): " + std::to_string(updatedSoyal),
                "console: Added records: " + std::to_string(added),
                "console: Added records (soyal): " + std::to_string(addedSoyal),
                "console: Associated existing cards (soyal): " + std::to_string(associated)};
    }
    // The last seven lines of a journal (the counter lines of a pass that ran to its end).
    static Lines Tail(const Lines& lines) {
        return Lines(lines.end() - static_cast<std::ptrdiff_t>(std::min<std::size_t>(7, lines.size())), lines.end());
    }
    // The journal of a pass with the HRM import off, made of these lines.
    static Lines OffThen(Lines lines) {
        lines.insert(lines.begin(), "console: HRM import disabled");
        return lines;
    }
    void User(int id, const std::string& number, int hrmSync, const std::string& syncId = "NULL",
              int bkDeleted = 0) {
        Database.Isql("INSERT INTO USERS (ID, FIRST_NAME, LAST_NAME, EMPLOYEE_NUMBER, USR_HRM_SYNC, SYNC_ID, "
                      "USR_BK_DELETED) VALUES (" + std::to_string(id) + ", 'First" + std::to_string(id) + "', 'Last', '" +
                      number + "', " + std::to_string(hrmSync) + ", " + syncId + ", " + std::to_string(bkDeleted) +
                      ");\nCOMMIT;\n");
    }
    void Account(int userId, const std::string& code, const std::string& card) {
        Database.Isql("INSERT INTO PARADOX_ACCOUNTS (USER_ID, CODE, CARD_NUMBER) VALUES (" + std::to_string(userId) +
                      ", '" + code + "', '" + card + "');\nCOMMIT;\n");
    }
    void Card(int userId, const std::string& code, const std::string& card, const std::string& syncId = "NULL") {
        Database.Isql("INSERT INTO ACCESS_CARDS (USERID, CARD_CODE, CARD_NUMBER, ACCESS_MODE, SYNC_ID) VALUES (" +
                      std::to_string(userId) + ", '" + code + "', '" + card + "', 4, " + syncId + ");\nCOMMIT;\n");
    }
    // Raised by the server when a card of this number is inserted.
    void RefuseCardInsert(const std::string& cardNumber) {
        Database.Isql("CREATE EXCEPTION TEST_NO_CARD 'card refused by the server';\nSET TERM ^ ;\n"
                      "CREATE TRIGGER TEST_FAIL_CARD FOR ACCESS_CARDS BEFORE INSERT AS BEGIN "
                      "IF (NEW.CARD_NUMBER = '" + cardNumber + "') THEN EXCEPTION TEST_NO_CARD; END^\n"
                      "SET TERM ; ^\nCOMMIT;\n");
    }
    // The pass raised: what it raised, with its journal.
    struct TFailedPass {
        TErrorInfo Error;
        Lines Journal;
    };
    TFailedPass RunFailing() {
        TFailedPass failed;
        dbutils::FreeQueries("Sync");
        Journal.Entries.clear();
        try {
            Module->SyncPass();
            ADD_FAILURE() << "the pass raised nothing";
        } catch (const std::exception& e) {
            failed.Error = DescribeException(e);
        }
        failed.Journal = Normalised(Journal.Finish());
        return failed;
    }
    static bool StartsWith(const Lines& lines, const std::string& prefix) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

    std::string CardPath = Dir.File("whgppu4xel.xml");
};

}  // namespace

// An employee that the HRM import creates in the same pass gets its credentials at once; the
// next pass with the same data touches neither; a new PIN updates both.
TEST_F(CardPass, NewHrmUserGetsAccountAndCardThenNothingMovesUntilThePinChanges) {
    Setup.HrmImportEnabled = true;
    Feed = FeedOf({{"000042", "Ann", "Lee"}, {"000050", "Bob", "Ray"}});
    const Lines first = RunCards({{"42", "17", "7", "12", "345"}});
    EXPECT_EQ(Tail(first), Counters(1, 0, 0, 1, 1, 0)) << ::testing::PrintToString(first);
    EXPECT_TRUE(Has(first, "console: Added records: 2")) << "the HRM import's own count";
    const Rows users = Query(CardUsersSql);
    ASSERT_EQ(users.size(), 2u);
    const std::string ann = users[0][0];
    EXPECT_EQ(users, (Rows{{ann, "000042", "17", "1200345", "1", "0", "0", "1"},
                           {users[1][0], "000050", "NULL", "NULL", "1", "0", "0", "1"}}));
    EXPECT_EQ(Query(AccountsSql), (Rows{{ann, "0007", "1200345", "1"}}));
    EXPECT_EQ(Query(CardsSql), (Rows{{ann, "0007", "1200345", "4", "17"}}));
    EXPECT_EQ(Query(AccountGroupsSql), (Rows{{ann, "1200345"}}));
    EXPECT_EQ(Query(CardGroupsSql), (Rows{{ann, "1200345"}}));

    const char* const versions =
        "select 'account', rdb$record_version from paradox_accounts union all "
        "select 'card', rdb$record_version from access_cards";
    const Rows before = Query(versions);
    const Lines second = RunCards({{"42", "17", "7", "12", "345"}});
    EXPECT_EQ(Tail(second), Counters(1, 0, 0, 0, 0, 0)) << ::testing::PrintToString(second);
    EXPECT_EQ(Query(versions), before) << "neither row was written";
    EXPECT_EQ(Query(CardUsersSql), users);
    EXPECT_EQ(Query(AccountGroupsSql).size(), 1u) << "no second group addition";
    EXPECT_EQ(Query(CardGroupsSql).size(), 1u);

    const Lines third = RunCards({{"42", "17", "65535", "12", "346"}});
    EXPECT_EQ(Tail(third), Counters(1, 1, 1, 0, 0, 0)) << ::testing::PrintToString(third);
    EXPECT_EQ(Query(AccountsSql), (Rows{{ann, "", "1200346", "1"}}));
    EXPECT_EQ(Query(CardsSql), (Rows{{ann, "9517", "1200346", "4", "17"}}));
    EXPECT_EQ(Query("select phone_number2 from users where id = " + ann), (Rows{{"1200346"}}));
    EXPECT_TRUE(Query("select * from test_audit_events").empty());
}

// Of two unlinked users with one employee number, the one whose account holds the card
// number is linked, whichever of the two match would come to first: each employee's pair
// is made in another order of users and accounts, and the other user's card number sorts
// before or after the card's.
// The schema steps make the sync's indexes on an empty table, whose statistics then say
// nothing, and the adoption's plan combines both indexes. Between the imports the pass
// recomputes them: they count the HRM import's entries although they are not committed
// (a dry run, rolled back, leaves an empty table with the statistics of its users), and
// the adoption's plan takes the employee number's index alone.
TEST_F(CardPass, StatisticsOfTheSyncIndexesKnowTheUsersOfTheHrmImport) {
    const auto selectivity = [this] {
        return Query("select cast(1 / rdb$statistics as integer) from rdb$indices "
                     "where rdb$index_name = 'USR_IDX_EMPLOYEE_NR' and rdb$statistics > 0");
    };
    // The adoption's plan, as the server makes it for a statement prepared now (in another
    // attachment, which sees the same statistics and the table's size).
    const auto adoptionPlan = [this] {
        return Database.Isql(
            "SET PLANONLY ON;\nupdate users u set u.phone_number2 = 1, u.sync_id = 2 where u.class <> 'GROUP' and "
            "u.employee_number = '000042' and u.sync_id is null and u.usr_hrm_sync = 1 and exists (select * from "
            "paradox_accounts pa where pa.user_id = u.id and pa.card_number = 3);\n");
    };
    ASSERT_TRUE(selectivity().empty()) << "a new installation's statistics";

    // The HRM import of a large register, in one statement: 20,000 HRM users, uncommitted.
    Module->HrmImport = [](TPassModule& module) {
        dbutils::PQuery fill = dbutils::PrepareQuery(
            "insert into users (first_name, last_name, employee_number, usr_hrm_sync, usr_companyid) "
            "with recursive d (x) as (select 0 from rdb$database union all select x + 1 from d where x < 9) "
            "select 'Ann', 'Lee', lpad(a.x + 10 * b.x + 100 * c.x + 1000 * e.x + 10000 * f.x, 6, '0'), 1, 1 "
            "from d a cross join d b cross join d c cross join d e cross join d f where f.x < 2",
            module.PassTransaction);
        fill->ExecuteWith();
        dbutils::FreeQuery(fill, false);
    };
    std::string planBefore, plan;
    Module->CardHolderImport = [&](TPassModule& module) {
        plan = adoptionPlan();
        module.RealCardHolderImport();
    };
    // Without the statistics step (the statistics of the empty table), the plan of the
    // same moment combines both indexes.
    Setup.CardHolderImportEnabled = false;
    Module->DryRun = true;
    RunCards({{"42", "17", "7", "12", "345"}});
    planBefore = plan;
    EXPECT_NE(planBefore.find("PLAN (U INDEX (USR_IDX_EMPLOYEE_NR, USR_IDX_HRM_SYNC))"), std::string::npos) << planBefore;
    EXPECT_TRUE(selectivity().empty());

    Setup.CardHolderImportEnabled = true;
    RunCards({{"42", "17", "7", "12", "345"}});
    EXPECT_TRUE(Query("select id from users where class <> 'GROUP'").empty()) << "the dry run was rolled back";
    EXPECT_EQ(selectivity(), (Rows{{"20000"}})) << "the pass's own employee numbers, uncommitted";
    EXPECT_NE(plan.find("PLAN (U INDEX (USR_IDX_EMPLOYEE_NR))"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("USR_IDX_HRM_SYNC"), std::string::npos) << plan;
}

TEST_F(CardPass, AdoptionLinksTheUserWhoseAccountHoldsTheCard) {
    struct Case {
        int holder, other;
        bool holderAccountFirst;
        const char* otherCard;  // the other user's account's card number
    };
    const Case cases[] = {{100, 101, false, "555"},     {103, 102, false, "555"},     {104, 105, true, "555"},
                          {107, 106, true, "555"},      {108, 109, false, "1000000"}, {111, 110, false, "1000000"},
                          {112, 113, true, "1000000"},  {115, 114, true, "1000000"}};
    std::vector<TCardHolder> file;
    Rows linked, cards, cardGroups, updatedAccounts;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const std::string number = "00004" + std::to_string(i), h = std::to_string(c.holder),
                          card = "120034" + std::to_string(i);
        User(std::min(c.holder, c.other), number, 1);
        User(std::max(c.holder, c.other), number, 1);
        if (c.holderAccountFirst) Account(c.holder, "1111", card);
        Account(c.other, "5555", c.otherCard);
        if (!c.holderAccountFirst) Account(c.holder, "1111", card);
        file.push_back({std::to_string(40 + i), std::to_string(17 + i), "7", "12", "34" + std::to_string(i)});
        linked.push_back({h, std::to_string(17 + i), card});
        cards.push_back({h, "0007", card, "4", std::to_string(17 + i)});
        cardGroups.push_back({h, card});
        updatedAccounts.push_back({h, "0007", card});
    }
    std::sort(cards.begin(), cards.end());
    std::sort(cardGroups.begin(), cardGroups.end());
    std::sort(updatedAccounts.begin(), updatedAccounts.end());
    const Lines first = RunCards(file);
    // The account is there, the card is missing: the card is added, the account waits.
    EXPECT_EQ(first, OffThen(Counters(8, 0, 0, 0, 8, 0)));
    EXPECT_EQ(Query("select id, sync_id, phone_number2 from users where sync_id is not null order by sync_id"), linked);
    EXPECT_EQ(Query("select count(*) from users where sync_id is null and phone_number2 is null"), (Rows{{"8"}}));
    EXPECT_EQ(Query("select count(*) from paradox_accounts where code = '1111'"), (Rows{{"8"}}));
    EXPECT_EQ(Query("select userid, card_code, card_number, access_mode, sync_id from access_cards order by 1"), cards);
    EXPECT_EQ(Query(CardGroupsSql), cardGroups);
    EXPECT_TRUE(Query(AccountGroupsSql).empty());

    const Lines second = RunCards(file);
    EXPECT_EQ(second, OffThen(Counters(8, 8, 0, 0, 0, 0)));
    EXPECT_EQ(Query("select user_id, code, card_number from paradox_accounts where code <> '5555' order by 1"),
              updatedAccounts);
}

// A card of the user's card number that carries no card-holder id is taken over.
TEST_F(CardPass, CardOfTheNumberIsAssociated) {
    struct Case {
        const char* what;
        bool account;
        Lines counters;
        Rows accounts, cards;
    };
    const Case cases[] = {
        {"with an account: the card is updated at once", true, Counters(1, 0, 1, 0, 0, 1),
         {{"100", "0007", "1200345", "1"}}, {{"100", "0007", "1200345", "4", "17"}}},
        {"without an account: one is added, the card's code waits", false, Counters(1, 0, 0, 1, 0, 1),
         {{"100", "0007", "1200345", "1"}}, {{"100", "1111", "1200345", "4", "17"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Database.Isql("DELETE FROM USERS;\nCOMMIT;\n");
        User(100, "000042", 1, "17");
        if (c.account) Account(100, "0007", "1200345");
        Card(100, "1111", "1200345");
        EXPECT_EQ(RunCards({{"42", "17", "7", "12", "345"}}), OffThen(c.counters));
        EXPECT_EQ(Query(AccountsSql), c.accounts);
        EXPECT_EQ(Query(CardsSql), c.cards);
        EXPECT_TRUE(Query(CardGroupsSql).empty()) << "an associated card is no new card";
        EXPECT_EQ(Query(AccountGroupsSql), c.account ? Rows{} : (Rows{{"100", "1200345"}}));
        EXPECT_EQ(Query("select sync_id, phone_number2 from users"), (Rows{{"17", "1200345"}}));
    }
}

// The employee met under a second card-holder id: a copy of the user with its groups, whose
// credentials follow in the next pass.
TEST_F(CardPass, SecondCardHolderIdCopiesTheUser) {
    User(100, "000042", 1, "17");
    Account(100, "0007", "1200345");
    Card(100, "0007", "1200345", "17");
    Database.Isql("ALTER SEQUENCE GEN_USERS_ID RESTART WITH 1000;\n"  // the copy's id comes after the others
                  "INSERT INTO USERS (ID, FIRST_NAME, CLASS) VALUES (500, 'Acme', 'GROUP');\n"
                  "INSERT INTO USERS (ID, FIRST_NAME, CLASS) VALUES (501, 'North', 'GROUP');\n"
                  "INSERT INTO USER_GROUPS (USER_ID, GROUP_ID) VALUES (100, 500);\n"
                  "INSERT INTO USER_GROUPS (USER_ID, GROUP_ID) VALUES (100, 501);\nCOMMIT;\n");
    const std::vector<TCardHolder> file = {{"42", "17", "7", "12", "345"}, {"42", "18", "8", "12", "346"}};
    EXPECT_EQ(RunCards(file), OffThen(Counters(2, 0, 0, 0, 0, 0)));
    const Rows users = Query(
        "select id, first_name, last_name, employee_number, usr_hrm_sync, sync_id, phone_number2, usr_bk_deleted "
        "from users where class <> 'GROUP' order by id");
    ASSERT_EQ(users.size(), 2u);
    const std::string copy = users[1][0];
    EXPECT_EQ(users, (Rows{{"100", "First100", "Last", "000042", "1", "17", "NULL", "0"},
                           {copy, "First100", "Last", "000042", "1", "18", "1200346", "0"}}));
    EXPECT_EQ(Query("select user_id, group_id from user_groups order by 1, 2"),
              (Rows{{"100", "500"}, {"100", "501"}, {copy, "500"}, {copy, "501"}}));
    EXPECT_EQ(Query(AccountsSql).size(), 1u) << "the copy's credentials wait for the next pass";
    EXPECT_EQ(Query(CardsSql).size(), 1u);

    EXPECT_EQ(RunCards(file), OffThen(Counters(2, 0, 0, 1, 1, 0)));
    EXPECT_EQ(Query(AccountsSql), (Rows{{"100", "0007", "1200345", "1"}, {copy, "0008", "1200346", "1"}}));
    EXPECT_EQ(Query(CardsSql), (Rows{{"100", "0007", "1200345", "4", "17"}, {copy, "0008", "1200346", "4", "18"}}));
    EXPECT_EQ(Query(AccountGroupsSql), (Rows{{copy, "1200346"}}));
    EXPECT_EQ(Query(CardGroupsSql), (Rows{{copy, "1200346"}}));
    EXPECT_EQ(Query("select count(*) from users where class <> 'GROUP'"), (Rows{{"2"}})) << "copied once";
}

// Who is seen, who is flagged gone and loses the link, and who is left alone.
TEST_F(CardPass, UsersSeenAndGone) {
    User(100, "000042", 0, "17");     // not managed by the HRM import, listed
    User(101, "000043", 0);           // the same, unlinked
    User(102, "000044", 1, "20");     // linked, not listed
    User(103, "000045", 1, "NULL", 1);  // unlinked, flagged before
    User(104, "000046", 1);           // unlinked, not listed
    User(105, "000047", 1, "21", 1);  // flagged before, listed again
    Account(105, "0009", "1200347");
    Card(105, "0009", "1200347", "21");
    const Lines lines = RunCards(
        {{"42", "17", "7", "12", "345"}, {"43", "19", "7", "12", "346"}, {"47", "21", "9", "12", "347"}});
    EXPECT_EQ(lines, OffThen(Counters(3, 0, 0, 0, 0, 0)));
    EXPECT_EQ(Query("select id, sync_id, usr_bk_deleted, phone_number2 from users order by id"),
              (Rows{{"100", "17", "0", "NULL"},
                    {"101", "NULL", "0", "NULL"},
                    {"102", "NULL", "1", "NULL"},
                    {"103", "NULL", "1", "NULL"},
                    {"104", "NULL", "0", "NULL"},
                    {"105", "21", "0", "NULL"}}));
    EXPECT_EQ(Query(AccountsSql).size(), 1u) << "users the HRM import does not manage get no credentials";
    EXPECT_EQ(Query(CardsSql).size(), 1u);
}

// A file that is not well-formed or of another kind fails the pass before any statement
// runs, naming the file and the fault: every link stays. A well-formed file without records
// lists no card-holders, and the linked users lose their link.
TEST_F(CardPass, FileThatIsBrokenOrOfAnotherKindFailsAndAnEmptyListUnlinks) {
    struct Case {
        const char* what;
        std::string content;
        const char* error;  // part of the message; null: the pass commits
    };
    const std::string full = CardFileOf({{"42", "17", "7", "12", "345"}, {"43", "18", "8", "12", "346"}});
    std::string badByte = full;
    badByte.insert(badByte.find("<PIN1>8") + 6, "\xBE");
    const Case cases[] = {
        {"another root", "<?xml version=\"1.0\"?>\n<Staff>" + CardRecord({"42", "17", "7", "12", "345"}) + "</Staff>\n",
         "its root element is \"Staff\", not \"Employees\""},
        {"an error page", "<!DOCTYPE html>\n<html><head><title>500</title></head><body>Export failed<br></body></html>",
         "its root element is \"html\""},
        {"cut in the second record", full.substr(0, full.find("<PIN1>8")), "is not well-formed XML: "},
        {"an invalid UTF-8 byte in the second record", badByte, "is not well-formed XML: "},
        {"empty", "", "it has no root element \"Employees\""},
        {"no records", "<?xml version=\"1.0\"?>\n<Employees/>\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Database.Isql("DELETE FROM USERS;\nCOMMIT;\n");
        User(100, "000042", 1, "17");
        User(101, "000043", 0, "18");
        WriteFile(CardPath, c.content);
        if (c.error == nullptr) {
            EXPECT_EQ(Normalised(RunPass()), OffThen(Counters(0, 0, 0, 0, 0, 0)));
            EXPECT_EQ(Query("select id, sync_id, usr_bk_deleted from users order by id"),
                      (Rows{{"100", "NULL", "1"}, {"101", "NULL", "1"}}));
            continue;
        }
        const TFailedPass failed = RunFailing();
        EXPECT_EQ(failed.Error.ClassName, "EXmlFormatError") << failed.Error.Message;
        EXPECT_EQ(failed.Error.Message.rfind("\"" + CardPath + "\" is ", 0), 0u) << failed.Error.Message;
        EXPECT_NE(failed.Error.Message.find(c.error), std::string::npos) << failed.Error.Message;
        if (std::string(c.error).find("well-formed") != std::string::npos) {
            EXPECT_TRUE(std::regex_search(failed.Error.Message, std::regex(R"(\(line [0-9]+\)$)"))) << failed.Error.Message;
        }
        EXPECT_FALSE(StartsWith(failed.Journal, "console: Processed records")) << ::testing::PrintToString(failed.Journal);
        EXPECT_EQ(Query("select id, sync_id, usr_bk_deleted from users order by id"),
                  (Rows{{"100", "17", "0"}, {"101", "18", "0"}}));
    }
}

// The server refuses the card of the second record: that record's link and account go with
// it, its counts too, and the records around it are kept.
TEST_F(CardPass, ServerErrorOnAddCardRollsBackThatRecordAlone) {
    User(100, "000042", 1);
    User(101, "000043", 1);
    User(102, "000044", 1);
    RefuseCardInsert("1200346");
    const Lines lines =
        RunCards({{"42", "17", "7", "12", "345"}, {"43", "18", "8", "12", "346"}, {"44", "19", "9", "12", "347"}});
    ASSERT_EQ(lines.size(), 9u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[1].rfind("console: Brakon sync error for employee 000043, id 18: ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("Card refused by the server"), std::string::npos) << lines[1];
    EXPECT_EQ(Lines(lines.begin() + 2, lines.end()), Counters(3, 0, 0, 2, 2, 0));
    EXPECT_EQ(Query("select id, sync_id, phone_number2, usr_bk_deleted from users order by id"),
              (Rows{{"100", "17", "1200345", "0"}, {"101", "NULL", "NULL", "0"}, {"102", "19", "1200347", "0"}}));
    EXPECT_EQ(Query(AccountsSql), (Rows{{"100", "0007", "1200345", "1"}, {"102", "0009", "1200347", "1"}}));
    EXPECT_EQ(Query(CardsSql), (Rows{{"100", "0007", "1200345", "4", "17"}, {"102", "0009", "1200347", "4", "19"}}));
    EXPECT_EQ(Query(AccountGroupsSql), (Rows{{"100", "1200345"}, {"102", "1200347"}}));
    const Rows audit = Query("select event_code, param1, param2, target_user_id from test_audit_events");
    ASSERT_EQ(audit.size(), 1u);
    EXPECT_EQ(audit[0][0], "11");
    EXPECT_EQ(audit[0][1], "Sync trouble (BK)");
    EXPECT_EQ(audit[0][2].rfind("Employee 000043; Id 18: ", 0), 0u) << audit[0][2];
    EXPECT_NE(audit[0][2].find("Card refused by the server"), std::string::npos) << audit[0][2];
    EXPECT_EQ(audit[0][3], "NULL");
}

// A user the server refuses to link: the adoption pass reports it and goes on with the next
// record (the failed statement undid itself), and the main pass reports it again.
TEST_F(CardPass, ServerErrorInTheAdoptionPassEndsThatStatementAlone) {
    User(100, "000042", 1);
    User(101, "000043", 1);
    Account(100, "0007", "1200345");
    Account(101, "0008", "1200346");
    Database.Isql("CREATE EXCEPTION TEST_NO_LINK 'link refused by the server';\nSET TERM ^ ;\n"
                  "CREATE TRIGGER TEST_FAIL_LINK FOR USERS BEFORE UPDATE AS BEGIN "
                  "IF (NEW.SYNC_ID = 17) THEN EXCEPTION TEST_NO_LINK; END^\nSET TERM ; ^\nCOMMIT;\n");
    const Lines lines = RunCards({{"42", "17", "7", "12", "345"}, {"43", "18", "8", "12", "346"}});
    ASSERT_EQ(lines.size(), 10u) << ::testing::PrintToString(lines);
    for (const std::size_t i : {1, 2}) {
        EXPECT_EQ(lines[i].rfind("console: Brakon sync error for employee 000042, id 17: ", 0), 0u) << lines[i];
        EXPECT_NE(lines[i].find("Link refused by the server"), std::string::npos) << lines[i];
    }
    // The second user was adopted, so only its card was missing.
    EXPECT_EQ(Lines(lines.begin() + 3, lines.end()), Counters(2, 0, 0, 0, 1, 0));
    EXPECT_EQ(Query("select id, sync_id, phone_number2 from users order by id"),
              (Rows{{"100", "NULL", "NULL"}, {"101", "18", "1200346"}}));
    EXPECT_EQ(Query(CardsSql), (Rows{{"101", "0008", "1200346", "4", "18"}}));
    EXPECT_EQ(Query("select event_code, param1 from test_audit_events"),
              (Rows{{"11", "Sync trouble (BK)"}, {"11", "Sync trouble (BK)"}}));
}

// A controller procedure refuses: the pass ends, nothing of either import is kept, and the
// import stops before its closing statements.
TEST_F(CardPass, RefusedGroupAdditionEndsThePassWithNothingCommitted) {
    struct Case {
        const char* procedure;
        std::string refusal;  // the TEST_REFUSALS values after the procedure name
        std::string message;
    };
    const Case cases[] = {
        {"PR_PARADOX_USERGROUP_ADD", "NULL, 500, 5, 'HY000'",
         "Failed to add group \"Keypads\"; Object \"Partition 1\"; Error \"HY000\""},
        {"PR_ACCESS_USERGROUP_ADD", "NULL, 77, 5, '42000'", "Failed to add group \"\"; Object \"\"; Error \"42000\""},
    };
    Database.Isql("INSERT INTO USERS (ID, FIRST_NAME, CLASS) VALUES (500, 'Keypads', 'GROUP');\n"
                  "INSERT INTO SYS_OBJECTS (ID, OBJECT_NAME, OBJECT_TYPE) VALUES (5, 'Partition 1', 'PARTITION');\n"
                  "COMMIT;\n");
    User(102, "000044", 1, "20");  // linked, not listed: flag and unlink would touch it
    Setup.HrmImportEnabled = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.procedure);
        Database.Isql("DELETE FROM TEST_REFUSALS;\nDELETE FROM TEST_AUDIT_EVENTS;\n"
                      "INSERT INTO TEST_REFUSALS (PROCEDURE_NAME, USER_ID, GROUP_ID, OBJECT_ID, REFUSAL_STATE) "
                      "VALUES ('" + std::string(c.procedure) + "', " + c.refusal + ");\nCOMMIT;\n");
        Feed = FeedOf({{"000042", "Ann", "Lee"}});
        WriteFile(CardPath, CardFileOf({{"42", "17", "7", "12", "345"}}));
        const TFailedPass failed = RunFailing();
        EXPECT_EQ(failed.Error.ClassName, "EGroupAddError");
        EXPECT_EQ(failed.Error.Message, c.message);
        EXPECT_FALSE(StartsWith(failed.Journal, "console: BK import took")) << ::testing::PrintToString(failed.Journal);
        EXPECT_FALSE(StartsWith(failed.Journal, "console: Brakon sync error")) << "no per-record handling";
        // The summary's counters and changes agree: the record whose work was undone counts in
        // neither, the import's time and the records read do.
        const TRunSummary& summary = Module->Summary;
        EXPECT_EQ(summary.BkProcessed, 1);
        EXPECT_EQ(summary.BkAdded, 0);
        EXPECT_EQ(summary.Changes.Of(TChangeKind::AccountAdded).Count, 0);
        EXPECT_GE(summary.CardHolderImportMs, 0);
        // Before the shut-down rolls it back, the pass itself shows no flag and no unlink.
        EXPECT_EQ(QueryIn("select sync_id, usr_bk_deleted from users where id = 102", Module->PassTransaction),
                  (Rows{{"20", "0"}}));
        Module->DisconnectDatabase();
        EXPECT_EQ(Query("select employee_number, sync_id from users where class <> 'GROUP' order by 1"),
                  (Rows{{"000044", "20"}}))
            << "the HRM import's user went too";
        EXPECT_TRUE(Query(AccountsSql).empty());
        EXPECT_TRUE(Query(CardsSql).empty());
        EXPECT_EQ(Query("select event_code, param1, param2 from test_audit_events"),
                  (Rows{{"26", "HRM sync failed!", "EGroupAddError\r\n" + c.message}}));
        Module->ConnectDatabase();
    }
}

// The file cannot be opened, or not read in full: the pass ends at once, naming it, and
// keeps nothing of either import.
TEST_F(CardPass, UnreadableFileEndsThePassWithNothingCommitted) {
    // A lock of its own open file description conflicts as another process's would.
    platform::TFd holder;
    struct Case {
        const char* what;
        std::function<void()> make;  // puts it in the file's place
        const char* errorClass;
        const char* part;  // of the message besides the path
    };
    const Case cases[] = {
        {"missing", [] {}, "EFOpenError", "No such file or directory"},
        {"locked by a writer",
         [&] {
             WriteFile(CardPath, CardFileOf({{"42", "17", "7", "12", "345"}}));
             holder.Reset(::open(CardPath.c_str(), O_RDWR | O_CLOEXEC));
             ASSERT_EQ(::flock(holder.Get(), LOCK_EX | LOCK_NB), 0);
         },
         "EFOpenError", "locked"},
        {"a FIFO that no one writes", [&] { ASSERT_EQ(::mkfifo(CardPath.c_str(), 0600), 0); }, "EFOpenError",
         "a FIFO"},
        {"a directory", [&] { ASSERT_EQ(::mkdir(CardPath.c_str(), 0700), 0); }, "EFOpenError", "a directory"},
        {"a text over the parser's limit",
         [&] { WriteFile(CardPath, CardFileOf({{"42", "17", std::string(10'000'001, '7'), "12", "345"}})); },
         "EXmlReadError", "limit on text node size"},
    };
    User(102, "000044", 1, "20");
    Setup.HrmImportEnabled = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(CardPath.c_str());
        ::rmdir(CardPath.c_str());
        holder.Reset();
        Feed = FeedOf({{"000042", "Ann", "Lee"}});
        c.make();
        // An open that waits for a FIFO's writer is given one after 10 s, so that the
        // test fails rather than hangs.
        std::atomic<bool> done{false};
        std::thread rescue([&] {
            for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(50ms);
            if (!done) platform::TFd writer(::open(CardPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        });
        const auto start = std::chrono::steady_clock::now();
        const TFailedPass failed = RunFailing();
        done = true;
        rescue.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "nothing is waited for";
        EXPECT_EQ(failed.Error.ClassName, c.errorClass) << failed.Error.Message;
        EXPECT_NE(failed.Error.Message.find("\"" + CardPath + "\""), std::string::npos) << failed.Error.Message;
        EXPECT_NE(failed.Error.Message.find(c.part), std::string::npos) << failed.Error.Message;
        EXPECT_TRUE(Has(failed.Journal, "console: Added records: 1")) << "the HRM import ran first";
        EXPECT_FALSE(StartsWith(failed.Journal, "console: BK import took"));
        Module->DisconnectDatabase();
        EXPECT_EQ(Query("select employee_number, sync_id, usr_bk_deleted from users order by 1"),
                  (Rows{{"000044", "20", "0"}}));
        const Rows audit = Query("select event_code, param2 from test_audit_events");
        ASSERT_EQ(audit.size(), 1u);
        EXPECT_EQ(audit[0][0], "26");
        EXPECT_EQ(audit[0][1].rfind(std::string(c.errorClass) + "\r\n", 0), 0u) << audit[0][1];
        Database.Isql("DELETE FROM TEST_AUDIT_EVENTS;\nCOMMIT;\n");
        Module->ConnectDatabase();
    }
}

namespace {

// Both imports tell a server's error about one record from a connection that is gone: the
// first is that record's alone, the second ends the import. A trigger on the table that
// the import writes for one chosen record either raises or holds the statement until the
// test has cut the connection between the module and the server.
struct TImportCase {
    const char* import;
    const char* table;
    const char* condition;  // on NEW, true for the chosen record
    const char* errorLine;  // the per-record error line's start
};

class ErrorClassification : public CardPass {
protected:
    // whileHeld runs while the chosen record's statement is held, before the cut.
    void Run(const TImportCase& c, const std::function<void()>& prepare, const std::function<void()>& whileHeld = {}) {
        Database.Isql(
            "CREATE TABLE TEST_MODE (MODE VARCHAR(10));\nCREATE TABLE TEST_REACHED (N INTEGER);\n"
            "CREATE TABLE TEST_RELEASE (N INTEGER);\nCREATE EXCEPTION TEST_RECORD_ERROR 'record refused by the "
            "server';\nCOMMIT;\nINSERT INTO TEST_MODE VALUES ('raise');\nCOMMIT;\nSET TERM ^ ;\n"
            "CREATE TRIGGER TEST_CHOSEN FOR " + std::string(c.table) +
            " BEFORE INSERT AS DECLARE STARTED TIMESTAMP; BEGIN IF (" + c.condition +
            ") THEN BEGIN "
            "  IF ((SELECT FIRST 1 MODE FROM TEST_MODE) = 'raise') THEN EXCEPTION TEST_RECORD_ERROR; "
            "  IN AUTONOMOUS TRANSACTION DO INSERT INTO TEST_REACHED VALUES (1); "
            "  STARTED = CAST('NOW' AS TIMESTAMP); "
            "  WHILE (NOT EXISTS (SELECT * FROM TEST_RELEASE) AND "
            "         DATEDIFF(SECOND FROM STARTED TO CAST('NOW' AS TIMESTAMP)) < 30) DO BEGIN END "
            "END END^\nSET TERM ; ^\nCOMMIT;\n");
        prepare();

        // A server error: logged for the record, the import goes on and the pass commits.
        const Lines raised = RunPass();
        EXPECT_TRUE(StartsWith(raised, c.errorLine)) << ::testing::PrintToString(raised);
        EXPECT_EQ(Query("select count(*) from test_audit_events where event_code = 11"), (Rows{{"1"}}));
        const Rows committed = Query(CommittedSql);

        // Through a relay that the test cuts while the chosen record's statement runs.
        Database.Isql("UPDATE TEST_MODE SET MODE = 'hold';\nCOMMIT;\n");
        TTcpRelay relay("127.0.0.1", std::stoi(TFbServer::Get().Port));
        Module->DisconnectDatabase();
        Setup.DatabasePort = relay.Port();
        Module->ConnectDatabase();
        std::atomic<bool> cut{false};
        std::thread cutter([&] {
            const auto deadline = std::chrono::steady_clock::now() + 60s;
            while (std::chrono::steady_clock::now() < deadline) {
                // isql, not the check connection: the statement cache is the pass's alone.
                if (Database.Isql("SELECT 'REACHED' || 'YES' FROM RDB$DATABASE WHERE EXISTS "
                                  "(SELECT * FROM TEST_REACHED);\n")
                        .find("REACHEDYES") != std::string::npos) {
                    if (whileHeld) whileHeld();
                    relay.CutAll();
                    cut = true;
                    break;
                }
                std::this_thread::sleep_for(50ms);
            }
            Database.Isql("INSERT INTO TEST_RELEASE VALUES (1);\nCOMMIT;\n");
        });
        const auto start = std::chrono::steady_clock::now();
        const TFailedPass failed = RunFailing();
        cutter.join();
        EXPECT_TRUE(cut) << "the chosen record was never reached";
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
        EXPECT_EQ(failed.Error.ClassName, "EFirebirdError") << failed.Error.Message;
        EXPECT_FALSE(StartsWith(failed.Journal, c.errorLine)) << ::testing::PrintToString(failed.Journal);
        EXPECT_FALSE(StartsWith(failed.Journal, "console: Processed records")) << "the import ended at once";
        EXPECT_EQ(Query("select count(*) from test_audit_events where event_code = 11"), (Rows{{"1"}}))
            << "no audit event for the lost record";
        EXPECT_EQ(Query(CommittedSql), committed) << "nothing of the cut pass was kept";
    }
    static constexpr const char* CommittedSql =
        "select employee_number, sync_id, first_name from users where class <> 'GROUP' order by 1, 2";
};

}  // namespace

TEST_F(ErrorClassification, CardHolderImport) {
    Run({"card-holder", "ACCESS_CARDS", "NEW.CARD_NUMBER = '1200346'", "console: Brakon sync error for employee 000043"},
        [this] {
            User(100, "000042", 1);
            User(101, "000043", 1);
            User(102, "000044", 1);
            WriteFile(CardPath, CardFileOf({{"42", "17", "7", "12", "345"},
                                            {"43", "18", "8", "12", "346"},
                                            {"44", "19", "9", "12", "347"}}));
        },
        // While the import runs the file is open to readers and closed to writers.
        [this] {
            platform::TFd probe(::open(CardPath.c_str(), O_RDONLY | O_CLOEXEC));
            EXPECT_NE(::flock(probe.Get(), LOCK_EX | LOCK_NB), 0) << "a writer's lock is refused";
            EXPECT_EQ(errno, EWOULDBLOCK);
            EXPECT_EQ(::flock(probe.Get(), LOCK_SH | LOCK_NB), 0) << "a reader's lock is granted";
        });
    // The failed import closed the file all the same.
    platform::TFd probe(::open(CardPath.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(::flock(probe.Get(), LOCK_EX | LOCK_NB), 0);
}

TEST_F(ErrorClassification, HrmImport) {
    Setup.HrmImportEnabled = true;
    Setup.CardHolderImportEnabled = false;
    Run({"HRM", "USERS", "NEW.EMPLOYEE_NUMBER = 'E2'", "console: HRM sync error for employee E2: "}, [this] {
        Feed = FeedOf({{"E1", "Ann", "Lee"}, {"E2", "Bob", "Ray"}, {"E3", "Cid", "Orr"}});
    });
}
