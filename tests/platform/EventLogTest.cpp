#include "platform/EventLog.h"
#include "platform/Env.h"

#include "platform/Registry.h"
#include "tests/setup/HiveFixture.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <regex>

using namespace keyrix;
using namespace keyrix::platform;
using keyrix::test::ReadFile;

namespace {

const std::string LogRoot = "\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\";

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0, end;
    while ((end = text.find(separator, start)) != std::string::npos) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size()) parts.push_back(text.substr(start));
    return parts;
}

std::string Now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

class EventLogFile : public test::HiveFixture {
protected:
    void SetUp() override {
        HiveFixture::SetUp();
        ::setenv("KEYRIX_EVENTLOG", LogFile.c_str(), 1);
        platform::ReloadEnvironment();
    }
    void TearDown() override {
        ::unsetenv("KEYRIX_EVENTLOG");
        platform::ReloadEnvironment();
        HiveFixture::TearDown();
    }
    std::vector<std::string> Lines() const { return Split(ReadFile(LogFile), '\n'); }
    // Registers the source under the log the way an installation does.
    static void RegisterSource(const std::string& log, const std::string& source) {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(LogRoot + log + "\\" + source, true));
    }

    std::string LogFile = Dir.File("events.log");
};

}  // namespace

TEST_F(EventLogFile, EachEntryIsOneLineOfTabSeparatedFields) {
    RegisterSource("Keyrix", "KeyrixSyncVLRM");
    const TEventSourceHandle source = EventLog().RegisterEventSource("KeyrixSyncVLRM");
    ASSERT_NE(source, 0u);
    struct Case {
        TEventType type;
        std::uint16_t category;
        std::uint32_t eventId;
        std::string text, fields;
    };
    const Case cases[] = {
        {TEventType::Error, 1, 0, "Critical error on service startup:\r\nEOSError\r\nrefused",
         "Keyrix\tKeyrixSyncVLRM\terror\t1\t0\tCritical error on service startup:\\r\\nEOSError\\r\\nrefused"},
        {TEventType::Warning, 2, 0, "a\tb\\c\nd", "Keyrix\tKeyrixSyncVLRM\twarning\t2\t0\ta\\tb\\\\c\\nd"},
        {TEventType::Information, 3, 0, "Keyrix Sync Client (VLHRM) installed!",
         "Keyrix\tKeyrixSyncVLRM\tinformation\t3\t0\tKeyrix Sync Client (VLHRM) installed!"},
        {TEventType::AuditSuccess, 7, 4294967295u, "", "Keyrix\tKeyrixSyncVLRM\taudit success\t7\t4294967295\t"},
        {TEventType::AuditFailure, 0, 12, "M\xfcller", "Keyrix\tKeyrixSyncVLRM\taudit failure\t0\t12\tM\xc3\xbcller"},
    };
    const std::string before = Now();
    for (const Case& c : cases) EXPECT_TRUE(EventLog().ReportEvent(source, c.type, c.category, c.eventId, c.text));
    const std::string after = Now();
    EventLog().DeregisterEventSource(source);

    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), std::size(cases));
    EXPECT_EQ(ReadFile(LogFile).back(), '\n');
    const std::regex stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string time = lines[i].substr(0, lines[i].find('\t'));
        EXPECT_TRUE(std::regex_match(time, stamp)) << time;
        EXPECT_TRUE(before <= time && time <= after) << time << " is the local time of the entry";
        EXPECT_EQ(lines[i].substr(time.size() + 1), cases[i].fields);
    }
}

