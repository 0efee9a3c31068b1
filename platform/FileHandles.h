// Owners of file descriptors and of temporary files, so that no error path leaks either.
#pragma once

#include "platform/Env.h"

#include <cerrno>
#include <string>

namespace keyrix::platform {

class TFd {
public:
    explicit TFd(int fd = -1) : FFd(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() { Reset(); }

    int Get() const { return FFd; }
    void Reset(int fd = -1) {
        if (FFd >= 0) Env().Close(FFd);
        FFd = fd;
    }
    // Closes now, answering close's errno (0 when it succeeded, or when nothing was open):
    // a failed close of a written file may mean lost data.
    int Close() {
        if (FFd < 0) return 0;
        const int fd = FFd;
        FFd = -1;
        return Env().Close(fd) == 0 ? 0 : errno;
    }

private:
    int FFd;
};

// Removes a temporary file unless it was put in place (Keep).
class TTempFile {
public:
    explicit TTempFile(std::string path) : FPath(std::move(path)) {}
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
    ~TTempFile() {
        if (!FKept) Env().Unlink(FPath);
    }
    const std::string& Path() const { return FPath; }
    void Keep() { FKept = true; }

private:
    std::string FPath;
    bool FKept = false;
};

}  // namespace keyrix::platform
