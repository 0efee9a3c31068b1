#include "Services/SyncClients/VLHRM/FeedReader.h"

#include "Services/SyncClients/VLHRM/CardHolderEntries.h"
#include "Services/SyncClients/VLHRM/HrmFeedRecords.h"
#include "Services/SyncClients/VLHRM/RecordFields.h"

#include "common/Exceptions.h"
#include "platform/FileHandles.h"
#include "tests/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <vector>

using namespace keyrix;
using namespace keyrix::test;

namespace {

// Whatever the code under test writes to the standard error while it lives.
class TCapturedStderr {
public:
    TCapturedStderr() : FPath(FDir.File("stderr")) {
        std::fflush(stderr);
        FSaved = ::dup(2);
        int fd = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    TCapturedStderr(const TCapturedStderr&) = delete;
    TCapturedStderr& operator=(const TCapturedStderr&) = delete;
    ~TCapturedStderr() { Restore(); }
    std::string Text() {
        Restore();
        return ReadFile(FPath);
    }

private:
    void Restore() {
        if (FSaved < 0) return;
        std::fflush(stderr);
        ::dup2(FSaved, 2);
        ::close(FSaved);
        FSaved = -1;
    }
    TTempDir FDir;
    std::string FPath;
    int FSaved = -1;
};

std::string HrmDocument(const std::string& records, const std::string& declaration = "") {
    return declaration + "<ArrayOfBrakonData xmlns=\"http://tempuri.org/\">\n" + records + "</ArrayOfBrakonData>\n";
}

// The children of a complete HRM record, in the order the HRM system writes them.
std::vector<std::string> HrmChildren() {
    return {"<EmployeeID>E0001</EmployeeID>",
            "<FirstName>Anna</FirstName>",
            "<LastName>Berg</LastName>",
            "<Email>anna@example.com</Email>",
            "<Phone>+46 123</Phone>",
            "<PositionTitle>Engineer</PositionTitle>",
            "<Department>R&amp;D</Department>",
            "<CompanyId>12</CompanyId>",
            "<CompanyName>Keyrix AB</CompanyName>",
            "<SiteName>North</SiteName>",
            "<SiteId>5</SiteId>",
            "<Manager>Carl</Manager>",
            "<Badge/>",
            "<Room>12</Room>",
            "<Shift>day</Shift>",
            "<TerminationDate>2019-05-31T00:00:00</TerminationDate>"};
}

std::string HrmRecord(const std::vector<std::string>& children) {
    std::string record = "  <BrakonData>\n";
    for (const std::string& child : children) record += "    " + child + "\n";
    return record + "  </BrakonData>\n";
}

TDateTime Date(int year, int month, int day) {
    TDateTime date;
    date.Year = year;
    date.Month = month;
    date.Day = day;
    return date;
}

THrmEmployee FullEmployee() {
    THrmEmployee e;
    e.EmployeeNumber = "E0001";
    e.FirstName = "Anna";
    e.LastName = "Berg";
    e.Email = "anna@example.com";
    e.Occupation = "Engineer";
    e.CompanyNumber = 12;
    e.CompanyName = "Keyrix AB";
    e.SiteName = "North";
    e.SiteNumber = 5;
    e.TerminationDate = Date(2019, 5, 31);
    return e;
}

std::vector<THrmEmployee> ReadHrm(const std::string& document) {
    TFeedReader reader = TFeedReader::FromMemory(document, HrmRootName, HrmRecordName);
    std::vector<THrmEmployee> employees;
    while (reader.Next())
        if (!reader.IsEmptyElement()) employees.push_back(ReadHrmEmployee(reader));
    return employees;
}

// The names of the records a document yields ("name/" for an empty-element tag).
std::vector<std::string> RecordNames(const std::string& document, const char* root = HrmRootName,
                                     const char* record = HrmRecordName) {
    TFeedReader reader = TFeedReader::FromMemory(document, root, record);
    std::vector<std::string> names;
    while (reader.Next()) names.push_back(reader.RecordName() + (reader.IsEmptyElement() ? "/" : ""));
    return names;
}

// UTF-16 bytes with their byte-order mark.
std::string Utf16(std::u16string_view text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : text) {
        char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

// What reading an HRM document gave: the employee numbers of the records delivered, the
// error raised (empty class when none), and what libxml2 wrote to standard error.
struct TReadOutcome {
    std::vector<std::string> Numbers;
    TErrorInfo Raised;
    std::string Stderr;
};

TReadOutcome ReadEmployeeNumbers(const std::string& document, const std::string& name,
                                 const std::function<void(const TFeedReader&)>& eachRecord = nullptr) {
    TReadOutcome outcome;
    TCapturedStderr captured;
    try {
        TFeedReader reader = TFeedReader::FromMemory(document, HrmRootName, HrmRecordName, name);
        while (reader.Next()) {
            outcome.Numbers.push_back(reader.Text("EmployeeID"));
            if (eachRecord) eachRecord(reader);
        }
    } catch (const std::exception& e) {
        outcome.Raised = DescribeException(e);
    }
    outcome.Stderr = captured.Text();
    return outcome;
}

}  // namespace

TEST(FeedReader, HrmFieldTable) {
    std::vector<THrmEmployee> employees = ReadHrm(HrmDocument(HrmRecord(HrmChildren())));
    ASSERT_EQ(employees.size(), 1u);
    EXPECT_EQ(employees[0], FullEmployee());
}

// Each field is read from the first child element of its name, wherever it stands; names
// are compared exactly, and what is not an element of a field's name is not read.
TEST(FeedReader, FieldsAreReadByTheirNameWhereverTheyStand) {
    const std::vector<std::string> all = HrmChildren();
    std::vector<std::string> renamed = all;
    renamed[1] = "<Firstname>Anna</Firstname>";  // names are compared case-sensitively
    renamed[7] = "<CompanyNumber>12</CompanyNumber>";
    THrmEmployee renamedExpected = FullEmployee();
    renamedExpected.FirstName = "";
    renamedExpected.CompanyNumber = 0;

    std::vector<std::string> withoutEmail = all;
    withoutEmail.erase(withoutEmail.begin() + 3);
    THrmEmployee withoutEmailExpected = FullEmployee();
    withoutEmailExpected.Email = std::nullopt;

    THrmEmployee shortExpected;
    shortExpected.EmployeeNumber = "E0001";
    shortExpected.FirstName = "Anna";
    shortExpected.LastName = "Berg";

    std::vector<std::string> commented = all, inserted = all, reversed(all.rbegin(), all.rend()), twice = all;
    commented.insert(commented.begin() + 1, "<!-- x -->");
    inserted.insert(inserted.begin() + 1, "<Badge>B-17</Badge>");
    twice.push_back("<FirstName>Other</FirstName>");
    twice.insert(twice.begin(), "<?keyrix hint?>loose text<![CDATA[raw]]>");

    struct Case {
        const char* what;
        std::vector<std::string> children;
        THrmEmployee expected;
    };
    const Case cases[] = {
        {"a field of another name keeps its default", renamed, renamedExpected},
        {"one left out moves no other", withoutEmail, withoutEmailExpected},
        {"the first three only", std::vector<std::string>(all.begin(), all.begin() + 3), shortExpected},
        {"a comment after the employee number", commented, FullEmployee()},
        {"a new element after the employee number", inserted, FullEmployee()},
        {"every field in reverse order", reversed, FullEmployee()},
        {"the first of two, after text, CDATA and a processing instruction", twice, FullEmployee()},
    };
    std::string records;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<THrmEmployee> employees = ReadHrm(HrmDocument(HrmRecord(c.children)));
        ASSERT_EQ(employees.size(), 1u);
        EXPECT_EQ(employees[0], c.expected);
        records += HrmRecord(c.children);
    }
    EXPECT_EQ(ReadHrm(HrmDocument(records)).size(), std::size(cases));
}

TEST(FeedReader, OnlyChildElementsAreFields) {
    const std::string document = HrmDocument(
        "<BrakonData>\n\t <EmployeeID><![CDATA[E<1>]]> 2 <!-- c --><b>3</b><?pi x?></EmployeeID>\r\n"
        "<!-- note --> loose text <![CDATA[raw]]><?keyrix hint?><Empty/>   </BrakonData>");
    TFeedReader reader = TFeedReader::FromMemory(document, HrmRootName, HrmRecordName);
    ASSERT_TRUE(reader.Next());
    const std::vector<TFeedNode>& elements = reader.Elements();
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements[0].Name, "EmployeeID");
    EXPECT_EQ(elements[0].Text, "E<1> 2 3") << "text and CDATA inside, nested elements' included";
    EXPECT_EQ(elements[1].Name, "Empty");
    EXPECT_EQ(reader.Element("EmployeeID"), &elements[0]);
    EXPECT_EQ(reader.Element("Empty"), &elements[1]);
    EXPECT_EQ(reader.Element("FirstName"), nullptr);
    EXPECT_EQ(reader.Element("b"), nullptr) << "a nested element is no field";
    EXPECT_EQ(reader.FieldText("Empty"), std::optional<std::string>(""));
    EXPECT_EQ(reader.FieldText("keyrix"), std::nullopt) << "a processing instruction is no element";
    EXPECT_FALSE(reader.Next());
}

