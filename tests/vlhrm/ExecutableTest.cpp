// The built executable, copied to a folder of its own and run as an administrator would.
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace keyrix::test;
using Lines = std::vector<std::string>;

namespace {

class Executable : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(KEYRIX_EXECUTABLE, Binary);
        std::filesystem::permissions(Binary, std::filesystem::perms::owner_all);
    }
    // Runs from another working directory, so that only the executable's own folder can
    // explain where the log file lands.
    TCommandResult Run(const std::string& arguments) {
        return RunCommand("cd '" + WorkDir.Path() + "' && '" + Binary + "' " + arguments + " 2>&1");
    }
    static Lines SplitCrLf(const std::string& text) {
        Lines lines;
        std::string::size_type start = 0, end;
        while ((end = text.find("\r\n", start)) != std::string::npos) {
            lines.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }

    TTempDir InstallDir, WorkDir;
    std::string Binary = InstallDir.File("KeyrixSyncVLHRM");
    std::string LogFile = InstallDir.File("VLHRMSync_log.txt");
};

}  // namespace

TEST_F(Executable, DebugRunLogsBesideTheExecutable) {
    TCommandResult result = Run("/SVC /DEBUG");
    EXPECT_EQ(result.ExitCode, 0);
    Lines expected = {"Application initalizing",
                      "Starting services in debug mode",
                      "LogMessage: Critical error on service startup:",
                      "ENotAvailable",
                      "ConnectDatabase is not available in this build",
                      "LogMessage: Critical error on service shutdown:",
                      "ENotAvailable",
                      "DisconnectDatabase is not available in this build",
                      "LogMessage: Keyrix sync server finished!",
                      "All services stopped",
                      "Application finished"};
    EXPECT_EQ(SplitCrLf(result.Output), expected) << result.Output;

    Lines log = ReadCrLfLines(LogFile);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].rfind("Sync started at ", 0), 0u) << log[0];
    EXPECT_EQ(log[1].rfind("Sync finished at ", 0), 0u) << log[1];
    EXPECT_FALSE(FileExists(WorkDir.File("VLHRMSync_log.txt")));
}

TEST_F(Executable, VerboseHidesTheEventLogEcho) {
    TCommandResult result = Run("/SVC /DEBUG /VERBOSE");
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output.find("LogMessage: "), std::string::npos) << result.Output;
    EXPECT_NE(result.Output.find("Application initalizing\r\n"), std::string::npos);
}

TEST_F(Executable, ModesOfLaterBuildsRefuseAndFail) {
    for (const char* arguments : {"", "/INSTALL", "/SVC"}) {
        TCommandResult result = Run(arguments);
        EXPECT_EQ(result.ExitCode, 1) << arguments;
        EXPECT_NE(result.Output.find("is not available in this build"), std::string::npos) << result.Output;
    }
    EXPECT_FALSE(FileExists(LogFile)) << "no run was started";
}

TEST_F(Executable, ArgumentsThatSelectNoModeDoNothing) {
    TCommandResult result = Run("report.txt /debugx");
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, "");
    EXPECT_FALSE(FileExists(LogFile));
}
