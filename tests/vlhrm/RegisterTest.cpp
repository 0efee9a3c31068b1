// Inputs that are not even malicious (a comment, a new field, an export that went wrong, a
// number too long, a control character, a setting out of range) must neither corrupt the
// user register nor reopen it: the real executable on the real database, as an
// administrator runs it.
#include "tests/vlhrm/ExecutableFixture.h"

#include <gtest/gtest.h>

#include <regex>

using namespace keyrix::test;

namespace {

class Register : public RunRecord {
protected:
    // The rows of the select, one text each: "SELECT 'R=' || <expression> FROM <rest>".
    static Lines Rows(const TTestDatabase& database, const std::string& expression, const std::string& rest) {
        std::istringstream out(database.Isql("SELECT 'R=' || " + expression + " FROM " + rest + ";\n"));
        Lines rows;
        std::string line;
        while (std::getline(out, line)) {
            const auto at = line.find("R=");
            if (at == std::string::npos) continue;
            line = line.substr(at + 2);
            while (!line.empty() && line.back() == ' ') line.pop_back();
            rows.push_back(line);
        }
        return rows;
    }
    // Every user with its names, groups, link and state; accounts and cards with their codes.
    static Lines Users(const TTestDatabase& database) {
        Lines rows = Rows(database,
                          "U.EMPLOYEE_NUMBER || '/' || U.FIRST_NAME || '/' || U.LAST_NAME || '/' || "
                          "COALESCE(U.EMAIL, '-') || '/' || COALESCE(U.USR_COMPANY, '-') || '/' || "
                          "COALESCE(U.DEPARTMENT_ID, '-') || '/' || COALESCE(U.SYNC_ID, '-') || '/' || U.DELETED || '/' || "
                          "U.VALID || '/' || (SELECT COUNT(*) FROM USER_GROUPS G WHERE G.USER_ID = U.ID)",
                          "USERS U WHERE U.CLASS <> 'GROUP' ORDER BY U.EMPLOYEE_NUMBER, U.SYNC_ID");
        const Lines groups = Rows(database, "FIRST_NAME", "USERS WHERE CLASS = 'GROUP' ORDER BY FIRST_NAME");
        rows.insert(rows.end(), groups.begin(), groups.end());
        return rows;
    }
    static Lines Credentials(const TTestDatabase& database) {
        Lines rows = Rows(database, "U.EMPLOYEE_NUMBER || ' account ' || PA.CODE || ' ' || PA.CARD_NUMBER",
                          "PARADOX_ACCOUNTS PA JOIN USERS U ON U.ID = PA.USER_ID ORDER BY 1");
        const Lines cards = Rows(database, "U.EMPLOYEE_NUMBER || ' card ' || AC.CARD_CODE || ' ' || AC.CARD_NUMBER",
                                 "ACCESS_CARDS AC JOIN USERS U ON U.ID = AC.USERID ORDER BY 1");
        rows.insert(rows.end(), cards.begin(), cards.end());
        return rows;
    }
    // A run as the service's debug mode makes it; the console's lines.
    Lines DebugRun() {
        const TCommandResult result = Run("/SVC /DEBUG");
        EXPECT_EQ(result.ExitCode, 0) << result.Output;
        return SplitCrLf(result.Output);
    }
    // A first run that creates the feed's employees and links those of the card-holder
    // file; answers the file's text.
    std::string FirstRun(const TTestDatabase& database, const std::vector<int>& employees,
                         const std::vector<int>& holders) {
        Feed = FeedOfNumbers(employees);
        const std::string cards = CardsOfNumbers(holders);
        WriteFile(Cards, cards);
        WriteHive(database, true, true);
        DebugRun();
        EXPECT_EQ(Jq(".outcome"), "\"done\"");
        return cards;
    }
    static bool Has(const Lines& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    static long Count(const Lines& lines, const std::string& prefix) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    static Lines Without(Lines lines, const std::string& prefix) {
        lines.erase(std::remove_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }),
                    lines.end());
        return lines;
    }
};

