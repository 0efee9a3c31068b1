#include "common/Exceptions.h"
#include "tests/vlhrm/RunJournal.h"

// The sync object (Unit1.h, through RunJournal.h) must not drag libcurl and OpenSSL into
// every file that uses it.
#if defined(CURLINC_CURL_H) || defined(OPENSSL_TYPES_H) || defined(OPENSSL_SSL_H)
#error "Unit1.h includes libcurl or OpenSSL headers"
#endif

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

TEST_F(SyncLog, FullDiskLeavesNoTornLine) {
    // A file system of two pages, in a mount namespace of the child's own: the log's page
    // has room for half a line, and the other page is taken, as on a full disk. An account
    // other than root gets the namespace inside a user namespace of its own.
    const std::string mount = Dir.File("disk");
    ASSERT_EQ(::mkdir(mount.c_str(), 0700), 0);
    const std::string outcome = RunInChild([&] {
        if (::unshare(CLONE_NEWNS) != 0) {
            // The account keeps its ids inside, so that files can be made on the mount.
            const std::string uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
                return "no mount namespace: " + std::string(std::strerror(errno));
            WriteFile("/proc/self/uid_map", uid + " " + uid + " 1");
            WriteFile("/proc/self/setgroups", "deny");
            WriteFile("/proc/self/gid_map", gid + " " + gid + " 1");
        }
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", mount.c_str(), "tmpfs", 0, "size=8k") != 0)
            return "mount failed: " + std::string(std::strerror(errno));
        const std::string log = mount + "/VLHRMSync_log.txt";
        TDataModule1 module(log);
        std::string lines;
        while (lines.size() < 4096 - 40) lines += "Sync started at 01.02.2026 10:00:00\r\n";
        lines += std::string(4096 - 10 - lines.size() - 2, '.') + "\r\n";  // ten bytes of the page left
        WriteFile(log, lines);
        WriteFile(mount + "/filler", std::string(4096, 'x'));
        std::string result;
        try {
            module.SyncLogFile("%s import disabled", "BK");
            result = "written";
        } catch (const EWriteError& e) {
            result = e.Message();
        }
        result += ReadFile(log) == lines ? "|whole lines only" : "|torn: " + ReadFile(log).substr(lines.size());
        ::unlink((mount + "/filler").c_str());
        module.SyncLogFile("%s import disabled", "BK");  // with room again, the line goes in whole
        result += ReadFile(log) == lines + "BK import disabled\r\n" ? "|then whole" : "|then wrong";
        return result;
    });
    EXPECT_EQ(outcome, "Cannot write file \"" + mount + "/VLHRMSync_log.txt\". No space left on device|whole lines only|then whole");
}
