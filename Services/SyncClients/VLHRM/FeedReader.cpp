#include "Services/SyncClients/VLHRM/FeedReader.h"

#include "common/Format.h"
#include "common/TextUtils.h"
#include "platform/CodePage.h"
#include "platform/Env.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlversion.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace keyrix {

namespace {

// Entities of the document's own DTD are substituted (within libxml2's amplification
// limits), so their text is the field's text. Nothing is loaded from outside: network access
// is off, the external DTD subset is not loaded (no DTDLOAD), and every external entity
// that substitution would read goes to a loader that refuses it. The huge-input switch
// stays off, so libxml2's own size and depth limits hold. Errors are silenced here as well
// as by the handler installed on each reader.
constexpr int ParseOptions = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Bytes read from a descriptor at a time.
constexpr std::size_t BlockSize = 64 * 1024;

#if LIBXML_VERSION >= 21200
using TXmlError = const xmlError*;
#else
using TXmlError = xmlErrorPtr;
#endif

// The errors by which libxml2 reports that one of its safety limits (or the memory) ran
// out rather than that the document broke a rule of XML; what it names the limit.
const char* LimitName(int code) {
    switch (code) {
        case XML_ERR_INTERNAL_ERROR: return "nesting depth or the size of one piece of markup";
        case XML_ERR_NO_MEMORY: return "text node size (10,000,000 characters) or memory";
        case XML_ERR_ENTITY_LOOP: return "entity expansion (amplification or a reference loop)";
        case XML_ERR_NAME_TOO_LONG: return "name length";
#if LIBXML_VERSION >= 21400
        case XML_ERR_RESOURCE_LIMIT: return "resource use";
#endif
        default: return nullptr;
    }
}

std::string TrimmedMessage(const char* message) { return std::string(TrimRight(message ? message : "", " \r\n")); }

// Errors that libxml2 raises outside a parser context (input conversion, I/O) go to the
// thread's handlers; for the duration of one call into the reader they go to the reader
// (which only notes them) instead of the standard error, and are put back afterwards.
class TSilentLibxmlErrors {
public:
    // The structured errors go to handler (with context) instead.
    TSilentLibxmlErrors(void* context, xmlStructuredErrorFunc handler)
        : FStructured(xmlStructuredError), FStructuredContext(xmlStructuredErrorContext),
          FGeneric(xmlGenericError), FGenericContext(xmlGenericErrorContext) {
        xmlSetStructuredErrorFunc(context, handler);
        xmlSetGenericErrorFunc(nullptr, IgnoreGeneric);
    }
    TSilentLibxmlErrors(const TSilentLibxmlErrors&) = delete;
    TSilentLibxmlErrors& operator=(const TSilentLibxmlErrors&) = delete;
    ~TSilentLibxmlErrors() {
        xmlSetStructuredErrorFunc(FStructuredContext, FStructured);
        xmlSetGenericErrorFunc(FGenericContext, FGeneric);
    }

private:
    static void IgnoreGeneric(void*, const char*, ...) {}

    xmlStructuredErrorFunc FStructured;
    void* FStructuredContext;
    xmlGenericErrorFunc FGeneric;
    void* FGenericContext;
};

struct TXmlReaderFree {
    void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using TXmlReaderPtr = std::unique_ptr<xmlTextReader, TXmlReaderFree>;

std::string ToString(const xmlChar* text) {
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

}  // namespace

struct TFeedReader::TState {
    enum class TPhase { phRoot, phBeforeRecords, phRecords, phDone };

    std::string RootName, RecordName;
    TFaultRule Faults = TFaultRule::frEndAtFault;
    TPhase Phase = TPhase::phRoot;
    bool RootEnded = false;

    // The input: the bytes not yet handed to the parser; a descriptor refills them.
    std::string_view Pending;
    int Fd = -1;
    bool FdAtEnd = false;
    int ReadError = 0;
    std::string FileName;
    std::vector<char> Block;

    TXmlReaderPtr Reader;