// A card-holder record with its fields where the export writes them.
std::string Holder(const std::string& id, const std::string& auid, const std::string& pin, const std::string& card) {
    return "<Employee ID=\"" + id + "\"><AUId>" + auid + "</AUId><Name/><Dept/><PIN1>" + pin +
           "</PIN1><a/><b/><c/><d/><SiteCode>1</SiteCode><CardNr>" + card + "</CardNr></Employee>";
}

std::string HolderFile(const std::string& records) {
    return "<?xml version=\"1.0\"?>\n<Employees>" + records + "</Employees>\n";
}

}  // namespace

// A leaver stays deleted when the card-holder file gives it a new PIN or a second card-holder
// id: it keeps its link, its account and card keep their codes, and no active copy is made.
TEST_F(Register, LeaverIsNotMadeActiveAgainByTheCardHolderFile) {
    TTestDatabase database;
    FirstRun(database, {101, 103}, {101, 103});
    const Lines credentials = Credentials(database);
    ASSERT_EQ(credentials, (Lines{"000101 account 1234 100101", "000103 account 1234 100103",
                                  "000101 card 1234 100101", "000103 card 1234 100103"}));

    Feed = FeedOfNumbers({101, 103}, {103});
    WriteFile(Cards, HolderFile(Holder("101", "101", "1234", "101") + Holder("103", "103", "4321", "103") +
                                Holder("103", "203", "5555", "203")));
    const Lines output = DebugRun();
    EXPECT_EQ(Jq("[.outcome, .hrm.deleted]"), "[\"done\",1]");
    EXPECT_EQ(Jq(".cardHolders"),
              "{\"processed\":3,\"updated\":0,\"updatedSoyal\":0,\"added\":0,\"addedSoyal\":0,\"associated\":0}")
        << "the leaver counts nowhere";
    EXPECT_EQ(Rows(database, "EMPLOYEE_NUMBER || '/' || COALESCE(SYNC_ID, '-') || '/' || DELETED",
                   "USERS WHERE CLASS <> 'GROUP' ORDER BY 1"),
              (Lines{"000101/101/0", "000103/103/1"}))
        << "deleted, its link kept, no copy for the second id";
    EXPECT_EQ(Credentials(database), credentials) << "the keypad keeps the old PIN";
    EXPECT_TRUE(Has(output, "Deleted user for employee 000103 left as it is, id 103")) << ::testing::PrintToString(output);
    EXPECT_TRUE(Has(output, "Deleted user for employee 000103 left as it is, id 203"));
}

// A comment or a new element in every record, or fields in another order, read exactly as
// before: nothing is updated, and every link stays.
TEST_F(Register, CommentsAndNewElementsChangeNothing) {
    TTestDatabase database;
    const std::string cards = FirstRun(database, {101, 102, 103}, {101, 102, 103});
    const Lines users = Users(database);
    ASSERT_EQ(users.size(), 3u + 2u) << "three users, their company and site groups";
    const std::string snapshot = Snapshot(database);

    struct Case {
        const char* what;
        std::string feed, cards;
    };
    const std::string plain = FeedOfNumbers({101, 102, 103});
    const auto after = [](std::string text, const std::string& mark, const std::string& insert) {
        for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark, at + mark.size() + insert.size()))
            text.insert(at + mark.size(), insert);
        return text;
    };
    const Case cases[] = {
        {"a comment after each employee number", after(plain, "</EmployeeID>", "<!-- x -->"),
         after(cards, "</AUId>", "<!-- x -->")},
        {"a new element after each employee number", after(plain, "</EmployeeID>", "<Badge>B-1</Badge>"),
         after(cards, "</AUId>", "<Badge>B-1</Badge>")},
        {"the first fields last", std::regex_replace(plain, std::regex("(<EmployeeID>[^<]*</EmployeeID>)(<FirstName>[^<]*</FirstName>)(.*?)(</BrakonData>)"), "$3$2$1$4"),
         std::regex_replace(cards, std::regex("(<AUId>[^<]*</AUId>)(.*?)(</Employee>)"), "$2$1$3")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NE(c.feed, plain);
        ASSERT_NE(c.cards, cards);
        Feed = c.feed;
        WriteFile(Cards, c.cards);
        const Lines output = DebugRun();
        EXPECT_EQ(Jq("[.outcome, .hrm.processed, .hrm.updated, .hrm.added, .cardHolders.processed]"), "[\"done\",3,0,0,3]");
        EXPECT_EQ(Users(database), users);
        EXPECT_EQ(Snapshot(database), snapshot) << "not one row written";
    }
}

