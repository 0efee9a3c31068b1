// The HRM feed reader on arbitrary documents: each record read as the import reads it. A
// parser limit or an unread entity (EXmlReadError) and a malformed termination date
// (EConvertError) are outcomes the import handles; any other exception, a crash, a
// sanitizer report or a broken field rule is a finding.
#include "Services/SyncClients/VLHRM/FeedReader.h"
#include "tests/fuzz/FuzzSupport.h"

#include <string>
#include <string_view>

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
    Check(e.EmployeeNumber.size() <= 11, "the employee number is longer than 11 characters");
    Check(e.FirstName.size() <= 30 && e.LastName.size() <= 30, "a name is longer than 30 characters");
    Check(!e.Email || (!e.Email->empty() && e.Email->size() <= 60), "the e-mail is empty or longer than 60");
    Check(e.Occupation.size() <= 100, "the position title is longer than 100 characters");
    Check(e.CompanyName.size() <= 30 && e.SiteName.size() <= 30, "a company or site name is longer than 30");
    Check(!e.TerminationDate || ValidDate(*e.TerminationDate), "the termination date is no calendar date");
    // A field is read only from an element of its name at its position.
    Check(e.EmployeeNumber.empty() || reader.Element(0, "EmployeeID"), "an employee number without its element");
    Check(e.CompanyNumber == 0 || reader.Element(7, "CompanyId"), "a company number without its element");
    Check(e.SiteNumber == 0 || reader.Element(10, "SiteId"), "a site number without its element");
    for (const TFeedNode& node : reader.Nodes()) {
        const bool named = node.Kind == TFeedNode::TKind::nkElement ||
                           node.Kind == TFeedNode::TKind::nkProcessingInstruction;
        Check(named != node.Name.empty(), "a node's name does not match its kind");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    try {
        TFeedReader reader = TFeedReader::FromMemory(document, HrmRootName, HrmRecordName, DocumentName);
        std::size_t records = 0;
        try {
            while (reader.Next()) {
                ++records;
                Check(records <= size, "more records than bytes");
                Check(!reader.RecordName().empty(), "a record without a name");
                if (reader.IsEmptyElement()) {
                    Check(reader.Nodes().empty(), "a record that closes itself has nodes");
                    continue;
                }
                try {
                    CheckEmployee(reader, ReadHrmEmployee(reader));
                } catch (const EConvertError&) {
                    // The import stops here; only a termination date may raise it.
                    Check(reader.Element(15, "TerminationDate") != nullptr,
                          "EConvertError without a termination date");
                    return 0;
                }
            }
        } catch (const EXmlReadError& error) {
            Check(std::string_view(error.what()).find(DocumentName) != std::string_view::npos,
                  "EXmlReadError does not name the document");
            Check(!reader.Next(), "records after EXmlReadError");
            return 0;
        }
        // The end stays the end.
        Check(!reader.Next(), "a record after the end");
    } catch (const EXmlReadError&) {
        return 0;  // from the first read of the prolog
    } catch (...) {
        fuzz::UnexpectedException("feed");
    }
    return 0;
}
