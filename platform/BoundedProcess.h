// Running another program with a bounded wait: no shell, no terminal, its output caught, and
// the program with what it started killed when the time is up.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace keyrix::platform {

// Runs a program (looked up in PATH, no shell) with the given arguments, the program
// first, and waits at most the given time; a program still running then is killed, with
// what it started (its process group). Answers its exit status, or -1 when it could not
// run, was killed or timed out.
// Nothing it prints reaches the process's terminal: its standard input is /dev/null, and
// its standard output and error go, as written, into output (when given), up to
// outputLimit bytes; the rest is read and dropped. Output still coming from what it left
// running after it ended is not waited for.
int RunProgramBounded(const std::vector<std::string>& arguments, std::chrono::milliseconds limit,
                      std::string* output = nullptr, std::size_t outputLimit = 16384);

}  // namespace keyrix::platform