// A card-holder file cut short, an error page in its place, or a file of another kind fails
// the pass before the import writes anything: the HRM import's work of the same pass is not
// committed either, every link stays, and the error names the file and the fault.
TEST_F(Register, BrokenCardHolderFileFailsThePassAndUnlinksNobody) {
    TTestDatabase database;
    const std::string cards = FirstRun(database, {101, 102, 103}, {101, 102, 103});
    const Lines users = Users(database);

    struct Case {
        const char* what;
        std::string file, error;
    };
    const Case cases[] = {
        {"cut in the second record", cards.substr(0, cards.find("<PIN1>", cards.find("ID=\"102\""))),
         "\"" + Cards + "\" is not well-formed XML: the root element does not end the document: it is cut short, or "
         "content follows it (line 2)"},
        {"an invalid UTF-8 byte in the second record",
         cards.substr(0, cards.find("</PIN1>", cards.find("ID=\"102\""))) + "\xBE" +
             cards.substr(cards.find("</PIN1>", cards.find("ID=\"102\""))),
         "\"" + Cards + "\" is not well-formed XML: "},
        {"an HTML error page", "<html><head><title>Export failed</title></head><body><p>Error 500<br></body></html>",
         "\"" + Cards + "\" is not the document expected: its root element is \"html\", not \"Employees\""},
        {"another root", "<?xml version=\"1.0\"?>\n<Staff>" + Holder("101", "101", "1234", "101") + "</Staff>\n",
         "\"" + Cards + "\" is not the document expected: its root element is \"Staff\", not \"Employees\""},
    };
    int failed = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Feed = FeedOfNumbers({101, 102, 103, 104});  // a new employee: the HRM import writes
        WriteFile(Cards, c.file);
        const Lines output = DebugRun();
        EXPECT_EQ(Jq("[.outcome, .committed, .errorClass, .hrm.added]"), "[\"failed-work\",false,\"EXmlFormatError\",1]");
        const std::string message = Jq(".errorMessage", "-r");
        EXPECT_NE(message.find(c.error), std::string::npos) << message;
        if (c.error.find("well-formed") != std::string::npos) {
            EXPECT_TRUE(std::regex_search(message, std::regex(R"(\(line [1-9][0-9]*\)$)"))) << message;
        }
        EXPECT_EQ(Users(database), users) << "nothing committed, every link kept";
        EXPECT_EQ(AuditEvents(database, "HRM sync failed!"), ++failed);
        EXPECT_EQ(Count(output, "ServiceRun exception: "), 1) << ::testing::PrintToString(output);
    }
}

