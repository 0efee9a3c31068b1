#include "platform/SharedReadFile.h"

#include "common/Format.h"
#include "platform/PosixFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

namespace keyrix::platform {

TSharedReadFile::TSharedReadFile(std::string path) : FPath(std::move(path)) {
    // Non-blocking, so that a FIFO put in the file's place cannot hold the run.
    FFd.Reset(Env().Open(FPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (FFd.Get() < 0) {
        const int error = errno;
        throw EFOpenError(Format("Cannot open file \"%s\". %s", FPath, SysErrorMessage(error)));
    }
    struct stat st;
    if (Env().FileStat(FFd.Get(), st) != 0) {
        const int error = errno;
        throw EFOpenError(Format("Cannot open file \"%s\". %s", FPath, SysErrorMessage(error)));
    }
    if (!S_ISREG(st.st_mode))
        throw EFOpenError(Format("Cannot open file \"%s\". It is %s, not a regular file", FPath, FileKind(st.st_mode)));
    int result;
    do result = Env().Lock(FFd.Get(), LOCK_SH | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK)
            throw EFOpenError(Format("Cannot open file \"%s\". It is locked by another process that writes it", FPath));
        throw EFOpenError(Format("Cannot lock file \"%s\" for reading. %s", FPath, SysErrorMessage(error)));
    }
    // Reads block from here on: a regular file never waits for long.
    const int flags = Env().Control(FFd.Get(), F_GETFL);
    if (flags >= 0) (void)Env().Control(FFd.Get(), F_SETFL, flags & ~O_NONBLOCK);
}

}  // namespace keyrix::platform
