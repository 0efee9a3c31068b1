// The child processes of the benchmark: isql-fb for making and dropping its database, and
// the demo HRM web service it downloads the feed from.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace keyrix::bench {

struct TCommandResult {
    int ExitCode = -1;
    std::string Output;  // standard output and standard error
};

// Runs the program (looked up in PATH) with the arguments and waits for it.
TCommandResult RunProgram(const std::vector<std::string>& arguments);

// keyrix-demo-server serving one file, started with the arguments after the program's
// path. It ends with this object, or with the benchmark's process should that die first.
class TServerProcess {
public:
    static constexpr int StartSeconds = 15;  // for the "listening on port N" line

    // Raises std::runtime_error when it does not start listening in time.
    TServerProcess(const std::string& program, const std::vector<std::string>& arguments);
    TServerProcess(const TServerProcess&) = delete;
    TServerProcess& operator=(const TServerProcess&) = delete;
    // SIGTERM, then SIGKILL when it has not ended within a few seconds.
    ~TServerProcess();

    int Port() const { return FPort; }

private:
    void Stop();

    pid_t FPid = -1;
    int FOutput = -1;
    int FPort = 0;
};

}  // namespace keyrix::bench
