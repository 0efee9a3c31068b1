// TDataModule1: the central sync object, one per service run. It carries the run and its
// three phases, the sync log and (with the database layer) the pass and the imports.
#pragma once

#include "common/Format.h"

#include <string>
#include <string_view>

namespace keyrix {

// The DEBUG switch was present when the run began; debug lines then reach the log file.
extern bool DebugLogging;

class TDataModule1 {
public:
    // The sync log file; by default "VLHRMSync_log.txt" beside the executable.
    explicit TDataModule1(std::string logFilePath = DefaultLogFilePath());
    TDataModule1(const TDataModule1&) = delete;
    TDataModule1& operator=(const TDataModule1&) = delete;
    virtual ~TDataModule1();

    static std::string DefaultLogFilePath();
    const std::string& LogFilePath() const { return FLogFilePath; }

    // One run: start line, start-up, one pass, shut-down, finish line. Each phase reports
    // its own errors; only a failure of the log file for the two dated lines leaves here.
    void RunService();

    // The sync log (printf-style format and arguments).
    // File only, whatever "Log messages to file" says.
    template <class... Args>
    void SyncLogFile(std::string_view format, const Args&... args) {
        AppendLogLine(Format(format, args...));
    }
    // Console first, then the file when file logging is on.
    template <class... Args>
    void SyncLogError(std::string_view format, const Args&... args) {
        LogError(Format(format, args...));
    }
    // The file when file logging is on, then the console.
    template <class... Args>
    void SyncLogInfo(std::string_view format, const Args&... args) {
        LogInfo(Format(format, args...));
    }
    // The file when file logging is on and DebugLogging is set, then the console.
    template <class... Args>
    void SyncLogDebug(std::string_view format, const Args&... args) {
        LogDebug(Format(format, args...));
    }

protected:
    // The operations the phases call. Each raises on failure.
    virtual void ConnectDatabase();
    virtual void PrepareSchema();
    virtual void SyncPass();
    virtual void DisconnectDatabase();
    virtual void FreeQueries(const std::string& owner);

private:
    bool StartUp();
    void Work();
    void ShutDown();

    void AppendLogLine(const std::string& text);
    void LogError(const std::string& text);
    void LogInfo(const std::string& text);
    void LogDebug(const std::string& text);
    static bool LogToFile();

    std::string FLogFilePath;
};

// The object of the run in progress; null between runs.
extern TDataModule1* DataModule1;

}  // namespace keyrix
