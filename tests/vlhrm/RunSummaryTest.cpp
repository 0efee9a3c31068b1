// The run summary's pieces that are pure logic: the JSON text of 8-bit texts, the guard's
// rule at its limit, the change report's first employee numbers, and the file replaced whole
// (or, when that fails, removed).
#include "Services/SyncClients/VLHRM/RunSummary.h"
#include "common/Exceptions.h"
#include "tests/TestSupport.h"
#include "tests/support/FaultyEnv.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>

#include <filesystem>

using namespace keyrix;
using namespace keyrix::test;

TEST(RunSummaryJson, TextsAreEscapedAndConvertedFromTheAnsiCodePage) {
    struct Case {
        std::string ansi, json;
    };
    const Case cases[] = {
        {"plain", "\"plain\""},
        {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
        {"a\r\nb\tc", "\"a\\r\\nb\\tc\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
        {"Caf\xE9 \x80", "\"Caf\xC3\xA9 \xE2\x82\xAC\""},  // Windows-1252 e acute and euro sign
    };
    for (const Case& c : cases) EXPECT_EQ(JsonString(c.ansi), c.json) << c.ansi;
}

TEST(RunSummaryGuard, AtTheLimitPassesOnePastFails) {
    struct Case {
        std::int64_t count, base;
        std::int32_t limit;
        bool exceeded;
    };
    const Case cases[] = {
        {2, 4, 50, false}, {3, 4, 50, true},  {1, 3, 33, true},    {1, 3, 34, false},
        {0, 0, 1, false},  {5, 5, 100, false}, {9, 10, 0, false},  // 0 is off
        {1, 200, 1, false}, {3, 200, 1, true},
    };
    for (const Case& c : cases) {
        TGuardShare share;
        share.Count = c.count;
        share.Base = c.base;
        share.Limit = c.limit;
        EXPECT_EQ(share.Exceeded(), c.exceeded) << c.count << " of " << c.base << " at " << c.limit << "%";
    }
}

TEST(RunSummaryChanges, KeepsTheFirstTenNumbersAndDropsWhatARecordRolledBack) {
    TChangeReport report;
    TPendingChanges pending;
    for (int i = 1; i <= 12; ++i) {
        pending.Add(TChangeKind::UserAdded, "E" + std::to_string(i));
        if (i == 3) {
            pending.Clear();  // the record went back to its savepoint
            continue;
        }
        pending.MoveTo(report);
    }
    const TChangeList& added = report.Of(TChangeKind::UserAdded);
    EXPECT_EQ(added.Count, 11);
    EXPECT_EQ(added.First, (std::vector<std::string>{"E1", "E2", "E4", "E5", "E6", "E7", "E8", "E9", "E10", "E11"}));
    EXPECT_EQ(report.Of(TChangeKind::CardAdded).Count, 0);

    TRunSummary summary;
    summary.Changes = report;
    summary.DryRun = true;
    const std::vector<std::string> lines = ChangeReportLines(summary);
    ASSERT_EQ(lines.size(), 6u) << "the link kinds and leavers were not measured";
    EXPECT_EQ(lines[0], "Dry run: 11 users added: E1, E2, E4, E5, E6, E7, E8, E9, E10, E11, ...");
    EXPECT_EQ(lines[1], "Dry run: 0 users updated");
}

// The file a reader finds is always a whole summary: written beside, flushed, renamed; its
// mode is 0600 from the start; the text reads back with jq as it was given.
TEST(RunSummaryFile, ReplacedWholeWithModeOwnerOnly) {
    TTempDir dir;
    const std::string path = dir.File("VLHRMSync_last.json");
    WriteFile(path, "old");
    TRunSummary summary;
    summary.Outcome = TRunOutcome::FailedWork;
    summary.ErrorClass = "EFOpenError";
    summary.ErrorMessage = "Cannot open \"C:\\BKE\\f\xE9.xml\"\r\n\ttab";
    summary.Changes.Add(TChangeKind::UserUnlinked, "00\"1");
    summary.Unlinks.Measured = true;
    WriteSummaryFile(path, SummaryJson(summary));

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), std::filesystem::directory_iterator()), 1)
        << "no temporary file left";
    const TCommandResult read = RunCommand(
        "jq -j '.outcome, \"|\", .errorMessage, \"|\", .changes.usersUnlinked.first[0], \"|\", "
        ".changes.usersMarkedDeleted, \"|\", .phasesMs.startUp' '" + path + "' 2>&1");
    ASSERT_EQ(read.ExitCode, 0) << read.Output;
    EXPECT_EQ(read.Output, "failed-work|Cannot open \"C:\\BKE\\f\xC3\xA9.xml\"\r\n\ttab|00\"1|null|null");

    // A folder that cannot take the file: the error names it, the old file stays.
    const std::string missing = dir.File("gone/VLHRMSync_last.json");
    try {
        WriteSummaryFile(missing, "{}\n");
        FAIL() << "wrote into a missing folder";
    } catch (const EWriteError& e) {
        EXPECT_NE(e.Message().find(missing), std::string::npos) << e.Message();
    }
    EXPECT_NE(ReadFile(path).find("failed-work"), std::string::npos);
}