    // What names the document in errors.
    std::string DocumentName;
    // Why the reading must stop with an error (a parser limit, an entity not expanded);
    // set by libxml2's callbacks, raised after the call into the reader that set it.
    std::optional<std::string> Stop;
    // A reason to stop that could not be put into words (no memory for it).
    bool StopUnrecorded = false;
    // An external entity was refused: declarations it held are missing.
    bool RefusedEntity = false;
    // The first fatal error libxml2 reported: what makes the document not well-formed.
    std::optional<std::string> Fault;
    int FaultLine = 0;

    // The state whose reader is inside libxml2 on this thread, for the entity loader,
    // which libxml2 calls without a context of ours.
    static thread_local TState* Active;
    class TActivation {
    public:
        explicit TActivation(TState* state) : FPrevious(std::exchange(Active, state)) {}
        TActivation(const TActivation&) = delete;
        TActivation& operator=(const TActivation&) = delete;
        ~TActivation() { Active = FPrevious; }

    private:
        TState* FPrevious;
    };

    void StopWith(std::string reason, int line) {
        // The reason may quote the document (an entity's address): kept visible in log lines.
        if (!Stop) Stop = Format("Cannot read \"%s\" in full: %s (line %d)", DocumentName, VisibleText(reason), line);
    }

    // libxml2's errors of this reader. A well-formedness fault is left to end the records
    // silently; a limit, or an entity whose declaration was not read, stops with an error.
    static void OnError(void* context, TXmlError error) {
        auto* self = static_cast<TState*>(context);
        if (error == nullptr || self == nullptr) return;
        // Nothing may unwind through libxml2.
        try {
            self->NoteFault(*error);
            self->Classify(*error);
        } catch (...) {
            self->StopUnrecorded = true;
        }
    }
    // Errors outside the parser's context (the input's conversion) only tell the fault.
    static void OnGlobalError(void* context, TXmlError error) {
        auto* self = static_cast<TState*>(context);
        if (error == nullptr || self == nullptr) return;
        try {
            self->NoteFault(*error);
        } catch (...) {
            self->StopUnrecorded = true;
        }
    }

    void NoteFault(const xmlError& error) {
        if (Fault || error.level != XML_ERR_FATAL) return;
        Fault = TrimmedMessage(error.message);
        // Errors of the input's conversion carry no line: the parser's is the nearest.
        FaultLine = error.line > 0 || !Reader ? error.line : xmlTextReaderGetParserLineNumber(Reader.get());
    }

    void Classify(const xmlError& error) {
        // libxml2 2.9 follows a fault in element content (an invalid character, the input
        // ending after one) with this internal error, the code of some of its limits too; it
        // is the fault's echo, which ends the records silently, not a limit.
        if (error.code == XML_ERR_INTERNAL_ERROR && error.message != nullptr &&
            std::strstr(error.message, "detected an error in element content") != nullptr)
            return;
        if (const char* limit = LimitName(error.code)) {
            StopWith(Format("libxml2 stopped at its limit on %s (domain %d, error %d: %s)", limit, error.domain,
                            error.code, TrimmedMessage(error.message)),
                     error.line);
        } else if (error.code == XML_WAR_UNDECLARED_ENTITY ||
                   (error.code == XML_ERR_UNDECLARED_ENTITY && RefusedEntity)) {
            // Undeclared for want of declarations outside the document, which are never read.
            StopWith(Format("the entity \"%s\" is not declared in the document itself, and declarations "
                            "outside it are never read",
                            error.str1 ? std::string(error.str1) : std::string("?")),
                     error.line);
        }
    }

    // Every external entity libxml2 would load comes here and is refused. One referred to
    // from the content would leave its place empty, so that stops the reading; one referred
    // to from the DTD only leaves its declarations out (an entity they would have declared
    // then stops the reading where it is used).
    static xmlParserInputPtr RefuseExternalEntity(const char* url, const char*, xmlParserCtxtPtr context) {
        TState* self = Active;
        if (self == nullptr) return nullptr;
        self->RefusedEntity = true;
        if (context != nullptr && context->inSubset == 0) {
            try {
                self->StopWith(Format("an external entity (\"%s\") is never read", url ? url : ""),
                               context->input != nullptr ? context->input->line : 0);
            } catch (...) {
                self->StopUnrecorded = true;
            }
        }
        return nullptr;
    }

