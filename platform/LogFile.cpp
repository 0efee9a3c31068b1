#include "platform/LogFile.h"

#include "common/Exceptions.h"
#include "common/Format.h"
#include "platform/FileHandles.h"
#include "platform/PosixFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace keyrix::platform {

void AppendToFileExclusive(const std::string& path, std::string_view bytes) {
    struct stat st;
    if (Env().LinkStat(path, st) != 0) {
        TFd created(Env().Open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (created.Get() < 0) {
            int error = errno;
            throw EFCreateError(Format("Cannot create file \"%s\". %s", path, SysErrorMessage(error)));
        }
        Env().Sync(created.Get());
    }

    TFd file(Env().Open(path, O_WRONLY | O_APPEND | O_CLOEXEC));
    if (file.Get() < 0) {
        int error = errno;
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path, SysErrorMessage(error)));
    }
    if (Env().Lock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path,
                                 error == EWOULDBLOCK ? FileLockedText : SysErrorMessage(error)));
    }
    // Under the lock the end of the file is ours, so a line that cannot be written whole
    // (a full disk) is taken back: no torn line is left.
    int cutError = 0;
    if (const int error = AppendWhole(file.Get(), bytes, &cutError)) {
        std::string message = Format("Cannot write file \"%s\". %s", path, SysErrorMessage(error));
        if (cutError != 0)
            message += Format(" The part of the line written could not be removed: %s", SysErrorMessage(cutError));
        throw EWriteError(message);
    }
}

}  // namespace keyrix::platform