// An answer of the wrong kind from the HRM server (a SOAP fault, a login page served with
// status 200) fails the pass, naming the URL and the root found; the leavers' statements
// do not run on it.
TEST_F(Register, HrmAnswerOfAnotherKindFailsThePass) {
    TTestDatabase database;
    FirstRun(database, {101, 102}, {101, 102});
    // A leaver the database knows of, which a pass that went on would mark deleted.
    database.Isql("UPDATE USERS SET USR_TERMINATION = '2020-01-31' WHERE EMPLOYEE_NUMBER = '000102';\nCOMMIT;\n");
    const Lines users = Users(database);

    const struct {
        const char* what;
        std::string feed, root;
    } cases[] = {
        {"a SOAP fault",
         "<?xml version=\"1.0\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
         "<soap:Fault><faultcode>soap:Server</faultcode><faultstring>Server was unable to process request."
         "</faultstring></soap:Fault></soap:Body></soap:Envelope>",
         "its root element is \"soap:Envelope\", not \"ArrayOfBrakonData\""},
        {"a login page", "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sign in</title></head>",
         "its root element is \"html\", not \"ArrayOfBrakonData\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Feed = c.feed;
        DebugRun();
        EXPECT_EQ(Jq("[.outcome, .errorClass, .hrm.processed]"), "[\"failed-work\",\"EXmlFormatError\",0]");
        const std::string message = Jq(".errorMessage", "-r");
        EXPECT_NE(message.find("\"" + Server.Url() + "\""), std::string::npos) << message;
        EXPECT_NE(message.find(c.root), std::string::npos) << message;
        EXPECT_EQ(Users(database), users) << "nobody marked deleted, nobody unlinked";
    }
}

// One card-holder id given to every employee is an error of the export: each of its records
// is refused with an error line and an audit event; no user is copied and nobody loses a link.
// One employee under two ids stays as it was: a second user for the second id.
TEST_F(Register, CardHolderIdOfSeveralEmployeesIsRefused) {
    TTestDatabase database;
    FirstRun(database, {101, 102, 103, 104}, {101, 102, 103});
    const Lines users = Users(database);
    const Lines credentials = Credentials(database);

    WriteFile(Cards, HolderFile(Holder("101", "10001", "1234", "101") + Holder("102", "10001", "1234", "102") +
                                Holder("103", "10001", "1234", "103") + Holder("104", "104", "1234", "104") +
                                Holder("104", "204", "1234", "204")));
    const Lines output = DebugRun();
    EXPECT_EQ(Jq("[.outcome, .cardHolders.processed, .cardHolders.added]"), "[\"done\",5,1]");
    for (const char* number : {"000101", "000102", "000103"})
        EXPECT_EQ(Count(output, std::string("Brakon sync error for employee ") + number +
                                    ", id 10001: the file gives card-holder id 10001 to 3 employees"),
                  1)
            << number << ::testing::PrintToString(output);
    EXPECT_EQ(Count(output, "Brakon sync error for employee "), 3);
    EXPECT_EQ(AuditEvents(database, "Sync trouble (BK)"), 3);
    EXPECT_EQ(Without(Users(database), "000104/"), Without(users, "000104/"))
        << "the refused employees' users, links and groups as they were";
    EXPECT_EQ(Without(Credentials(database), "000104 "), credentials) << "their accounts and cards too";
    EXPECT_EQ(Rows(database, "COALESCE(SYNC_ID, '-')", "USERS WHERE EMPLOYEE_NUMBER = '000104' ORDER BY 1"),
              (Lines{"104", "204"}))
        << "one employee under two ids: linked, and a copy for the second";
}

// An employee number longer than the register keeps is refused as its record's error in
// both imports, never cut: two such employees do not merge into one user.
TEST_F(Register, EmployeeNumberLongerThanTheRegisterKeepsIsRefused) {
    TTestDatabase database;
    Feed = "<?xml version=\"1.0\"?><ArrayOfBrakonData>";
    for (const char* number : {"123456789012", "123456789013", "12345678901"})
        Feed += std::string("<BrakonData><EmployeeID>") + number +
                "</EmployeeID><FirstName>Ann</FirstName><LastName>Lee</LastName><CompanyId>1</CompanyId><CompanyName>Acme</CompanyName><SiteName>North"
                "</SiteName><SiteId>10</SiteId></BrakonData>";
    Feed += "</ArrayOfBrakonData>";
    WriteFile(Cards, HolderFile(Holder("123456789012", "7", "1234", "7") + Holder("12345678901", "8", "1234", "8")));
    WriteHive(database, true, true);
    const Lines output = DebugRun();
    EXPECT_EQ(Jq("[.outcome, .hrm.processed, .hrm.added, .cardHolders.processed, .cardHolders.added]"),
              "[\"done\",3,1,2,1]");
    EXPECT_EQ(Rows(database, "EMPLOYEE_NUMBER || '/' || COALESCE(SYNC_ID, '-')", "USERS WHERE CLASS <> 'GROUP'"),
              Lines{"12345678901/8"})
        << "only the employee whose number fits";
    for (const std::string line :
         {"HRM sync error for employee 123456789012: the employee number is longer than 11 characters",
          "HRM sync error for employee 123456789013: the employee number is longer than 11 characters",
          "Brakon sync error for employee 123456789012, id 7: the employee number is longer than 11 characters"})
        EXPECT_TRUE(Has(output, line)) << line << ::testing::PrintToString(output);
    EXPECT_EQ(AuditEvents(database, "Sync trouble (HRM)"), 2);
    EXPECT_EQ(AuditEvents(database, "Sync trouble (BK)"), 1);
}

// A value holding line breaks cannot forge a line of the sync log or of the console: its
// control characters are written visibly.
TEST_F(Register, ValuesCannotForgeLogLines) {
    TTestDatabase database;
    const std::string forged = "&#13;&#10;Sync finished at 01/01/26 00:00:00";
    Feed = "<?xml version=\"1.0\"?><ArrayOfBrakonData><BrakonData><EmployeeID>" + forged +
           "</EmployeeID><FirstName>Ann</FirstName><LastName>Lee</LastName></BrakonData></ArrayOfBrakonData>";
    WriteFile(Cards, HolderFile(Holder(forged, "7", "1234", "7") + Holder("101", "8", "1234", "9&#10;1")));
    WriteHive(database, true, true);
    const Lines output = DebugRun();
    ASSERT_EQ(Jq(".outcome"), "\"done\"");
    const Lines log = ReadCrLfLines(LogFile);
    EXPECT_EQ(Count(log, "Sync finished at "), 1) << "the run's own";
    for (const Lines& lines : {output, log}) {
        SCOPED_TRACE(::testing::PrintToString(lines));
        EXPECT_EQ(Count(lines, "Sync finished at 01/01/26"), 0) << "a forged line";
        EXPECT_TRUE(Has(lines, "HRM sync error for employee \\r\\nSync finished at 01/01/26 00:00:00: the employee "
                               "number is longer than 11 characters"));
        EXPECT_TRUE(Has(lines, "Brakon sync error for employee \\r\\nSync finished at 01/01/26 00:00:00, id 7: the "
                               "employee number is longer than 11 characters"));
        EXPECT_TRUE(Has(lines, "Invalid card number \"9\\n1\" for employee 000101"));
    }
    EXPECT_EQ(ReadFile(LogFile).find("\n1\""), std::string::npos);

    // A value inside an error's message: a termination date of 19 characters that is none.
    Feed = "<?xml version=\"1.0\"?><ArrayOfBrakonData><BrakonData><EmployeeID>101</EmployeeID><TerminationDate>" +
           std::string("&#13;&#10;Sync finished at ") + "</TerminationDate></BrakonData></ArrayOfBrakonData>";
    const Lines failed = DebugRun();
    ASSERT_EQ(Jq("[.outcome, .errorClass]"), "[\"failed-work\",\"EConvertError\"]");
    EXPECT_TRUE(Has(failed, "ServiceRun exception: \"\\r\\nSync finished at \" is not a valid date"))
        << ::testing::PrintToString(failed);
    EXPECT_EQ(Count(ReadCrLfLines(LogFile), "Sync finished at "), 2) << "the two runs' own";
}

