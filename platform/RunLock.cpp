#include "platform/RunLock.h"

#include "common/Format.h"
#include "platform/PosixFiles.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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
    return !path.empty() ? path : std::string(DefaultFolder) + "/" + serviceName + ".lock";
}

namespace {

// "root (uid 0)", or the bare id of an account the host does not name.
std::string Account(uid_t uid) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return Format("%s (uid %d)", std::string(found->pw_name), static_cast<std::int64_t>(uid));
    return Format("uid %d", static_cast<std::int64_t>(uid));
}

}  // namespace

void PrepareRunLockFolder(const std::string& folder) {
    const bool made = Env().MakeFolder(folder, 0755) == 0;
    if (!made && errno != EEXIST) {
        const int error = errno;
        throw ERunLockError(error, Format("Cannot create the run lock folder \"%s\". %s", folder, SysErrorMessage(error)));
    }
    // Looked at through a descriptor: a link, or a folder put in place after the look, is
    // not what is checked.
    struct stat st;
    TFd fd(Env().Open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.Get() < 0) {
        const int error = errno;
        if ((error == ELOOP || error == ENOTDIR) && Env().LinkStat(folder, st) == 0)
            throw ERunLockError(error, Format("The run lock folder \"%s\" is %s", folder, FileKind(st.st_mode)));
        throw ERunLockError(error, Format("Cannot open the run lock folder \"%s\". %s", folder, SysErrorMessage(error)));
    }
    // The mode asked for, whatever the process's umask.
    if (made) (void)Env().ChangeMode(fd.Get(), 0755);
    if (Env().FileStat(fd.Get(), st) != 0) {
        const int error = errno;
        throw ERunLockError(error, Format("Cannot open the run lock folder \"%s\". %s", folder, SysErrorMessage(error)));
    }
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        throw ERunLockError(EPERM, Format("The run lock folder \"%s\" belongs to %s, neither root nor this process's "
                                          "account",
                                          folder, Account(st.st_uid)));
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw ERunLockError(EPERM, Format("The run lock folder \"%s\" can be written by other accounts (mode %.4o)",
                                          folder, static_cast<std::int64_t>(st.st_mode & 07777)));
}

TRunLock::TRunLock(std::string path) : FPath(std::move(path)) {
    if (FolderOf(FPath) == DefaultFolder) PrepareRunLockFolder(DefaultFolder);
    // Follow no link and open no FIFO or device that someone put there in its place, since
    // the holder truncates and writes the file.
    struct stat st;
    if (Env().LinkStat(FPath, st) == 0 && !S_ISREG(st.st_mode))
        throw ERunLockError(EINVAL, Format("The run lock file \"%s\" is %s", FPath, FileKind(st.st_mode)));
    // Only this account may open it: whoever can open it can hold its lock.
    FFd.Reset(Env().Open(FPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    int error = FFd.Get() < 0 ? errno : 0;
    if (FFd.Get() < 0) {
        if (Env().LinkStat(FPath, st) == 0) {
            if (error == ELOOP)
                throw ERunLockError(error, Format("The run lock file \"%s\" is %s", FPath, FileKind(st.st_mode)));
            if (st.st_uid != ::geteuid()) Refuse(st);
        }
        throw ERunLockError(error, Format("Cannot open the run lock file \"%s\". %s", FPath, SysErrorMessage(error)));
    }
    if (Env().FileStat(FFd.Get(), st) != 0) {
        error = errno;
        throw ERunLockError(error, Format("Cannot open the run lock file \"%s\". %s", FPath, SysErrorMessage(error)));
    }
    if (!S_ISREG(st.st_mode))
        throw ERunLockError(EINVAL, Format("The run lock file \"%s\" is %s", FPath, FileKind(st.st_mode)));
    if (st.st_uid != ::geteuid()) Refuse(st);
    // A second name of the file may be another file's, which the holder would empty.
    if (st.st_nlink != 1)
        throw ERunLockError(EPERM, Format("The run lock file \"%s\" has %d names (hard links); one of this process's "
                                          "own is expected",
                                          FPath, static_cast<std::int64_t>(st.st_nlink)));
    // A file of an earlier version, readable by all: others could hold its lock.
    if ((st.st_mode & 077) != 0 && Env().ChangeMode(FFd.Get(), 0600) != 0) {
        error = errno;
        throw ERunLockError(error, Format("Cannot make the run lock file \"%s\" private. %s", FPath,
                                          SysErrorMessage(error)));
    }
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

void TRunLock::Refuse(const struct stat& st) const {
    throw ERunLockError(EPERM, Format("The run lock file \"%s\" belongs to %s, not to this process's account %s: "
                                      "another account may hold or plant it",
                                      FPath, Account(st.st_uid), Account(::geteuid())));
}

TRunLock::~TRunLock() {
    // A file left empty names no holder to whoever finds the lock taken before the next
    // holder has written its id.
    if (FHeld) (void)!Env().Truncate(FFd.Get(), 0);
}

}  // namespace keyrix::platform