TEST(FeedReader, TextIsUntrimmedConvertedAndThenCut) {
    std::string a40;  // forty "Ä" in UTF-8
    for (int i = 0; i < 40; ++i) a40 += "\xC3\x84";
    std::vector<std::string> children = HrmChildren();
    children[0] = "<EmployeeID>  123456789012345 </EmployeeID>";
    children[1] = "<FirstName>\n Zo\xC3\xAB\t</FirstName>";
    children[2] = "<LastName>" + a40 + "</LastName>";
    children[3] = "<Email></Email>";
    children[5] = "<PositionTitle>\xD0\x96uk \xE2\x82\xAC</PositionTitle>";  // the Cyrillic Zhe has no Windows-1252 form
    children[8] = "<CompanyName>K&lt;e&gt;y <![CDATA[r&ix]]></CompanyName>";
    children[9] = "<SiteName>" + std::string(35, 's') + "</SiteName>";

    std::vector<THrmEmployee> employees = ReadHrm(HrmDocument(HrmRecord(children)));
    ASSERT_EQ(employees.size(), 1u);
    const THrmEmployee& e = employees[0];
    EXPECT_EQ(e.EmployeeNumber, "  123456789012345 ") << "the key is never cut: the import refuses it";
    EXPECT_EQ(e.FirstName, "\n Zo\xEB\t");
    EXPECT_EQ(e.LastName, std::string(30, '\xC4')) << "lengths count 8-bit characters";
    EXPECT_EQ(e.Email, std::nullopt) << "an empty e-mail is none";
    EXPECT_EQ(e.Occupation, "?uk \x80");
    EXPECT_EQ(e.CompanyName, "K<e>y r&ix");
    EXPECT_EQ(e.SiteName, std::string(30, 's'));
}