// An entry with named fields: the seven fields of an entry, then one "NAME=value" per
// field, escaped and converted as the text is.
TEST_F(EventLogFile, FieldsFollowTheEntrysOwnFields) {
    RegisterSource("Keyrix", "KeyrixSyncVLRM");
    const TEventSourceHandle source = EventLog().RegisterEventSource("KeyrixSyncVLRM");
    ASSERT_NE(source, 0u);
    EXPECT_TRUE(EventLog().ReportFields(source, TEventType::Warning, "Sync summary: guarded",
                                        {{"KEYRIX_OUTCOME", "guarded"}, {"KEYRIX_ERROR_MESSAGE", "a\tb\r\nM\xfcller"}}));
    EventLog().DeregisterEventSource(source);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(lines[0].find('\t') + 1),
              "Keyrix\tKeyrixSyncVLRM\twarning\t0\t0\tSync summary: guarded\tKEYRIX_OUTCOME=guarded\t"
              "KEYRIX_ERROR_MESSAGE=a\\tb\\r\\nM\xc3\xbcller");
    EXPECT_FALSE(EventLog().ReportFields(0, TEventType::Information, "no source", {})) << "an unknown handle";
}

TEST_F(EventLogFile, ASourceWritesIntoTheLogThatRegistersIt) {
    struct Case {
        const char* what;
        std::function<void()> registration;
        std::string log;
    };
    auto sources = [](const std::string& log, const std::string& multiSz) {
        return [=] {
            TRegistry registry;
            ASSERT_TRUE(registry.OpenKey(LogRoot + log, true));
            ASSERT_EQ(registry.SetRaw("Sources", REG_MULTI_SZ, multiSz), ERROR_SUCCESS);
        };
    };
    const Case cases[] = {
        {"a source key", [] { RegisterSource("Keyrix", "KeyrixSyncVLRM"); }, "Keyrix"},
        {"a source key in another case", [] { RegisterSource("Keyrix", "KEYRIXSYNCVLRM"); }, "Keyrix"},
        {"the Sources list only, in another case", sources("Keyrix", std::string("Other\0keyrixsyncvlrm\0\0", 22)),
         "Keyrix"},
        {"another log",
         [] {
             RegisterSource("Keyrix", "Other");
             RegisterSource("Security", "KeyrixSyncVLRM");
         },
         "Security"},
        {"no registration", [] { RegisterSource("Keyrix", "Other"); }, "Application"},
        {"no event-log key at all", [] {}, "Application"},
    };
    for (const Case& c : cases) {
        ::unlink(HivePath.c_str());
        ::unlink(LogFile.c_str());
        c.registration();
        const TEventSourceHandle source = EventLog().RegisterEventSource("KeyrixSyncVLRM");
        EXPECT_TRUE(EventLog().ReportEvent(source, TEventType::Information, 3, 0, "x")) << c.what;
        EventLog().DeregisterEventSource(source);
        const std::vector<std::string> lines = Lines();
        ASSERT_EQ(lines.size(), 1u) << c.what;
        EXPECT_EQ(Split(lines[0], '\t').at(1), c.log) << c.what;
    }
}

TEST_F(EventLogFile, AnEntryThatCannotBeWrittenFailsSilently) {
    EXPECT_FALSE(EventLog().ReportEvent(0, TEventType::Error, 1, 0, "no source"));
    EXPECT_EQ(EventLog().RegisterEventSource(""), 0u);
    const TEventSourceHandle source = EventLog().RegisterEventSource("KeyrixSyncVLRM");
    ASSERT_NE(source, 0u);

    ::setenv("KEYRIX_EVENTLOG", Dir.File("missing/events.log").c_str(), 1);
    platform::ReloadEnvironment();
    EXPECT_FALSE(EventLog().ReportEvent(source, TEventType::Error, 1, 0, "no folder"));
    ::setenv("KEYRIX_EVENTLOG", Dir.Path().c_str(), 1);
    platform::ReloadEnvironment();
    EXPECT_FALSE(EventLog().ReportEvent(source, TEventType::Error, 1, 0, "a folder, not a file"));

    ::setenv("KEYRIX_EVENTLOG", LogFile.c_str(), 1);
    platform::ReloadEnvironment();
    EventLog().DeregisterEventSource(source);
    EXPECT_FALSE(EventLog().ReportEvent(source, TEventType::Error, 1, 0, "deregistered"));
    EXPECT_FALSE(test::FileExists(LogFile));
}

