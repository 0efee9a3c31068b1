#include "common/Exceptions.h"
#include "tests/vlhrm/RunJournal.h"

// The sync object (Unit1.h, through RunJournal.h) must not drag libcurl and OpenSSL into
// every file that uses it.
#if defined(CURLINC_CURL_H) || defined(OPENSSL_TYPES_H) || defined(OPENSSL_SSL_H)
#error "Unit1.h includes libcurl or OpenSSL headers"
#endif

#include <sys/stat.h>

using namespace keyrix;
using namespace keyrix::test;
using Lines = std::vector<std::string>;

namespace {
class SyncLog : public RunFixture {
protected:
    TDataModule1 Module{LogPath};
};
}  // namespace

TEST_F(SyncLog, ChannelsAndOrderFollowTheSettings) {
    struct Case {
        const char* operation;
        bool logToFile, debugLogging;
        Lines expected;
    };
    const Case cases[] = {
        {"error", false, false, {"console: m"}},
        {"error", true, false, {"console: m", "file: m"}},
        {"info", false, false, {"console: m"}},
        {"info", true, false, {"file: m", "console: m"}},
        {"debug", true, false, {"console: m"}},
        {"debug", false, true, {"console: m"}},
        {"debug", true, true, {"file: m", "console: m"}},
        {"file", false, false, {"file: m"}},
    };
    for (const Case& c : cases) {
        ::unlink(LogPath.c_str());
        Journal = TRunJournal(LogPath);
        Setup.LogToFile = c.logToFile;
        DebugLogging = c.debugLogging;
        const std::string op = c.operation;
        if (op == "error") Module.SyncLogError("%s", "m");
        if (op == "info") Module.SyncLogInfo("%s", "m");
        if (op == "debug") Module.SyncLogDebug("%s", "m");
        if (op == "file") Module.SyncLogFile("%s", "m");
        EXPECT_EQ(Journal.Finish(), c.expected) << op << " file=" << c.logToFile << " debug=" << c.debugLogging;
    }
}

TEST_F(SyncLog, FormatsLikePrintfAndKeepsLineBreaks) {
    Setup.LogToFile = true;
    Module.SyncLogInfo("Employee %s; Id %.5d", "E17", 42);
    Module.SyncLogFile("first\r\nsecond");
    EXPECT_EQ(ReadFile(LogPath), "Employee E17; Id 00042\r\nfirst\r\nsecond\r\n");
}

TEST_F(SyncLog, FileFailureRaisesAfterOrInsteadOfTheConsoleLine) {
    Setup.LogToFile = true;
    ASSERT_EQ(::mkdir(LogPath.c_str(), 0755), 0);
    EXPECT_THROW(Module.SyncLogInfo("info line"), EFOpenError);
    EXPECT_THROW(Module.SyncLogError("error line"), EFOpenError);
    EXPECT_EQ(Journal.Entries, Lines{"console: error line"}) << "the error line reached the console first";
}

TEST_F(SyncLog, WithoutSettingsTheLogRefusesToGuess) {
    SetupInstance = nullptr;
    EXPECT_THROW(Module.SyncLogInfo("x"), EBugCheckError);
}