TEST(FeedReader, EncodingFromTheDeclaration) {
    struct Case {
        const char* declaration;
        std::string name;  // in the declared encoding
    };
    const Case cases[] = {
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n", "M\xFCller Ren\xE9"},
        {"<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n", "M\xFCller Ren\xE9"},
        {"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n", "M\xC3\xBCller Ren\xC3\xA9"},
        {"", "M\xC3\xBCller Ren\xC3\xA9"},  // no declaration: UTF-8
    };
    for (const Case& c : cases) {
        std::vector<std::string> children = HrmChildren();
        children[2] = "<LastName>" + c.name + "</LastName>";
        std::vector<THrmEmployee> employees = ReadHrm(HrmDocument(HrmRecord(children), c.declaration));
        ASSERT_EQ(employees.size(), 1u) << c.declaration;
        EXPECT_EQ(employees[0].LastName, "M\xFCller Ren\xE9") << c.declaration;
    }
    // The euro sign, which Latin-1 lacks, is 0x80 in Windows-1252.
    std::vector<std::string> children = HrmChildren();
    children[5] = "<PositionTitle>\x80 5</PositionTitle>";
    EXPECT_EQ(ReadHrm(HrmDocument(HrmRecord(children), "<?xml version=\"1.0\" encoding=\"windows-1252\"?>"))
                  .at(0)
                  .Occupation,
              "\x80 5");
}