TEST_F(EventLogFile, AnEntryThatDoesNotFitLeavesNoPartOfItself) {
    RegisterSource("Keyrix", "KeyrixSyncVLRM");
    const std::string first = "Keyrix Sync Client (VLHRM) started!";
    const std::string outcome = test::RunInChild([&] {
        const TEventSourceHandle source = EventLog().RegisterEventSource("KeyrixSyncVLRM");
        if (!EventLog().ReportEvent(source, TEventType::Information, 3, 0, first)) return std::string("first failed");
        // Room for a few bytes more: the file system is full in the middle of the next entry.
        ::signal(SIGXFSZ, SIG_IGN);
        const auto size = static_cast<rlim_t>(ReadFile(LogFile).size() + 10);
        const rlimit limit{size, size};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
        return std::string(EventLog().ReportEvent(source, TEventType::Error, 1, 0, "Critical error on service work")
                               ? "written"
                               : "refused");
    });
    EXPECT_EQ(outcome, "refused");
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u) << ReadFile(LogFile);
    EXPECT_EQ(lines[0].substr(lines[0].rfind('\t') + 1), first);
    EXPECT_EQ(ReadFile(LogFile).back(), '\n') << "the file ends with a whole entry";
}

TEST_F(EventLogFile, TwoProcessesNeverInterleaveTheirLines) {
    constexpr int LinesEach = 200;
    const std::string bodies[] = {std::string(5000, 'a'), std::string(5000, 'b')};
    std::vector<pid_t> children;
    for (const std::string& body : bodies) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const TEventSourceHandle source = EventLog().RegisterEventSource("KeyrixSyncVLRM");
            bool ok = true;
            for (int i = 0; i < LinesEach; ++i)
                ok = EventLog().ReportEvent(source, TEventType::Information, 3, 0, body) && ok;
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u * LinesEach);
    for (const std::string& line : lines) {
        const std::vector<std::string> fields = Split(line, '\t');
        ASSERT_EQ(fields.size(), 7u) << line.substr(0, 80);
        EXPECT_TRUE(fields[6] == bodies[0] || fields[6] == bodies[1]) << fields[6].substr(0, 80);
    }
}

TEST_F(EventLogFile, WithoutTheFileEntriesGoToTheJournal) {
    ::unsetenv("KEYRIX_EVENTLOG");
    platform::ReloadEnvironment();
    const TEventSourceHandle source = EventLog().RegisterEventSource("KeyrixSyncVLRM");
    ASSERT_NE(source, 0u);
    struct stat st {};
    const bool journald = ::stat("/run/systemd/journal/socket", &st) == 0 && S_ISSOCK(st.st_mode);
    // Without a journald, the entry is lost without a word: the caller goes on.
    EXPECT_EQ(EventLog().ReportEvent(source, TEventType::Warning, 2, 0, "journal entry\r\nsecond line"), journald);
    EventLog().DeregisterEventSource(source);
    EXPECT_FALSE(test::FileExists(LogFile));
}

// journald keeps a field with a CR (or another control character) as bytes, which
// `journalctl -o json` shows as an array of numbers: the journal gets LF line ends.
TEST(JournalText, LineEndsBecomeLfAndOtherControlsVisible) {
    struct {
        std::string Text, Expected;
    } cases[] = {
        {"Critical error on service startup:\r\nEDisplayError\r\nError connecting to database - x",
         "Critical error on service startup:\nEDisplayError\nError connecting to database - x"},
        {"a\rb\r", "a\nb\n"},
        {"a\r\r\nb\n\nc", "a\n\nb\n\nc"},
        {"tab\tkept", "tab\tkept"},
        {"esc\x1b[2J bell\a", "esc\\x1b[2J bell\\x07"},
        {"M\xC3\xBCller", "M\xC3\xBCller"},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::JournalText(c.Text), c.Expected) << c.Text;
}
