// The card-holder reader on arbitrary files, as the card-holder import reads them: whole,
// failing at a fault, then with the records the export got wrong taken out. A parser limit
// or an unread entity (EXmlReadError) and a file that is not well-formed or of another kind
// (EXmlFormatError) are outcomes the import handles; any other exception, a crash, a
// sanitizer report or a broken record rule is a finding. Now and then (chosen by the input's
// hash, so a saved input replays alike) the same bytes are also read from a descriptor, as
// the import reads the file, and must give the same result. The file cut short (a copy
// still being written) fails, or reads exactly as the whole: never as fewer records, which
// would unlink the card-holders it no longer lists.
#include "Services/SyncClients/VLHRM/CardHolders.h"
#include "platform/FileHandles.h"
#include "tests/fuzz/FuzzSupport.h"

#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace keyrix;
using keyrix::fuzz::Check;

namespace {

const char* const FileName = "/var/lib/keyrix/cardholders.xml";

struct TOutcome {
    std::vector<TBKRec> Records;
    std::int32_t Processed = 0;
    std::vector<TRefusedBKRec> Refused;
    std::vector<std::string> DebugLines;
    std::optional<std::string> Error;  // the message of EXmlReadError or EXmlFormatError

    bool operator==(const TOutcome&) const = default;
};

TOutcome Read(TFeedReader reader) {
    TOutcome outcome;
    try {
        outcome.Records = ReadBKRecords(reader, outcome.Processed,
                                        [&](const std::string& line) { outcome.DebugLines.push_back(line); });
    } catch (const EXmlReadError& error) {
        outcome.Error = error.what();
    } catch (const EXmlFormatError& error) {
        outcome.Error = error.what();
    }
    if (outcome.Error) {
        outcome.Records.clear();  // the import stops here
        return outcome;
    }
    const std::size_t read = outcome.Records.size();
    outcome.Refused = TakeRefusedRecords(outcome.Records);
    Check(outcome.Records.size() + outcome.Refused.size() == read, "records lost between kept and refused");
    return outcome;
}

void CheckOutcome(const TOutcome& outcome, std::size_t size) {
    Check(outcome.Processed >= 0 && static_cast<std::size_t>(outcome.Processed) <= size, "processed out of range");
    Check(outcome.Records.size() <= static_cast<std::size_t>(outcome.Processed), "more records than processed");
    std::map<std::int32_t, std::string> holders;
    for (const TBKRec& record : outcome.Records) {
        Check(record.EmployeeNumber.size() <= MaxEmployeeNumberLength, "a kept employee number over the limit");
        const auto [holder, first] = holders.emplace(record.CardHolderId, record.EmployeeNumber);
        Check(first || holder->second == record.EmployeeNumber, "a kept card-holder id of two employees");
        Check(record.CardHolderId != 0, "a record without a card-holder id");
        Check(record.EmployeeNumber.size() >= 6, "an employee number shorter than six characters");
        Check(record.Pin.size() >= 4 && record.Pin.size() <= 6, "a PIN outside 4 to 6 characters");
        Check(!record.CardNumber.empty() && record.CardNumber.size() <= 8, "a card number outside 1 to 8 digits");
        Check(record.CardNumber.find_first_not_of("0123456789") == std::string::npos, "a card number with a non-digit");
    }
    if (outcome.Error)
        Check(outcome.Error->find(FileName) != std::string::npos, "the error does not name the file");
    for (const TRefusedBKRec& refused : outcome.Refused) Check(!refused.Reason.empty(), "a record refused without a reason");
}

std::string Summary(const TOutcome& outcome) {
    return std::to_string(outcome.Processed) + " processed, " + std::to_string(outcome.Records.size()) + " kept, " +
           std::to_string(outcome.Refused.size()) + " refused, " +
           std::to_string(outcome.DebugLines.size()) + " debug lines" + (outcome.Error ? ", " + *outcome.Error : "");
}

TOutcome ReadFromDescriptor(std::string_view bytes) {
    platform::TFd fd(::memfd_create("cardholders", MFD_CLOEXEC));
    if (fd.Get() < 0) fuzz::Finding("memfd_create failed");
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (n <= 0) fuzz::Finding("cannot write the memfd");
        done += static_cast<std::size_t>(n);
    }
    if (::lseek(fd.Get(), 0, SEEK_SET) != 0) fuzz::Finding("cannot rewind the memfd");
    return Read(TFeedReader::FromDescriptor(fd.Get(), FileName, CardHolderRootName, CardHolderRecordName,
                                            TFaultRule::frFail));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const TOutcome fromMemory =
            Read(TFeedReader::FromMemory(bytes, CardHolderRootName, CardHolderRecordName, FileName, TFaultRule::frFail));
        CheckOutcome(fromMemory, size);
        if (fuzz::Hash(bytes) % 8 == 0)
            if (const TOutcome fromDescriptor = ReadFromDescriptor(bytes); fromDescriptor != fromMemory)
                fuzz::Finding("the descriptor and the memory give different results: " + Summary(fromDescriptor) +
                              " against " + Summary(fromMemory));
        if (size >= 2 && !fromMemory.Error) {
            const std::size_t cut = 1 + fuzz::Hash(bytes) % (size - 1);
            const TOutcome part = Read(TFeedReader::FromMemory(bytes.substr(0, cut), CardHolderRootName,
                                                               CardHolderRecordName, FileName, TFaultRule::frFail));
            CheckOutcome(part, cut);
            if (!part.Error && (part.Processed != fromMemory.Processed || part.Records != fromMemory.Records ||
                                part.Refused != fromMemory.Refused))
                fuzz::Finding("the file cut at byte " + std::to_string(cut) + " reads as another list: " +
                              Summary(part) + " against " + Summary(fromMemory));
        }
    } catch (...) {
        fuzz::UnexpectedException("card holders");
    }
    return 0;
}