TEST(FeedReader, Utf16WithByteOrderMark) {
    const std::u16string body =
        u"<ArrayOfBrakonData>\r\n  <BrakonData>"
        u"<EmployeeID>E7</EmployeeID><FirstName>J\u00fcrgen</FirstName><LastName>\u20ac\u0416</LastName>"
        u"</BrakonData>\r\n</ArrayOfBrakonData>";
    for (std::u16string declaration : {u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n", u""}) {
        for (bool bigEndian : {false, true}) {
            std::vector<THrmEmployee> employees = ReadHrm(Utf16(declaration + body, bigEndian));
            ASSERT_EQ(employees.size(), 1u) << bigEndian << declaration.size();
            EXPECT_EQ(employees[0].EmployeeNumber, "E7");
            EXPECT_EQ(employees[0].FirstName, "J\xFCrgen");
            EXPECT_EQ(employees[0].LastName, "\x80?") << "the Cyrillic Zhe has no Windows-1252 form";
        }
    }
}

TEST(FeedReader, DocumentThatIsNotWellFormedEndsAtItsFaultSilently) {
    // Enough records that the fault lies well beyond the start of the document.
    std::string records;
    for (int i = 1; i <= 60; ++i) records += HrmRecord({"<EmployeeID>" + std::to_string(i) + "</EmployeeID>"});
    const std::string head = "<ArrayOfBrakonData>\n" + records;
    const std::string after = HrmRecord({"<EmployeeID>99</EmployeeID>"}) + "</ArrayOfBrakonData>";
    std::u16string head16(head.begin(), head.end());
    struct Case {
        const char* what;
        std::string document;
        std::size_t records;
    };
    const Case cases[] = {
        {"cut inside a record", head + "  <BrakonData><EmployeeID>61</Empl", 60},
        {"cut inside a field's text", head + "  <BrakonData><EmployeeID>61", 60},
        {"cut inside a character of a field's text", head + "  <BrakonData><EmployeeID>6\xC3", 60},
        {"cut after an invalid byte in a record's text", head + "  <BrakonData>\xBE ", 60},
        {"NUL in a record's text", head + "  <BrakonData>" + std::string(300, '\0') + "</BrakonData>" + after, 60},
        {"cut after a record", head, 60},
        {"bad entity in a record", head + "<BrakonData><EmployeeID>&bad</EmployeeID></BrakonData>" + after, 60},
        {"bad tag after an empty record", head + "<BrakonData/><BrakonData><a<b/></BrakonData>" + after, 61},
        {"mismatched end tag", head + "<BrakonData><EmployeeID>61</FirstName></BrakonData>" + after, 60},
        {"invalid UTF-8", head + "<BrakonData><EmployeeID>\xC3(</EmployeeID></BrakonData>" + after, 60},
        {"byte without a Windows-1252 character",
         "<?xml version=\"1.0\" encoding=\"windows-1252\"?>" + head +
             "<BrakonData><EmployeeID>\x81</EmployeeID></BrakonData>" + after,
         60},
        {"second root", head + "</ArrayOfBrakonData><ArrayOfBrakonData>" + after, 60},
        {"UTF-16LE cut", Utf16(head16 + u"<BrakonData><Empl", false), 60},
        {"UTF-16BE cut", Utf16(head16 + u"<BrakonData><Empl", true), 60},
        {"UTF-16LE bad tag", Utf16(head16 + u"<<x/>", false), 60},
        {"UTF-16LE bad entity", Utf16(head16 + u"&bad;<x/>", false), 60},
        {"UTF-16BE bad tag", Utf16(head16 + u"<<x/>", true), 60},
        {"UTF-16BE bad entity", Utf16(head16 + u"&bad;<x/>", true), 60},
    };
    for (const Case& c : cases) {
        TCapturedStderr captured;
        std::size_t count = 0;
        std::string last;
        EXPECT_NO_THROW({
            TFeedReader reader = TFeedReader::FromMemory(c.document, HrmRootName, HrmRecordName);
            while (reader.Next()) {
                ++count;
                last = reader.Text("EmployeeID");
            }
            EXPECT_FALSE(reader.Next()) << "the end stays the end";
        }) << c.what;
        EXPECT_EQ(count, c.records) << c.what;
        if (c.records == 60) {
            EXPECT_EQ(last, "60") << c.what;
        }
        EXPECT_EQ(captured.Text(), "") << c.what;

        // Told to fail at a fault, the reader delivers the same records, then names the fault.
        count = 0;
        TErrorInfo raised;
        try {
            TFeedReader reader =
                TFeedReader::FromMemory(c.document, HrmRootName, HrmRecordName, "/data/feed.xml", TFaultRule::frFail);
            while (reader.Next()) ++count;
        } catch (const std::exception& e) {
            raised = DescribeException(e);
        }
        EXPECT_EQ(count, c.records) << c.what;
        EXPECT_EQ(raised.ClassName, "EXmlFormatError") << c.what << ": " << raised.Message;
        EXPECT_EQ(raised.Message.rfind("\"/data/feed.xml\" is not well-formed XML: ", 0), 0u) << raised.Message;
        EXPECT_TRUE(std::regex_search(raised.Message, std::regex(R"(\(line [1-9][0-9]*\)$)"))) << raised.Message;
    }
}

// The same well-formed document, read whole, raises nothing when told to fail at a fault.
TEST(FeedReader, WellFormedDocumentReadsAlikeUnderBothFaultRules) {
    const std::string document = "<?xml version=\"1.0\"?>\n<!-- head -->" +
                                 HrmDocument(HrmRecord(HrmChildren()) + "<BrakonData/>") + "<!-- tail -->\n";
    for (TFaultRule rule : {TFaultRule::frEndAtFault, TFaultRule::frFail}) {
        TFeedReader reader = TFeedReader::FromMemory(document, HrmRootName, HrmRecordName, "feed", rule);
        ASSERT_TRUE(reader.Next());
        EXPECT_EQ(ReadHrmEmployee(reader), FullEmployee());
        ASSERT_TRUE(reader.Next());
        EXPECT_TRUE(reader.IsEmptyElement());
        EXPECT_FALSE(reader.Next());
    }
}

TEST(FeedReader, EmptyElementRecordsHaveAttributesButNoContent) {
    const std::string document =
        "<Employees><Employee ID=\"42\"/><Employee ID=\"7\"></Employee>"
        "<Employee ID=\"M\xC3\xBCller\" Other=\"x\"><AUId>5</AUId></Employee><Employee/></Employees>";
    TFeedReader reader = TFeedReader::FromMemory(document, CardHolderRootName, CardHolderRecordName);
    struct Expected {
        bool empty;
        std::optional<std::string> id;
        std::size_t nodes;
    };
    const Expected expected[] = {{true, "42", 0}, {false, "7", 0}, {false, "M\xFCller", 1}, {true, std::nullopt, 0}};
    for (const Expected& e : expected) {
        ASSERT_TRUE(reader.Next());
        EXPECT_EQ(reader.RecordName(), "Employee");
        EXPECT_EQ(reader.IsEmptyElement(), e.empty);
        EXPECT_EQ(reader.Attribute("ID"), e.id);
        EXPECT_EQ(reader.Attribute("id"), std::nullopt);
        EXPECT_EQ(reader.Elements().size(), e.nodes);
    }
    EXPECT_FALSE(reader.Next());
    // The HRM import does not count an empty-element tag as a record.
    EXPECT_EQ(ReadHrm(HrmDocument("<BrakonData/>" + HrmRecord(HrmChildren()) + "<BrakonData/>")).size(), 1u);
}

TEST(FeedReader, RecordsStartAtTheFirstRecordNameAndLaterNamesAreNotCompared) {
    const std::string document = HrmDocument(
        "stray text <!-- c --><Header><BrakonData>nested</BrakonData></Header><Other/>"
        "<BrakonData/><Other><x/></Other>text<BrakonData></BrakonData><brakondata/>");
    EXPECT_EQ(RecordNames(document),
              (std::vector<std::string>{"BrakonData/", "Other", "BrakonData", "brakondata/"}));
}

// An answer of another kind (a SOAP fault, a login page, an empty body) is no employee
// list: it raises, naming the document and the root found, whatever the fault rule.
TEST(FeedReader, RootOfAnotherNameOrNoneRaises) {
    struct Case {
        std::string document;
        const char* error;  // the end of the message; null: no records and no error
    };
    const Case cases[] = {
        {"<Employees><BrakonData><EmployeeID>1</EmployeeID></BrakonData></Employees>",
         "its root element is \"Employees\", not \"ArrayOfBrakonData\""},
        {"<arrayofbrakondata><BrakonData/></arrayofbrakondata>",
         "its root element is \"arrayofbrakondata\", not \"ArrayOfBrakonData\""},
        {"<?xml version=\"1.0\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
         "<soap:Fault><faultstring>Server was unable to process request.</faultstring></soap:Fault></soap:Body>"
         "</soap:Envelope>",
         "its root element is \"soap:Envelope\", not \"ArrayOfBrakonData\""},
        {"<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sign in</title></head><body>",
         "its root element is \"html\", not \"ArrayOfBrakonData\""},
        {"<?xml version=\"1.0\"?><!-- only a comment -->", "it has no root element \"ArrayOfBrakonData\""},
        {"<<<>>>", "it has no root element \"ArrayOfBrakonData\""},
        {"", "it has no root element \"ArrayOfBrakonData\""},
        {"<ArrayOfBrakonData/>", nullptr},
        {"<ArrayOfBrakonData><Header/></ArrayOfBrakonData>", nullptr},
    };
    for (const Case& c : cases) {
        for (TFaultRule rule : {TFaultRule::frEndAtFault, TFaultRule::frFail}) {
            SCOPED_TRACE(c.document + (rule == TFaultRule::frFail ? " (fail at a fault)" : ""));
            TCapturedStderr captured;
            TErrorInfo raised;
            std::size_t records = 0;
            try {
                TFeedReader reader =
                    TFeedReader::FromMemory(c.document, HrmRootName, HrmRecordName, "https://hrm.test/feed", rule);
                while (reader.Next()) ++records;
                EXPECT_FALSE(reader.Next());
            } catch (const std::exception& e) {
                raised = DescribeException(e);
            }
            EXPECT_EQ(records, 0u);
            EXPECT_EQ(captured.Text(), "");
            if (c.error == nullptr) {
                EXPECT_EQ(raised.ClassName, "") << raised.Message;
                continue;
            }
            EXPECT_EQ(raised.ClassName, "EXmlFormatError") << raised.Message;
            EXPECT_EQ(raised.Message.rfind("\"https://hrm.test/feed\" is not the document expected: ", 0), 0u)
                << raised.Message;
            EXPECT_NE(raised.Message.find(c.error), std::string::npos) << raised.Message;
        }
    }
    EXPECT_EQ(RecordNames("<?xml version=\"1.0\"?>\n<!-- c --><ArrayOfBrakonData><BrakonData/></ArrayOfBrakonData>"),
              std::vector<std::string>{"BrakonData/"});
}

TEST(FeedReader, ExternalEntitiesAreNeverRead) {
    TTempDir dir;
    const std::string secret = dir.File("secret.txt"), secretDtd = dir.File("secret.dtd");
    WriteFile(secret, "TOP-SECRET-42");
    WriteFile(secretDtd, "<!ENTITY leak \"TOP-SECRET-42\">");
    // Any opening of the folder's files from here on is recorded.
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.Path().c_str(), IN_OPEN | IN_ACCESS), 0);

    const std::string first = HrmRecord({"<EmployeeID>1</EmployeeID>"});
    const std::string second = HrmRecord({"<EmployeeID>2</EmployeeID>"});
    const std::string externalEntity = "<!ENTITY xxe SYSTEM \"file://" + secret + "\">";
    const std::string externalDeclarations = "<!ENTITY % ext SYSTEM \"" + secretDtd + "\"> %ext;";
    // A field that refers to an entity whose text lies outside the document ends the
    // reading with an error naming it; the records before it have been delivered. An
    // external entity or DTD that no field uses costs nothing.
    struct Case {
        const char* what;
        std::string document;
        std::vector<std::string> numbers;
        const char* error;  // part of the message; null: no error
    };
    const Case cases[] = {
        {"external entity in a field",
         "<!DOCTYPE ArrayOfBrakonData [" + externalEntity + "]>" +
             HrmDocument(first + HrmRecord({"<EmployeeID>2</EmployeeID>", "<FirstName>&xxe;</FirstName>"})),
         {"1"}, "an external entity (\"file://"},
        {"internal entity that refers to an external one",
         "<!DOCTYPE ArrayOfBrakonData [" + externalEntity + "<!ENTITY wrap \"x&xxe;y\">]>" +
             HrmDocument(first + HrmRecord({"<EmployeeID>2</EmployeeID>", "<FirstName>&wrap;</FirstName>"})),
         {"1"}, "an external entity (\"file://"},
        {"external entity in the employee number",
         "<!DOCTYPE ArrayOfBrakonData [" + externalEntity + "]>" + HrmDocument(first + HrmRecord({"<EmployeeID>a&xxe;b</EmployeeID>"})),
         {"1"}, "is never read"},
        {"entity of an external DTD subset",
         "<!DOCTYPE ArrayOfBrakonData SYSTEM \"" + secretDtd + "\">" + HrmDocument(first + HrmRecord({"<EmployeeID>a&leak;b</EmployeeID>"})),
         {"1"}, "the entity \"leak\" is not declared in the document itself"},
        {"entity of an external parameter entity",
         "<!DOCTYPE ArrayOfBrakonData [" + externalDeclarations + "]>" + HrmDocument(first + HrmRecord({"<EmployeeID>a&leak;b</EmployeeID>"})),
         {"1"}, "the entity \"leak\" is not declared in the document itself"},
        {"external parameter entity that no field uses",
         "<!DOCTYPE ArrayOfBrakonData [" + externalDeclarations + "]>" + HrmDocument(first + second), {"1", "2"}, nullptr},
        {"external entity that no field uses",
         "<!DOCTYPE ArrayOfBrakonData [" + externalEntity + "]>" + HrmDocument(first + second), {"1", "2"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto [numbers, raised, stderrText] = ReadEmployeeNumbers(c.document, "XML document", [](const TFeedReader& reader) {
            for (const TFeedNode& node : reader.Elements()) EXPECT_EQ(node.Text.find("SECRET"), std::string::npos);
        });
        EXPECT_EQ(numbers, c.numbers);
        if (c.error) {
            EXPECT_EQ(raised.ClassName, "EXmlReadError") << raised.Message;
            EXPECT_NE(raised.Message.find(c.error), std::string::npos) << raised.Message;
            EXPECT_EQ(raised.Message.rfind("Cannot read \"XML document\" in full: ", 0), 0u) << raised.Message;
        } else {
            EXPECT_EQ(raised.ClassName, "") << raised.Message;
        }
        EXPECT_EQ(raised.Message.find("SECRET"), std::string::npos);
        EXPECT_EQ(stderrText, "");
    }
    char events[4096];
    EXPECT_EQ(::read(watch, events, sizeof events), -1) << "a file of the folder was opened";
    EXPECT_EQ(errno, EAGAIN);
    ::close(watch);
}

TEST(FeedReader, EntitiesOfTheDocumentsOwnDtdAreExpanded) {
    const std::string dtd =
        "<!DOCTYPE ArrayOfBrakonData [\n"
        "  <!ENTITY n \"Anna\">\n"
        "  <!ENTITY full \"&n; Maria\">\n"
        "  <!ENTITY tagged \"<b>x</b>y\">\n"
        "  <!ENTITY number \"E0001\">\n"
        "]>\n";
    std::vector<std::string> children = HrmChildren();
    children[0] = "<EmployeeID>&number;</EmployeeID>";
    children[1] = "<FirstName>&n;</FirstName>";
    children[2] = "<LastName>&full;</LastName>";
    children[5] = "<PositionTitle>&tagged;</PositionTitle>";
    children[8] = "<CompanyName>K&amp;&n;</CompanyName>";
    std::vector<THrmEmployee> employees = ReadHrm(dtd + HrmDocument(HrmRecord(children)));
    ASSERT_EQ(employees.size(), 1u);
    THrmEmployee expected = FullEmployee();
    expected.LastName = "Anna Maria";
    expected.Occupation = "xy";
    expected.CompanyName = "K&Anna";
    EXPECT_EQ(employees[0], expected) << "the entities add no elements beside the fields";

    // Attribute values too.
    const std::string cardHolders =
        "<!DOCTYPE Employees [<!ENTITY id \"42\">]><Employees><Employee ID=\"&id;\"><AUId>7</AUId></Employee></Employees>";
    TFeedReader reader = TFeedReader::FromMemory(cardHolders, CardHolderRootName, CardHolderRecordName);
    ASSERT_TRUE(reader.Next());
    EXPECT_EQ(ReadCardHolderEntry(reader).EmployeeNumber, "000042");
    EXPECT_EQ(ReadCardHolderEntry(reader).CardHolderId, 7);
    EXPECT_FALSE(reader.Next());
}

TEST(FeedReader, ParserLimitsEndTheReadingWithAnErrorThatNamesThem) {
    const std::string huge(10'000'001, 'x');
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += "<d>";
    for (int i = 0; i < 300; ++i) deep += "</d>";
    // Each level multiplies by ten: fully expanded, the last entity would be 10^12 bytes.
    std::string laughs = "<!DOCTYPE ArrayOfBrakonData [\n<!ENTITY e0 \"laugh\">\n";
    for (int i = 1; i <= 12; ++i) {
        laughs += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) laughs += "&e" + std::to_string(i - 1) + ";";
        laughs += "\">\n";
    }
    laughs += "]>\n";

    const std::string first = HrmRecord({"<EmployeeID>1</EmployeeID>"});
    const std::string last = HrmRecord({"<EmployeeID>3</EmployeeID>"});
    struct Case {
        const char* what;
        std::string prolog, second;  // the DTD, the record after the first
        const char* limit;           // part of the message; null: within the limits
    };
    const Case cases[] = {
        {"text node over 10,000,000 characters", "", HrmRecord({"<EmployeeID>2</EmployeeID>", "<FirstName>" + huge + "</FirstName>"}), "text node size"},
        {"CDATA over 10,000,000 characters", "", HrmRecord({"<EmployeeID>2</EmployeeID>", "<FirstName><![CDATA[" + huge + "]]></FirstName>"}), "text node size"},
        {"nesting past the depth limit", "", HrmRecord({"<EmployeeID>2</EmployeeID>", "<FirstName>" + deep + "</FirstName>"}), "nesting depth"},
        {"entity amplification", laughs, HrmRecord({"<EmployeeID>&e12;</EmployeeID>"}), "entity expansion"},
        {"name over 50,000 characters", "", HrmRecord({"<EmployeeID>2</EmployeeID>", "<FirstName><" + std::string(60000, 'n') + "/></FirstName>"}), "name length"},
        {"attribute value over 10,000,000 characters", "", HrmRecord({"<EmployeeID>2</EmployeeID>", "<FirstName a=\"" + huge + "\"/>"}), "size of one piece of markup"},
        {"comment over 10,000,000 characters", "", HrmRecord({"<EmployeeID>2</EmployeeID>", "<FirstName><!--" + huge + "--></FirstName>"}), "size of one piece of markup"},
        {"processing instruction over 10,000,000 characters", "", HrmRecord({"<EmployeeID>2</EmployeeID>", "<FirstName><?pi " + huge + "?></FirstName>"}), "size of one piece of markup"},
        {"text of exactly 10,000,000 characters", "", HrmRecord({"<EmployeeID>2</EmployeeID>", "<FirstName>" + huge.substr(1) + "</FirstName>"}), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto [numbers, raised, stderrText] =
            ReadEmployeeNumbers(c.prolog + HrmDocument(first + c.second + last), "https://hrm.test/feed");
        if (c.limit) {
            EXPECT_EQ(numbers, std::vector<std::string>{"1"}) << "the records before the limit are delivered";
            EXPECT_EQ(raised.ClassName, "EXmlReadError") << raised.Message;
            EXPECT_EQ(raised.Message.rfind("Cannot read \"https://hrm.test/feed\" in full: libxml2 stopped at its limit on ", 0), 0u)
                << raised.Message;
            EXPECT_NE(raised.Message.find(c.limit), std::string::npos) << raised.Message;
        } else {
            EXPECT_EQ(numbers, (std::vector<std::string>{"1", "2", "3"}));
            EXPECT_EQ(raised.ClassName, "") << raised.Message;
        }
        EXPECT_EQ(stderrText, "");
    }

    // A file names itself.
    TTempDir dir;
    const std::string path = dir.File("cardholders.xml");
    WriteFile(path, "<Employees><Employee ID=\"1\"/><Employee ID=\"2\"><AUId>" + huge + "</AUId></Employee></Employees>");
    platform::TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_GE(fd.Get(), 0);
    TFeedReader reader = TFeedReader::FromDescriptor(fd.Get(), path, CardHolderRootName, CardHolderRecordName);
    ASSERT_TRUE(reader.Next());
    try {
        reader.Next();
        ADD_FAILURE() << "the limit was not reported";
    } catch (const std::exception& e) {
        EXPECT_EQ(DescribeException(e).ClassName, "EXmlReadError");
        EXPECT_NE(DescribeException(e).Message.find("Cannot read \"" + path + "\" in full"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(reader.Next()) << "the end stays the end";
}

TEST(FeedReader, ReadsFromTheCallersDescriptorAndLeavesItOpen) {
    TTempDir dir;
    const std::string path = dir.File("cardholders.xml");
    // Well past one read block, so the records straddle block boundaries.
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Employees>\n";
    for (int i = 1; i <= 3000; ++i)
        body += "  <Employee ID=\"" + std::to_string(i) + "\"><AUId>" + std::to_string(i) +
                "</AUId>\n    <A/><B/><PIN1>1</PIN1></Employee>\n";
    body += "  <Employee ID=\"bad\"><AUId>1</Employee>\n</Employees>\n";
    WriteFile(path, body);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int count = 0;
    {
        TFeedReader reader = TFeedReader::FromDescriptor(fd, path, CardHolderRootName, CardHolderRecordName);
        while (reader.Next()) {
            ++count;
            TCardHolderEntry entry = ReadCardHolderEntry(reader);
            ASSERT_EQ(entry.CardHolderId, count);
            ASSERT_EQ(entry.Pin, "0001");
        }
    }
    EXPECT_EQ(count, 3000);
    EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "the descriptor is still open";
    EXPECT_EQ(::close(fd), 0);
}

TEST(FeedReader, DescriptorThatCannotBeReadRaises) {
    TTempDir dir;
    int fd = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // read() gives EISDIR
    ASSERT_GE(fd, 0);
    TCapturedStderr captured;
    try {
        TFeedReader reader =
            TFeedReader::FromDescriptor(fd, "/data/cards.xml", CardHolderRootName, CardHolderRecordName);
        reader.Next();
        ADD_FAILURE() << "no error raised";
    } catch (const EStreamError& error) {
        EXPECT_NE(error.Message().find("\"/data/cards.xml\""), std::string::npos) << error.Message();
    }
    EXPECT_EQ(captured.Text(), "");
    ::close(fd);
}

TEST(FeedReader, CardHolderFields) {
    struct Case {
        std::string record;
        TCardHolderEntry expected;
    };
    const std::string fill = "<a/><b/>";
    const Case cases[] = {
        {"<Employee ID=\"42\"><AUId>17</AUId><x/><y/><PIN1>7</PIN1>" + fill + fill +
             "<SiteCode>12</SiteCode><CardNr>345</CardNr></Employee>",
         {"000042", 17, "0007", "12", "345"}},
        {"<Employee ID=\"9876543\"><AUId> $1F</AUId><x/><y/><PIN1>12345678</PIN1>" + fill + fill +
             "<SiteCode>1234</SiteCode><CardNr>123456</CardNr></Employee>",
         {"9876543", 31, "123456", "123", "12345"}},
        {"<Employee><AUId>0</AUId><x/><y/><PIN1></PIN1>" + fill + fill + "<SiteCode/><CardNr/></Employee>",
         {"000000", 0, "", "", ""}},
        {"<Employee ID=\"\"><PIN1>65535</PIN1></Employee>", {"000000", 0, "65535", "", ""}},
        {"<Employee ID=\"5\"/>", {"000005", 0, "", "", ""}},
        {"<Employee ID=\"42\"><CardNr>345</CardNr><!-- c --><SiteCode>12</SiteCode><Badge>x</Badge><PIN1>7</PIN1>"
         "<AUId>17</AUId></Employee>",
         {"000042", 17, "0007", "12", "345"}},
    };
    for (const Case& c : cases) {
        const std::string document = "<Employees>" + c.record + "</Employees>";
        TFeedReader reader = TFeedReader::FromMemory(document, CardHolderRootName, CardHolderRecordName);
        ASSERT_TRUE(reader.Next()) << c.record;
        EXPECT_EQ(ReadCardHolderEntry(reader), c.expected) << c.record;
    }
}

TEST(FeedWholeNumber, LenientReading) {
    struct Case {
        const char* text;
        std::int32_t value;
    };
    const Case cases[] = {
        {" 12", 12},        {"-7", -7},         {"+3", 3},           {"$1F", 31},       {"0x10", 16},
        {"0X1f", 31},       {"-$10", -16},      {"12abc", 12},       {"abc", 0},        {"", 0},
        {"  ", 0},          {"- 5", 0},         {"$", 0},            {"0x", 0},         {"0xg", 0},
        {"12 34", 12},      {"007", 7},         {"2147483647", 2147483647},            {"-2147483648", -2147483647 - 1},
        {"21474836470", 2147483647},            {"\t9", 9},          {"1.5", 1},
    };
    for (const Case& c : cases) EXPECT_EQ(WholeNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(FeedWholeNumber, StrictReadingInARange) {
    struct Case {
        const char* text;
        std::int32_t minimum, maximum;
        std::optional<std::int32_t> value;
    };
    const Case cases[] = {
        {"345", 0, 65535, 345},   {"65535", 0, 65535, 65535}, {"65536", 0, 65535, std::nullopt},
        {"70000", 0, 65535, std::nullopt},                    {"0", 0, 255, 0},
        {"300", 0, 255, std::nullopt},                        {"-1", 0, 255, std::nullopt},
        {" 12", 0, 255, 12},      {"$FF", 0, 255, 255},       {"0x10", 0, 255, 16},
        {"12 ", 0, 255, std::nullopt},                        {"12abc", 0, 255, std::nullopt},
        {"", 0, 255, std::nullopt},                           {"abc", 0, 255, std::nullopt},
        {"0x", 0, 255, std::nullopt},                         {"$", 0, 255, std::nullopt},
        {"99999999999", 0, 2147483647, std::nullopt},         {"+7", 0, 255, 7},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StrictWholeNumber(c.text, c.minimum, c.maximum), c.value)
            << '"' << c.text << "\" in " << c.minimum << ".." << c.maximum;
}

TEST(FeedTerminationDate, NineteenCharacterDates) {
    struct Case {
        const char* text;
        std::optional<TDateTime> date;
    };
    const Case cases[] = {
        {"2019-05-31T00:00:00", Date(2019, 5, 31)},
        {"2019/05/31 00:00:00", Date(2019, 5, 31)},
        {"2024-02-29T23:59:59", Date(2024, 2, 29)},
        {"2000-02-29xxxxxxxxx", Date(2000, 2, 29)},
        {"2019-05-31", std::nullopt},
        {"", std::nullopt},
        {"2019-05-31T00:00:00Z", std::nullopt},
        {"2019-05-31T00:00:00.000", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(TerminationDate(c.text), c.date) << c.text;
}

TEST(FeedTerminationDate, InvalidNineteenCharacterDatesRaise) {
    const char* cases[] = {
        "2019-13-01T00:00:00", "2019-02-30T00:00:00", "1900-02-29T00:00:00", "2019-00-10T00:00:00",
        "2019-05-00T00:00:00", "0000-01-01T00:00:00", "20l9-05-31T00:00:00", "2019-5-31T00:00:00 ",
        "abcdefghijklmnopqrs",
    };
    for (const char* text : cases) {
        try {
            TerminationDate(text);
            ADD_FAILURE() << text << " raised nothing";
        } catch (const EConvertError& error) {
            EXPECT_STREQ(error.ClassName(), "EConvertError");
            EXPECT_NE(error.Message().find(text), std::string::npos) << error.Message();
        }
    }
}

TEST(FeedTerminationDate, MalformedDateInTheFeedRaises) {
    std::vector<std::string> children = HrmChildren();
    children[15] = "<TerminationDate>2019-13-01T00:00:00</TerminationDate>";
    EXPECT_THROW(ReadHrm(HrmDocument(HrmRecord(children))), EConvertError);
    children[15] = "<TerminationDate>2019-05-31</TerminationDate>";
    EXPECT_EQ(ReadHrm(HrmDocument(HrmRecord(children))).at(0).TerminationDate, std::nullopt);
}