// A replacement that fails at any step leaves neither the previous file, which would claim
// the last run for this one, nor its temporary file; the error says so.
TEST(RunSummaryFile, AFailedReplacementRemovesThePreviousFile) {
    struct Case {
        const char* what;
        TFault fault;
        const char* step;  // as the message names it
        mode_t mode = 0600;
        const char* group = "";
    };
    const Case cases[] = {
        {"full disk", FailAt(1, ENOSPC, WriteKinds), "write"},
        {"flush", FailAt(1, EIO, Kind(TEnvOp::Sync)), "flush"},
        {"close", FailAt(1, EIO, Kind(TEnvOp::Close)), "close"},
        {"rename", FailAt(1, EIO, Kind(TEnvOp::Rename)), "rename"},
        {"no temporary file", FailAt(1, EDQUOT, Kind(TEnvOp::MakeTemporary)), "create"},
        {"mode of a file others read", FailAt(1, EPERM, Kind(TEnvOp::ChangeMode)), "set the mode of", 0644},
        {"group of a file a group reads", FailAt(1, EPERM, Kind(TEnvOp::ChangeOwner)), "give the group \"root\" to",
         0640, "root"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TTempDir dir;
        const std::string path = dir.File("VLHRMSync_last.json");
        WriteFile(path, "{\"outcome\": \"done\"}\n");
        TFaultyEnv faulty(platform::Env());
        {
            platform::TScopedEnv scoped(faulty);
            faulty.Arm(c.fault);
            try {
                if (c.mode == 0600 && *c.group == '\0')
                    WriteSummaryFile(path, "{}\n");
                else
                    WriteReportFile({path, "run summary", c.mode, c.group}, "{}\n");
                FAIL() << "the write went through";
            } catch (const EWriteError& e) {
                EXPECT_NE(e.Message().find("Cannot write the run summary \"" + path + "\" (" + c.step + " \"" + path +
                                           "."),
                          std::string::npos)
                    << e.Message();
                EXPECT_NE(e.Message().find(SysErrorMessage(c.fault.Error) + "; the previous file was removed"),
                          std::string::npos)
                    << e.Message();
            }
            EXPECT_TRUE(faulty.Fired());
        }
        EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << "the previous file and the temporary one are gone";
    }
}

// With a monitoring group the summary is that group's to read (0640); a group that does not
// exist writes nothing and removes the previous file, as any failed write.
TEST(RunSummaryFile, MonitoringGroupMayReadIt) {
    TTempDir dir;
    const std::string path = dir.File("VLHRMSync_last.json");
    WriteSummaryFile(path, "{}\n", "nogroup");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    const ::group* nogroup = ::getgrnam("nogroup");
    ASSERT_NE(nogroup, nullptr);
    EXPECT_EQ(st.st_gid, nogroup->gr_gid);

    try {
        WriteSummaryFile(path, "{}\n", "no-such-group-here");
        FAIL() << "wrote with an unknown group";
    } catch (const EWriteError& e) {
        EXPECT_EQ(e.Message(), "Cannot write the run summary \"" + path +
                                   "\" for the group \"no-such-group-here\": there is no such group; the previous "
                                   "file was removed");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}
