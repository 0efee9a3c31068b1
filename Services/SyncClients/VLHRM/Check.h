// The check command: the last run's summary read as a monitoring plugin reports it (Nagios,
// Icinga, Zabbix): one line "KEYRIX SYNC <STATE> - <text> | <performance data>" and the
// state as the exit code. It reads the summary and nothing else, and writes nothing.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace keyrix {

enum class TCheckState { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

struct TCheckResult {
    TCheckState State = TCheckState::Unknown;
    std::string Line;  // the whole line, without its line feed
};

// The answer for a summary's text (UTF-8 JSON) at the time given; the path is for messages.
TCheckResult CheckSummaryText(std::string_view json, const std::string& path,
                              std::chrono::system_clock::time_point now);
// The answer for the summary file: UNKNOWN with the reason when it is missing, cannot be
// read or is no summary. Never waits on what lies at the path.
TCheckResult CheckSummaryFile(const std::string& path, std::chrono::system_clock::time_point now);

// /CHECK: the summary beside the executable, the line on standard output; answers the exit code.
int RunCheck();

}  // namespace keyrix
