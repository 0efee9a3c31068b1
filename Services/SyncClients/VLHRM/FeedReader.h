// The record reader that the HRM feed and the card-holder file share: a streaming pass over
// an XML document that hands out one record element at a time, with its child elements.
// What a record's fields mean is each document's own: HrmFeedRecords.h for the feed,
// CardHolderEntries.h for the card-holder file.
//
// Records are the element children of the root from the first child with the record name
// on; later records' names are not compared. A record's fields are its child elements, each
// read from the first child of its name wherever it stands; text, comments and processing
// instructions between them, and elements of other names, are not read. Entities declared
// in the document's own DTD are expanded into its text; nothing is ever loaded from outside
// the document. A root element of another name, or none, raises EXmlFormatError. A document
// that is not well-formed ends its records at the fault (silently) or raises EXmlFormatError,
// as its reader was told. One that the reader cannot take in full (a limit of the XML
// parser, an entity whose text is outside the document) raises EXmlReadError.
#pragma once

#include "common/Exceptions.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyrix {

// A document, well-formed as far as it was read, that cannot be read in full: one of the
// XML parser's safety limits stopped it, or a field refers to an entity whose text is not
// in the document (an external one, which is never read). Taking the records before it as
// the whole document would lose the rest, so this ends the import.
KEYRIX_DECLARE_EXCEPTION(EXmlReadError, EStreamError);

// A document that is not the kind expected: its root element has another name or is
// missing, or (for a reader told so) it is not well-formed XML. Its records are not the list
// they claim to be, so nothing may be concluded from them.
KEYRIX_DECLARE_EXCEPTION(EXmlFormatError, EStreamError);

// What a document that is not well-formed means to its reader.
enum class TFaultRule {
    // The records completed before the fault are the document's records: a feed whose
    // download broke off still lists the employees before the break, and the employees it
    // does not list are never touched.
    frEndAtFault,
    // The document fails whole: the card-holder file unlinks every user it does not list, so
    // a file cut short or broken must not count as the list.
    frFail,
};

// One child element of a record.
struct TFeedNode {
    // As written, prefix included.
    std::string Name;
    // UTF-8: all its text and CDATA content, nested elements' included, concatenated and
    // untrimmed, with the document's own entities expanded.
    std::string Text;
};

class TFeedReader {
public:
    static constexpr std::size_t WholeText = static_cast<std::size_t>(-1);

    // Reads a document held in memory; the bytes must stay in place while the reader lives.
    // Errors name the document by documentName (the URL it came from, say).
    static TFeedReader FromMemory(std::string_view document, std::string_view rootName,
                                  std::string_view recordName, std::string documentName = "XML document",
                                  TFaultRule faults = TFaultRule::frEndAtFault);
    static TFeedReader FromMemory(std::string&&, std::string_view, std::string_view, std::string = {},
                                  TFaultRule = TFaultRule::frEndAtFault) = delete;
    // Reads from a descriptor that the caller opened and keeps (it is not closed here), from
    // its current offset to its end. A failing read raises EStreamError naming fileName.
    static TFeedReader FromDescriptor(int fd, std::string fileName, std::string_view rootName,
                                      std::string_view recordName, TFaultRule faults = TFaultRule::frEndAtFault);

    TFeedReader(TFeedReader&&) noexcept;
    TFeedReader& operator=(TFeedReader&&) noexcept;
    ~TFeedReader();

    // Moves to the next record. False after the last one, when the root closes itself and,
    // under frEndAtFault, at the first fault of a document that is not well-formed; the
    // records completed before the fault have all been delivered by then. Raises
    // EXmlFormatError at a root of another name or none, and under frFail at a fault (with
    // its line), also one after the root's end tag; EXmlReadError when a parser limit or an
    // entity that is not expanded stops the reading (the records before it have been
    // delivered); EStreamError when a descriptor cannot be read.
    bool Next();

    // The current record closes itself (<Employee ID="1"/>): it has attributes but no elements.
    // The HRM import does not count such a record; the card-holder import counts it.
    bool IsEmptyElement() const;
    const std::string& RecordName() const;
    // The record element's attribute, converted to 8-bit text; none when it is absent.
    std::optional<std::string> Attribute(std::string_view name) const;
    // The record's child elements, in document order.
    const std::vector<TFeedNode>& Elements() const;

    // The first child element of that name, wherever it stands; null when there is none.
    const TFeedNode* Element(std::string_view name) const;
    // That element's text converted to 8-bit text, then cut to maxLength characters; none
    // when the record has no such element.
    std::optional<std::string> FieldText(std::string_view name, std::size_t maxLength = WholeText) const;
    // The same with the empty text as the default.
    std::string Text(std::string_view name, std::size_t maxLength = WholeText) const;

private:
    struct TState;
    explicit TFeedReader(std::unique_ptr<TState> state);
    std::unique_ptr<TState> F;
};

}  // namespace keyrix
