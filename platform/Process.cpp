#include "platform/Process.h"

#include "common/Exceptions.h"
#include "common/Format.h"
#include "common/TextUtils.h"

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

namespace keyrix::platform {

std::vector<std::string> ProcessArguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An empty argument is an argument.
    return SplitNul(all, false);
}

std::string ExecutablePath() {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            int error = errno;
            throw EOSError(error, Format("Cannot read the executable's path from /proc/self/exe. %s",
                                         SysErrorMessage(error)));
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);  // the link may have been cut: try a bigger buffer
    }
}

std::string ExecutableDirectory() {
    std::string path = ExecutablePath();
    return path.substr(0, path.rfind('/') + 1);
}

}  // namespace keyrix::platform
