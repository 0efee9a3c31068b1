#include "platform/LogFile.h"

#include "common/Exceptions.h"
#include "common/Format.h"
#include "platform/FileHandles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace keyrix::platform {

void AppendToFileExclusive(const std::string& path, std::string_view bytes) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        TFd created(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (created.Get() < 0) {
            int error = errno;
            throw EFCreateError(Format("Cannot create file \"%s\". %s", path, SysErrorMessage(error)));
        }
        ::fsync(created.Get());
    }

    TFd file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (file.Get() < 0) {
        int error = errno;
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path, SysErrorMessage(error)));
    }
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path,
                                 error == EWOULDBLOCK ? FileLockedText : SysErrorMessage(error)));
    }
    // Under the lock the end of the file is ours: where it stands now is where a line that
    // cannot be written whole (a full disk) is cut back to, so no torn line is left.
    struct stat before;
    if (::fstat(file.Get(), &before) != 0) {
        int error = errno;
        throw EWriteError(Format("Cannot write file \"%s\". %s", path, SysErrorMessage(error)));
    }
    while (!bytes.empty()) {
        ssize_t n = ::write(file.Get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            std::string message = Format("Cannot write file \"%s\". %s", path, SysErrorMessage(error));
            int cut;
            do cut = ::ftruncate(file.Get(), before.st_size);
            while (cut != 0 && errno == EINTR);
            if (cut != 0) message += Format(" The part of the line written could not be removed: %s", SysErrorMessage(errno));
            throw EWriteError(message);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace keyrix::platform
