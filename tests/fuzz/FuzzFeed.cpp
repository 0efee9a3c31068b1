// The HRM feed reader on arbitrary documents: each record read as the import reads it. A
// parser limit or an unread entity (EXmlReadError), a root of another name or none
// (EXmlFormatError) and a malformed termination date (EConvertError) are outcomes the import
// handles; any other exception, a crash, a sanitizer report or a broken field rule is a
// finding. The document cut short (at a place
// chosen by its hash), as a download that broke off would be, gives a prefix of the whole
// document's records: a record is handed out only once it is complete.
#include "Services/SyncClients/VLHRM/HrmFeedRecords.h"
#include "platform/CodePage.h"
#include "tests/fuzz/FuzzSupport.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace keyrix;
using keyrix::fuzz::Check;

namespace {

const char* const DocumentName = "https://hrm.example/feed";

bool ValidDate(const TDateTime& date) {
    static constexpr int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return date.Year >= 1 && date.Year <= 9999 && date.Month >= 1 && date.Month <= 12 && date.Day >= 1 &&
           date.Day <= days[date.Month - 1] &&
           (date.Month != 2 || date.Day < 29 ||
            ((date.Year % 4 == 0 && date.Year % 100 != 0) || date.Year % 400 == 0));
}

void CheckEmployee(const TFeedReader& reader, const THrmEmployee& e) {
    Check(e.FirstName.size() <= 30 && e.LastName.size() <= 30, "a name is longer than 30 characters");
    Check(!e.Email || (!e.Email->empty() && e.Email->size() <= 60), "the e-mail is empty or longer than 60");
    Check(e.Occupation.size() <= 100, "the position title is longer than 100 characters");
    Check(e.CompanyName.size() <= 30 && e.SiteName.size() <= 30, "a company or site name is longer than 30");
    Check(!e.TerminationDate || ValidDate(*e.TerminationDate), "the termination date is no calendar date");
    // A field is read only from an element of its name, the first one.
    const TFeedNode* number = reader.Element("EmployeeID");
    Check(e.EmployeeNumber.empty() || number, "an employee number without its element");
    Check(!number || platform::Utf8ToAnsi(number->Text) == e.EmployeeNumber,
          "the employee number is not the text of the first EmployeeID");
    Check(e.CompanyNumber == 0 || reader.Element("CompanyId"), "a company number without its element");
    Check(e.SiteNumber == 0 || reader.Element("SiteId"), "a site number without its element");
    for (const TFeedNode& element : reader.Elements()) Check(!element.Name.empty(), "an element without a name");
}

// One record as the reader handed it out.
struct TRecord {
    std::string Name;
    bool Empty = false;
    std::vector<TFeedNode> Elements;
    std::optional<THrmEmployee> Employee;  // none for a record that closes itself
    bool BadDate = false;                  // ReadHrmEmployee raised EConvertError

    bool operator==(const TRecord& other) const {
        if (Name != other.Name || Empty != other.Empty || Employee != other.Employee || BadDate != other.BadDate ||
            Elements.size() != other.Elements.size())
            return false;
        for (std::size_t i = 0; i < Elements.size(); ++i)
            if (Elements[i].Name != other.Elements[i].Name || Elements[i].Text != other.Elements[i].Text) return false;
        return true;
    }
};

struct TReading {
    std::vector<TRecord> Records;
    bool ReadError = false;    // EXmlReadError ended the reading
    bool FormatError = false;  // EXmlFormatError: a root of another name, or none
};

// Reads the document as the import does, checking each record; ends at the first
// EConvertError, as the import does.
TReading ReadDocument(std::string_view document, std::size_t size) {
    TReading reading;
    TFeedReader reader = TFeedReader::FromMemory(document, HrmRootName, HrmRecordName, DocumentName);
    try {
        while (reader.Next()) {
            TRecord record{reader.RecordName(), reader.IsEmptyElement(), reader.Elements(), std::nullopt, false};
            Check(reading.Records.size() < size, "more records than bytes");
            Check(!record.Name.empty(), "a record without a name");
            if (record.Empty) {
                Check(record.Elements.empty(), "a record that closes itself has elements");
                reading.Records.push_back(std::move(record));
                continue;
            }
            try {
                record.Employee = ReadHrmEmployee(reader);
                CheckEmployee(reader, *record.Employee);
            } catch (const EConvertError&) {
                // The import stops here; only a termination date may raise it.
                Check(reader.Element("TerminationDate") != nullptr, "EConvertError without a termination date");
                record.BadDate = true;
                reading.Records.push_back(std::move(record));
                return reading;
            }
            reading.Records.push_back(std::move(record));
        }
        // The end stays the end.
        Check(!reader.Next(), "a record after the end");
    } catch (const EXmlReadError& error) {
        Check(std::string_view(error.what()).find(DocumentName) != std::string_view::npos,
              "EXmlReadError does not name the document");
        Check(!reader.Next(), "records after EXmlReadError");
        reading.ReadError = true;
    } catch (const EXmlFormatError& error) {
        Check(std::string_view(error.what()).find(DocumentName) != std::string_view::npos,
              "EXmlFormatError does not name the document");
        Check(reading.Records.empty(), "records before EXmlFormatError: only the root raises it here");
        Check(!reader.Next(), "records after EXmlFormatError");
        reading.FormatError = true;
    }
    return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    try {
        const TReading whole = ReadDocument(document, size);
        if (size < 2) return 0;
        const std::size_t cut = 1 + fuzz::Hash(document) % (size - 1);
        const TReading part = ReadDocument(document.substr(0, cut), size);
        Check(part.Records.size() <= whole.Records.size(), "the document cut short gives more records");
        // Breaking off is no parser limit: the cut alone never raises EXmlReadError.
        Check(!part.ReadError || whole.ReadError, "the document cut short raises EXmlReadError, the whole does not");
        for (std::size_t i = 0; i < part.Records.size(); ++i)
            if (!(part.Records[i] == whole.Records[i]))
                fuzz::Finding("the document cut at byte " + std::to_string(cut) + " gives record " + std::to_string(i + 1) +
                              " otherwise than the whole document");
    } catch (...) {
        fuzz::UnexpectedException("feed");
    }
    return 0;
}
