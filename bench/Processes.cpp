#include "bench/Processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace keyrix::bench {

namespace {

std::vector<char*> Argv(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Forks a child whose standard output (and standard error, with both) goes to a pipe.
pid_t Spawn(const std::vector<std::string>& arguments, bool both, bool diesWithParent, int& readEnd) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    std::vector<char*> argv = Argv(arguments);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // A server left behind by a benchmark that was killed would serve forever.
        if (diesWithParent && (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)) ::_exit(127);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        if (both) ::dup2(pipeFds[1], STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    readEnd = pipeFds[0];
    return pid;
}

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

TCommandResult RunProgram(const std::vector<std::string>& arguments) {
    int output = -1;
    const pid_t pid = Spawn(arguments, true, true, output);
    TCommandResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(output, buffer, sizeof buffer);
        if (n > 0) {
            result.Output.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    ::close(output);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.ExitCode = ExitCodeOf(status);
    if (result.ExitCode == 127 && result.Output.empty()) result.Output = "cannot run " + arguments[0];
    return result;
}

TServerProcess::TServerProcess(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    FPid = Spawn(all, false, true, FOutput);

    const std::string prefix = "listening on port ";
    std::string text;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(StartSeconds);
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd ready{FOutput, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = ::read(FOutput, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (text.rfind(prefix, 0) == 0) FPort = std::atoi(text.c_str() + prefix.size());
    if (FPort <= 0) {
        Stop();
        throw std::runtime_error(program + " did not report a port within " + std::to_string(StartSeconds) +
                                 " s (it said: \"" + text + "\")");
    }
}

TServerProcess::~TServerProcess() { Stop(); }

void TServerProcess::Stop() {
    if (FPid > 0) {
        ::kill(FPid, SIGTERM);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 50 && !ended; ++i) {
            ended = ::waitpid(FPid, &status, WNOHANG) == FPid;
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!ended) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, &status, 0);
        }
        FPid = -1;
    }
    if (FOutput >= 0) ::close(FOutput);
    FOutput = -1;
}

}  // namespace keyrix::bench
