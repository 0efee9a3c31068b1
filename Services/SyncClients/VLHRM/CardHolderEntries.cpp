#include "Services/SyncClients/VLHRM/CardHolderEntries.h"

#include "Services/SyncClients/VLHRM/RecordFields.h"

#include <utility>

namespace keyrix {

namespace {

std::string PadLeft(std::string text, std::size_t width) {
    if (text.size() < width) text.insert(0, width - text.size(), '0');
    return text;
}

}  // namespace

TCardHolderEntry ReadCardHolderEntry(const TFeedReader& reader) {
    TCardHolderEntry entry;
    entry.EmployeeNumber = PadLeft(reader.Attribute("ID").value_or(std::string()), 6);
    entry.CardHolderId = WholeNumber(reader.Text("AUId"));
    entry.Pin = reader.Text("PIN1", 6);
    if (!entry.Pin.empty()) entry.Pin = PadLeft(std::move(entry.Pin), 4);
    entry.SiteCode = reader.Text("SiteCode", 3);
    entry.CardNumber = reader.Text("CardNr", 5);
    return entry;
}

}  // namespace keyrix
