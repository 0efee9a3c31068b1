#include "platform/RunLock.h"

#include "common/Format.h"
#include "platform/PosixFiles.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace keyrix::platform {

namespace {

// The id in the file, when it names a process that exists; the holder may not have
// written it yet, so an empty or partial file answers 0.
pid_t ReadHolder(int fd) {
    char text[32];
    ssize_t n;
    do n = Env().ReadAt(fd, text, sizeof text - 1, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return 0;
    text[n] = '\0';
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\n' || pid <= 0 || pid > 0x3fffffff) return 0;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return 0;
    return static_cast<pid_t>(pid);
}

}  // namespace

std::string TRunLock::DefaultPath(const std::string& serviceName) {
    std::string path = Env().Config().RunLock;
    return !path.empty() ? path : "/run/lock/" + serviceName + ".lock";
}

TRunLock::TRunLock(std::string path) : FPath(std::move(path)) {
    // The lock folder is writable by everyone: follow no link and open no FIFO or device
    // that someone put there in its place, since the holder truncates and writes the file.
    struct stat st;
    if (Env().LinkStat(FPath, st) == 0 && !S_ISREG(st.st_mode))
        throw ERunLockError(EINVAL, Format("The run lock file \"%s\" is %s", FPath, FileKind(st.st_mode)));
    FFd.Reset(Env().Open(FPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    // Another account's file (root's service beside a debug run as a user, or the other way
    // round in a sticky folder): flock needs no write access, only the id is not written.
    int error = FFd.Get() < 0 ? errno : 0;
    if (error == EACCES) FFd.Reset(Env().Open(FPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (FFd.Get() < 0) {
        if (error == ELOOP && Env().LinkStat(FPath, st) == 0)
            throw ERunLockError(error, Format("The run lock file \"%s\" is %s", FPath, FileKind(st.st_mode)));
        throw ERunLockError(error, Format("Cannot open the run lock file \"%s\". %s", FPath, SysErrorMessage(error)));
    }
    if (Env().FileStat(FFd.Get(), st) != 0) {
        error = errno;
        throw ERunLockError(error, Format("Cannot open the run lock file \"%s\". %s", FPath, SysErrorMessage(error)));
    }
    if (!S_ISREG(st.st_mode))
        throw ERunLockError(EINVAL, Format("The run lock file \"%s\" is %s", FPath, FileKind(st.st_mode)));
    int result;
    do result = Env().Lock(FFd.Get(), LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        error = errno;
        if (error != EWOULDBLOCK)
            throw ERunLockError(error, Format("Cannot lock the run lock file \"%s\". %s", FPath, SysErrorMessage(error)));
        FHolderPid = ReadHolder(FFd.Get());
        return;
    }
    FHeld = true;
    // Only a help for whoever finds the lock taken, so a failure to write it is no error.
    const std::string text = std::to_string(::getpid()) + "\n";
    if (Env().Truncate(FFd.Get(), 0) == 0) (void)!Env().WriteAt(FFd.Get(), text.data(), text.size(), 0);
}

TRunLock::~TRunLock() {
    // A file left empty names no holder to whoever finds the lock taken before the next
    // holder has written its id.
    if (FHeld) (void)!Env().Truncate(FFd.Get(), 0);
}

}  // namespace keyrix::platform
