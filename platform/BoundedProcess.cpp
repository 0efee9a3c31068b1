#include "platform/BoundedProcess.h"

#include "platform/FileHandles.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

extern char** environ;

namespace keyrix::platform {

namespace {

// The process blocks the signals its signal thread waits for and ignores SIGPIPE, and a
// spawned program would inherit that: it starts with them unblocked and at their default
// action instead.
void ResetSignalsForChild(posix_spawnattr_t& attributes) {
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR2, SIGPIPE}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

}  // namespace

int RunProgramBounded(const std::vector<std::string>& arguments, std::chrono::milliseconds limit, std::string* output,
                      std::size_t outputLimit) {
    if (output != nullptr) output->clear();
    if (arguments.empty()) return -1;
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // Both streams into one pipe, in the order the program wrote them; the pipe's own ends
    // are closed in the program by close-on-exec.
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
    TFd reader(pipeEnds[0]), writer(pipeEnds[1]);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writer.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writer.Get(), STDERR_FILENO);
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    ResetSignalsForChild(attributes);
    // A group of its own, so that what it starts goes with it when the time is up.
    short flags = 0;
    posix_spawnattr_getflags(&attributes, &flags);
    posix_spawnattr_setflags(&attributes, static_cast<short>(flags | POSIX_SPAWN_SETPGROUP));
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    writer.Reset();  // the end of the output comes when the program's copies close
    if (rc != 0) return -1;
    ::fcntl(reader.Get(), F_SETFL, ::fcntl(reader.Get(), F_GETFL) | O_NONBLOCK);

    // Reads what is there now, at most count bytes, so that a program that never stops
    // printing still meets the limit; answers false at the end of the output. Beyond the
    // bound it is read and dropped, so that a program that prints much is not held up by a
    // full pipe.
    auto drain = [&](std::size_t count) {
        char buffer[4096];
        while (count > 0) {
            const ssize_t n = ::read(reader.Get(), buffer, std::min(sizeof buffer, count));
            if (n > 0) {
                const auto got = static_cast<std::size_t>(n);
                if (output != nullptr && output->size() < outputLimit)
                    output->append(buffer, std::min(got, outputLimit - output->size()));
                count -= got;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return n < 0 && errno == EAGAIN;
        }
        return true;
    };

    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool open = true;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            // Its writes are all in the pipe now; what it left running may hold the pipe
            // open and go on writing, and is neither waited for nor read.
            int pending = 0;
            if (open && ::ioctl(reader.Get(), FIONREAD, &pending) == 0 && pending > 0)
                drain(static_cast<std::size_t>(pending));
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) return -1;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            ::kill(-pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        // Woken by output, else soon enough to see the program end.
        const auto wait = std::min<std::chrono::milliseconds>(
            std::chrono::milliseconds(10), std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        if (open) {
            pollfd ready{reader.Get(), POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(wait.count())) > 0) open = drain(65536);
        } else {
            std::this_thread::sleep_for(wait);
        }
    }
}

}  // namespace keyrix::platform
