#include "platform/EventLog.h"

#include "common/Format.h"
#include "common/TextUtils.h"
#include "platform/CodePage.h"
#include "platform/FileHandles.h"
#include "platform/LocalTime.h"
#include "platform/PosixFiles.h"
#include "platform/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <string_view>

// The entries are the service's, not this file's: no CODE_FILE and CODE_LINE fields.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace keyrix::platform {

namespace {

constexpr const char* EventLogRoot = "SYSTEM\\CurrentControlSet\\Services\\EventLog";
constexpr const char* DefaultLogName = "Application";
constexpr const char* JournalSocket = "/run/systemd/journal/socket";

// The log whose registration names the source: a subkey of the source's name, or the
// source in its "Sources" list.
std::string LogOfSource(const std::string& source) {
    try {
        auto hive = TRegistryHive::LocalMachine();
        std::unique_ptr<TRegKey> root;
        if (hive->OpenKey(EventLogRoot, TRegAccess::Read, root) != ERROR_SUCCESS) return DefaultLogName;
        std::vector<std::string> logs;
        root->SubKeyNames(logs);
        for (const std::string& log : logs) {
            std::unique_ptr<TRegKey> key;
            if (hive->OpenKey(std::string(EventLogRoot) + "\\" + log, TRegAccess::Read, key) != ERROR_SUCCESS) continue;
            std::vector<std::string> sources;
            key->SubKeyNames(sources);
            std::uint32_t type = REG_NONE;
            std::string data;
            if (key->QueryValue("Sources", type, data) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
                std::vector<std::string> listed = SplitNul(data, true);
                sources.insert(sources.end(), listed.begin(), listed.end());
            }
            for (const std::string& name : sources)
                if (SameText(name, source)) return log;
        }
    } catch (const std::exception&) {
        // A hive that cannot be read registers nothing: the entries still go somewhere.
    }
    return DefaultLogName;
}

const char* TypeName(TEventType type) {
    switch (type) {
        case TEventType::Error: return "error";
        case TEventType::Warning: return "warning";
        case TEventType::AuditSuccess: return "audit success";
        case TEventType::AuditFailure: return "audit failure";
        case TEventType::Information: break;
    }
    return "information";
}

int Priority(TEventType type) {
    switch (type) {
        case TEventType::Error: return 3;         // LOG_ERR
        case TEventType::Warning: return 4;       // LOG_WARNING
        case TEventType::AuditSuccess: return 5;  // LOG_NOTICE
        case TEventType::AuditFailure: return 4;
        case TEventType::Information: break;
    }
    return 6;  // LOG_INFO
}

// One field of a line: the separators and line ends written as escapes.
std::string Escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
    return out;
}

// The entry's time in the file.
std::string Stamp() {
    char stamp[32];
    const TLocalTime now = LocalNow();
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &now.Tm);
    return stamp;
}

