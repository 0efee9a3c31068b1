// The process's own command line and executable, as the kernel reports them.
#pragma once

#include <string>
#include <vector>

namespace keyrix::platform {

// The arguments the process was started with, its own name first (from /proc/self/cmdline).
std::vector<std::string> ProcessArguments();

// Full path of the running executable (from /proc/self/exe, not argv[0] or the working
// directory). Raises EOSError when the kernel does not tell.
std::string ExecutablePath();

// The executable's folder, ending with '/'.
std::string ExecutableDirectory();

}  // namespace keyrix::platform