    // The current record.
    std::string Name;
    bool IsEmpty = false;
    std::vector<std::pair<std::string, std::string>> Attributes;  // UTF-8
    std::vector<TFeedNode> Elements;

    void Open() {
        // The loader is process-wide in libxml2; this reader is its only user here.
        static const bool initialized = [] {
            xmlInitParser();
            xmlSetExternalEntityLoader(&TState::RefuseExternalEntity);
            return true;
        }();
        (void)initialized;
        TSilentLibxmlErrors silent(this, &TState::OnGlobalError);
        TActivation active(this);
        Reader.reset(xmlReaderForIO(&ReadInput, &CloseInput, this, nullptr, nullptr, ParseOptions));
        if (!Reader) {
            if (ReadError != 0) Finish();  // raises
            throw EStreamError("Cannot create the XML reader");
        }
        xmlTextReaderSetStructuredErrorHandler(Reader.get(), &TState::OnError, this);
    }

    // Keeps at least two bytes pending while the descriptor has more, so that the byte after
    // a '>' can be looked at.
    void Refill() {
        if (Fd < 0 || FdAtEnd || Pending.size() >= 2) return;
        std::vector<char> next(BlockSize);
        std::copy(Pending.begin(), Pending.end(), next.begin());
        std::size_t kept = Pending.size();
        ssize_t n;
        do n = platform::Env().Read(Fd, next.data() + kept, next.size() - kept);
        while (n < 0 && errno == EINTR);
        if (n < 0) ReadError = errno;
        if (n <= 0) FdAtEnd = true;
        Block = std::move(next);
        Pending = std::string_view(Block.data(), kept + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }

    // The parser's input. The bytes are handed out up to the end of the next markup ('>'),
    // so the parser never runs ahead of a record it has just closed: were the bytes after
    // it in the same piece and faulty, the reader would stop before handing that record out.
    // In UTF-16 little-endian the zero byte after the '>' belongs to it.
    static int ReadInput(void* context, char* buffer, int length) {
        auto* self = static_cast<TState*>(context);
        self->Refill();
        if (self->Pending.empty()) return self->ReadError != 0 ? -1 : 0;
        std::size_t n = std::min(self->Pending.size(), static_cast<std::size_t>(std::max(length, 0)));
        if (const void* end = std::memchr(self->Pending.data(), '>', n)) {
            n = static_cast<std::size_t>(static_cast<const char*>(end) - self->Pending.data()) + 1;
            if (n < self->Pending.size() && n < static_cast<std::size_t>(length) && self->Pending[n] == '\0') ++n;
        }
        std::memcpy(buffer, self->Pending.data(), n);
        self->Pending.remove_prefix(n);
        return static_cast<int>(n);
    }
    static int CloseInput(void*) { return 0; }

    std::string ConstName() const { return ToString(xmlTextReaderConstName(Reader.get())); }
    std::string ConstValue() const { return ToString(xmlTextReaderConstValue(Reader.get())); }

    void ClearRecord() {
        Name.clear();
        IsEmpty = false;
        Attributes.clear();
        Elements.clear();
    }

    // The reading is over: the parser goes at once, and a failed read is reported.
    bool Finish() {
        Phase = TPhase::phDone;
        Reader.reset();
        ClearRecord();
        if (ReadError != 0)
            throw EStreamError(Format("Cannot read file \"%s\". %s", FileName, SysErrorMessage(ReadError)));
        return false;
    }

    // The reading ends with an error: the parser goes at once.
    template <class TError = EXmlReadError>
    [[noreturn]] void Fail(std::string message) {
        Phase = TPhase::phDone;
        Reader.reset();
        ClearRecord();
        throw TError(std::move(message));
    }

    // The fault that makes the document not well-formed, in words, with its line.
    std::string FaultText() const {
        // The streaming parser names a document that stops inside its root (one cut short)
        // this way, as well as one with content after its root.
        if (Phase != TPhase::phRoot && !RootEnded && Fault == "Extra content at the end of the document")
            return Format("the root element does not end the document: it is cut short, or content follows it (line %d)",
                          FaultLine);
        if (Fault) return Format("%s (line %d)", VisibleText(*Fault), FaultLine);
        return Format("the document breaks off (line %d)", Reader ? xmlTextReaderGetParserLineNumber(Reader.get()) : 0);
    }

    // The document broke before its end: a read error is reported first; then the fault
    // ends the records or fails the document, as the reader was told.
    bool BrokenOff() {
        if (ReadError != 0 || Faults == TFaultRule::frEndAtFault) return Finish();
        Fail<EXmlFormatError>(Format("\"%s\" is not well-formed XML: %s", DocumentName, FaultText()));
    }

    // The document has no root element, or one of another name: it is not the kind expected.
    [[noreturn]] void WrongRoot(const std::optional<std::string>& found) {
        if (ReadError != 0) Finish();  // raises
        if (found)
            Fail<EXmlFormatError>(Format("\"%s\" is not the document expected: its root element is \"%s\", not \"%s\"",
                                         DocumentName, VisibleText(*found), RootName));
        Fail<EXmlFormatError>(Format("\"%s\" is not the document expected: it has no root element \"%s\" (%s)",
                                     DocumentName, RootName, FaultText()));
    }

    // Answers 1 for a node, 0 at the end, -1 at a well-formedness fault; raises when the
    // reading must stop with an error.
    // Called only inside Next, which silences libxml2's global error handlers and makes this
    // reader the active one for the whole record rather than for every node.
    int Read() {
        const int result = xmlTextReaderRead(Reader.get());
        if (Stop) Fail(*Stop);
        if (StopUnrecorded) Fail("Cannot read \"" + DocumentName + "\" in full: a parser limit or an unread entity");
        return result;
    }

    // An entity reference the parser left unexpanded: its text is not known, and an empty
    // text in its place would be written as the field's value.
    [[noreturn]] void FailOnEntityReference() {
        const int line = xmlTextReaderGetParserLineNumber(Reader.get());
        StopWith(Format("the entity \"%s\" is not expanded", ConstName()), line);
        Fail(*Stop);
    }

    bool Next() {
        ClearRecord();
        if (Phase == TPhase::phDone) return false;
        TSilentLibxmlErrors silent(this, &TState::OnGlobalError);
        TActivation active(this);
        int result;
        while ((result = Read()) == 1) {
            int type = xmlTextReaderNodeType(Reader.get());
            int depth = xmlTextReaderDepth(Reader.get());
            if (Phase == TPhase::phRoot) {
                // The prolog: declaration, document type, comments.
                if (type != XML_READER_TYPE_ELEMENT) continue;
                if (ConstName() != RootName) WrongRoot(ConstName());
                if (xmlTextReaderIsEmptyElement(Reader.get()) == 1) return AfterRoot();
                Phase = TPhase::phBeforeRecords;
                continue;
            }
            if (depth == 0) return AfterRoot();  // the root's end tag
            // Text and comments of the root, and what lies inside elements before the first record.
            if (depth > 1 || type != XML_READER_TYPE_ELEMENT) continue;
            if (Phase == TPhase::phBeforeRecords) {
                if (ConstName() != RecordName) continue;
                Phase = TPhase::phRecords;
            }
            if (CollectRecord()) return true;
            return BrokenOff();
        }
        if (Phase == TPhase::phRoot) WrongRoot(std::nullopt);
        return result < 0 ? BrokenOff() : Finish();
    }

    // The root has ended. A document that fails at a fault must be well-formed to its end.
    bool AfterRoot() {
        RootEnded = true;
        if (Faults == TFaultRule::frFail) {
            int result;
            while ((result = Read()) == 1) {
            }
            if (result < 0) return BrokenOff();
        }
        return Finish();
    }

    // Takes the record the reader stands on, up to its end tag; false when the document
    // ends or breaks before that.
    bool CollectRecord() {
        xmlTextReader* reader = Reader.get();
        Name = ConstName();
        IsEmpty = xmlTextReaderIsEmptyElement(reader) == 1;
        while (xmlTextReaderMoveToNextAttribute(reader) == 1) Attributes.emplace_back(ConstName(), ConstValue());
        xmlTextReaderMoveToElement(reader);
        if (IsEmpty) return true;

        bool inElement = false;  // inside a child element, gathering its text
        while (Read() == 1) {
            int type = xmlTextReaderNodeType(reader);
            int depth = xmlTextReaderDepth(reader);
            if (depth <= 1) return true;  // the record's end tag
            if (type == XML_READER_TYPE_ENTITY_REFERENCE) FailOnEntityReference();
            if (depth == 2) {
                // Only elements are fields; text, comments and processing instructions
                // between them are not read.
                if (type == XML_READER_TYPE_ELEMENT) {
                    Elements.push_back({ConstName(), {}});
                    inElement = xmlTextReaderIsEmptyElement(reader) != 1;
                } else if (type == XML_READER_TYPE_END_ELEMENT) {
                    inElement = false;
                }
                continue;
            }
            if (inElement && (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
                              type == XML_READER_TYPE_WHITESPACE || type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE))
                Elements.back().Text += ConstValue();
        }
        ClearRecord();
        return false;
    }
};

TFeedReader::TFeedReader(std::unique_ptr<TState> state) : F(std::move(state)) {}
TFeedReader::TFeedReader(TFeedReader&&) noexcept = default;
TFeedReader& TFeedReader::operator=(TFeedReader&&) noexcept = default;
TFeedReader::~TFeedReader() = default;

thread_local TFeedReader::TState* TFeedReader::TState::Active = nullptr;

TFeedReader TFeedReader::FromMemory(std::string_view document, std::string_view rootName,
                                    std::string_view recordName, std::string documentName, TFaultRule faults) {
    auto state = std::make_unique<TState>();
    state->DocumentName = std::move(documentName);
    state->RootName = rootName;
    state->RecordName = recordName;
    state->Faults = faults;
    state->Pending = document;
    state->Open();
    return TFeedReader(std::move(state));
}

TFeedReader TFeedReader::FromDescriptor(int fd, std::string fileName, std::string_view rootName,
                                        std::string_view recordName, TFaultRule faults) {
    auto state = std::make_unique<TState>();
    state->RootName = rootName;
    state->RecordName = recordName;
    state->Faults = faults;
    state->Fd = fd;
    state->DocumentName = fileName;
    state->FileName = std::move(fileName);
    state->Open();
    return TFeedReader(std::move(state));
}

bool TFeedReader::Next() { return F->Next(); }

bool TFeedReader::IsEmptyElement() const { return F->IsEmpty; }

const std::string& TFeedReader::RecordName() const { return F->Name; }

std::optional<std::string> TFeedReader::Attribute(std::string_view name) const {
    for (const auto& [attributeName, value] : F->Attributes)
        if (attributeName == name) return platform::Utf8ToAnsi(value);
    return std::nullopt;
}

const std::vector<TFeedNode>& TFeedReader::Elements() const { return F->Elements; }

const TFeedNode* TFeedReader::Element(std::string_view name) const {
    for (const TFeedNode& element : F->Elements)
        if (element.Name == name) return &element;
    return nullptr;
}

std::optional<std::string> TFeedReader::FieldText(std::string_view name, std::size_t maxLength) const {
    const TFeedNode* node = Element(name);
    if (!node) return std::nullopt;
    // Converted first, so that the length counts 8-bit characters.
    std::string text = platform::Utf8ToAnsi(node->Text);
    if (text.size() > maxLength) text.resize(maxLength);
    return text;
}

std::string TFeedReader::Text(std::string_view name, std::size_t maxLength) const {
    return FieldText(name, maxLength).value_or(std::string());
}

}  // namespace keyrix