bool AppendLine(const std::string& path, const std::string& line) {
    TFd file(Env().Open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (file.Get() < 0) return false;
    // Waits for another writer rather than failing: no entry is lost, none is torn.
    while (Env().Lock(file.Get(), LOCK_EX) != 0)
        if (errno != EINTR) return false;
    return AppendWhole(file.Get(), line) == 0;
}

struct TSource {
    std::string Name;
    std::string Log;
};

using TFields = std::vector<std::pair<std::string, std::string>>;

// One entry, plain or with fields (those have category and event ID 0), its texts in UTF-8.
struct TEntry {
    std::string Log, Source;
    TEventType Type;
    std::uint16_t Category;
    std::uint32_t EventId;
    std::string Message;
    TFields Fields;
};

// The entry's line in the file: the seven fields of every entry first, so that a reader of
// the plain entries reads one with fields too; its named fields follow.
std::string FileLine(const TEntry& entry) {
    std::string line = Format("%s\t%s\t%s\t%s\t%u\t%u\t%s", Stamp(), Escaped(entry.Log), Escaped(entry.Source),
                              TypeName(entry.Type), entry.Category, entry.EventId, Escaped(entry.Message));
    for (const auto& [field, value] : entry.Fields) line += "\t" + field + "=" + Escaped(value);
    return line + "\n";
}

// The entry's fields in the journal. Its texts (the message and the named values) keep
// journald's rules for text (JournalText); the names are the program's own.
std::vector<std::string> JournalItems(const TEntry& entry) {
    std::vector<std::string> items = {"MESSAGE=" + JournalText(entry.Message),
                                      Format("PRIORITY=%d", Priority(entry.Type)),
                                      "SYSLOG_IDENTIFIER=" + entry.Source,
                                      "KEYRIX_LOG=" + entry.Log,
                                      Format("KEYRIX_CATEGORY=%u", entry.Category),
                                      Format("KEYRIX_EVENT_ID=%u", entry.EventId)};
    for (const auto& [field, value] : entry.Fields) items.push_back(field + "=" + JournalText(value));
    return items;
}

class TSystemEventLog final : public IEventLog {
public:
    TEventSourceHandle RegisterEventSource(const std::string& sourceName) override {
        if (sourceName.empty()) return 0;
        TSource source{sourceName, LogOfSource(sourceName)};
        std::lock_guard guard(FLock);
        const TEventSourceHandle handle = ++FLastHandle;
        FSources.emplace(handle, std::move(source));
        return handle;
    }

    bool ReportEvent(TEventSourceHandle handle, TEventType type, std::uint16_t category, std::uint32_t eventId,
                     const std::string& text) override {
        return Write(handle, type, category, eventId, text, {});
    }

    bool ReportFields(TEventSourceHandle handle, TEventType type, const std::string& text,
                      const TFields& fields) override {
        return Write(handle, type, 0, 0, text, fields);
    }

    void DeregisterEventSource(TEventSourceHandle handle) override {
        std::lock_guard guard(FLock);
        FSources.erase(handle);
    }

private:
    bool Write(TEventSourceHandle handle, TEventType type, std::uint16_t category, std::uint32_t eventId,
               const std::string& text, const TFields& fields) {
        TSource source;
        if (!Find(handle, source)) return false;
        // The system's texts are Windows-1252; the journal and the file hold UTF-8.
        TEntry entry{AnsiToUtf8(source.Log), AnsiToUtf8(source.Name), type, category, eventId, AnsiToUtf8(text), {}};
        for (const auto& [field, value] : fields) entry.Fields.emplace_back(field, AnsiToUtf8(value));

        const std::string file = Env().Config().EventLog;
        if (!file.empty()) return AppendLine(file, FileLine(entry));
        // sd_journal_sendv answers success when no journald listens; the entry would be lost
        // without the caller knowing.
        if (!JournalListens()) return false;
        std::vector<std::string> items = JournalItems(entry);
        std::vector<struct iovec> vector;
        for (std::string& item : items) vector.push_back({item.data(), item.size()});
        return ::sd_journal_sendv(vector.data(), static_cast<int>(vector.size())) == 0;
    }
    bool Find(TEventSourceHandle handle, TSource& source) {
        std::lock_guard guard(FLock);
        auto it = FSources.find(handle);
        if (it == FSources.end()) return false;
        source = it->second;
        return true;
    }
    static bool JournalListens() {
        struct stat st;
        return Env().Stat(JournalSocket, st) == 0 && S_ISSOCK(st.st_mode);
    }

    std::mutex FLock;
    std::map<TEventSourceHandle, TSource> FSources;
    TEventSourceHandle FLastHandle = 0;
};

}  // namespace

std::string JournalText(const std::string& text) {
    std::string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            lines += text[i];
            continue;
        }
        lines += '\n';
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
    return VisibleText(lines, "\n\t");
}

IEventLog& EventLog() { return TSeam<IEventLog>::Get<TSystemEventLog>(); }

}  // namespace keyrix::platform
