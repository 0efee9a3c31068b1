// The record reader that the HRM feed and the card-holder file share: a streaming pass over
// an XML document that hands out one record element at a time, with its child nodes
// counted by position, and the reading rules of their fields.
//
// Records are the element children of the root from the first child with the record name
// on; later records' names are not compared. Whitespace-only text is no node; elements,
// other text, CDATA sections, comments and processing instructions count. Entities declared in the document's own DTD are expanded into its text; nothing
// is ever loaded from outside the document. A document that is not well-formed ends the
// records at its fault, silently; one that the reader cannot take in full (a limit of the
// XML parser, an entity whose text is outside the document) raises EXmlReadError.
#pragma once

#include "common/Exceptions.h"
#include "common/Variant.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyrix {

// A text that should hold a value of some type does not.
KEYRIX_DECLARE_EXCEPTION(EConvertError, Exception);
// A document, well-formed as far as it was read, that cannot be read in full: one of the
// XML parser's safety limits stopped it, or a field refers to an entity whose text is not
// in the document (an external one, which is never read). Taking the records before it as
// the whole document would lose the rest, so this ends the import.
KEYRIX_DECLARE_EXCEPTION(EXmlReadError, EStreamError);

// The names of the two documents.
inline constexpr const char* HrmRootName = "ArrayOfBrakonData";
inline constexpr const char* HrmRecordName = "BrakonData";
inline constexpr const char* CardHolderRootName = "Employees";
inline constexpr const char* CardHolderRecordName = "Employee";

// One child node of a record, as the positional field rule sees it.
struct TFeedNode {
    enum class TKind { nkElement, nkText, nkCData, nkComment, nkProcessingInstruction };

    TKind Kind = TKind::nkElement;
    // The name as written (prefix included) of an element or processing instruction; empty
    // for the other kinds.
    std::string Name;
    // UTF-8. An element: all its text and CDATA content, nested elements' included,
    // concatenated and untrimmed, with the document's own entities expanded.
    // Other kinds: their own content.
    std::string Text;
};

class TFeedReader {
public:
    static constexpr std::size_t WholeText = static_cast<std::size_t>(-1);

    // Reads a document held in memory; the bytes must stay in place while the reader lives.
    // Errors name the document by documentName (the URL it came from, say).
    static TFeedReader FromMemory(std::string_view document, std::string_view rootName,
                                  std::string_view recordName, std::string documentName = "XML document");
    static TFeedReader FromMemory(std::string&&, std::string_view, std::string_view, std::string = {}) = delete;
    // Reads from a descriptor that the caller opened and keeps (it is not closed here), from
    // its current offset to its end. A failing read raises EStreamError naming fileName.
    static TFeedReader FromDescriptor(int fd, std::string fileName, std::string_view rootName,
                                      std::string_view recordName);

    TFeedReader(TFeedReader&&) noexcept;
    TFeedReader& operator=(TFeedReader&&) noexcept;
    ~TFeedReader();

    // Moves to the next record. False after the last one, when the root is not the one
    // expected, and at the first fault of a document that is not well-formed; the records
    // completed before the fault have all been delivered by then. Raises EXmlReadError when
    // a parser limit or an entity that is not expanded stops the reading (the records
    // before it have been delivered), and EStreamError when a descriptor cannot be read.
    bool Next();

    // The current record closes itself (<Employee ID="1"/>): it has attributes but no nodes.
    // The HRM import does not count such a record; the card-holder import counts it.
    bool IsEmptyElement() const;
    const std::string& RecordName() const;
    // The record element's attribute, converted to 8-bit text; none when it is absent.
    std::optional<std::string> Attribute(std::string_view name) const;
    // The record's child nodes by position.
    const std::vector<TFeedNode>& Nodes() const;

    // The node at the position when it is an element of that name, otherwise null.
    const TFeedNode* Element(std::size_t position, std::string_view name) const;
    // That element's text converted to 8-bit text, then cut to maxLength characters; none
    // when the position holds no such element.
    std::optional<std::string> FieldText(std::size_t position, std::string_view name,
                                         std::size_t maxLength = WholeText) const;
    // The same with the empty text as the default.
    std::string Text(std::size_t position, std::string_view name, std::size_t maxLength = WholeText) const;

private:
    struct TState;
    explicit TFeedReader(std::unique_ptr<TState> state);
    std::unique_ptr<TState> F;
};

// The lenient whole number: leading blanks, an optional sign, then decimal digits or, after
// "$" or "0x", hexadecimal ones; the value of the digits that stand there (as many as fit
// in 32 bits), 0 when there are none. Never an error.
std::int32_t WholeNumber(std::string_view text);

// The strict whole number: the same form, but the whole text must be the number and the
// number must lie within [minimum, maximum]; none otherwise.
std::optional<std::int32_t> StrictWholeNumber(std::string_view text, std::int32_t minimum, std::int32_t maximum);

// The termination date of an XML date-time of exactly 19 characters (2019-05-31T00:00:00):
// year from characters 1-4, month 6-7, day 9-10, the rest not compared. Another length gives
// none; parts that are no numbers or no calendar date raise EConvertError.
std::optional<TDateTime> TerminationDate(std::string_view text);

// The fields of one HRM feed record, by their fixed positions; texts are 8-bit.
struct THrmEmployee {
    std::string EmployeeNumber;         // 0 "EmployeeID", 11 characters
    std::string FirstName;              // 1 "FirstName", 30
    std::string LastName;               // 2 "LastName", 30
    std::optional<std::string> Email;   // 3 "Email", 60; an empty text is none
    std::string Occupation;             // 5 "PositionTitle", 100
    std::int32_t CompanyNumber = 0;     // 7 "CompanyId", whole number
    std::string CompanyName;            // 8 "CompanyName", 30
    std::string SiteName;               // 9 "SiteName", 30
    std::int32_t SiteNumber = 0;        // 10 "SiteId", whole number
    std::optional<TDateTime> TerminationDate;  // 15 "TerminationDate"

    bool operator==(const THrmEmployee&) const = default;
};

// Reads the current record of an HRM feed; a malformed termination date raises EConvertError.
THrmEmployee ReadHrmEmployee(const TFeedReader& reader);

// The fields of one card-holder record; texts are 8-bit, cut, padded where the file says so.
struct TCardHolderEntry {
    std::string EmployeeNumber;         // attribute "ID", "0"-padded to at least 6 characters
    std::int32_t CardHolderId = 0;      // 0 "AUId", whole number
    std::string Pin;                    // 3 "PIN1", 6 characters; when not empty "0"-padded to 4
    std::string SiteCode;               // 8 "SiteCode", 3 characters
    std::string CardNumber;             // 9 "CardNr", 5 characters

    bool operator==(const TCardHolderEntry&) const = default;
};

// Reads the current record of a card-holder file (an empty-element record gives only its
// employee number).
TCardHolderEntry ReadCardHolderEntry(const TFeedReader& reader);

}  // namespace keyrix
