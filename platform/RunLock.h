// One synchronisation per host: an exclusive, non-blocking flock on a lock file, held for
// the whole run. Two processes of this system never work on the database at once, however
// they were started (service manager, debug run, a second administrator).
#pragma once

#include "common/Exceptions.h"
#include "platform/FileHandles.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace keyrix::platform {

// The run lock file (or its folder) could not be opened or created, or cannot be trusted:
// not a regular file, another account's, a file with a second name, a folder others can
// write. The message names the file or folder, and the owner where that is the fault.
KEYRIX_DECLARE_EXCEPTION(ERunLockError, EOSError);

// Makes the folder (mode 0755) when missing. Raises ERunLockError, naming it, when it
// cannot be made or opened, is a link or no folder, belongs to another account than root
// or this process's, or can be written by other accounts: one that others can write would
// let them plant, replace or hold the lock file.
void PrepareRunLockFolder(const std::string& folder);

class TRunLock {
public:
    // Only root may write it (mode 0755, owner root); it is made when missing.
    static constexpr const char* DefaultFolder = "/run/keyrix";
    // KEYRIX_RUN_LOCK when set, else "/run/keyrix/<serviceName>.lock".
    static std::string DefaultPath(const std::string& serviceName);

    // Opens (creating with mode 0600 when missing) the lock file and tries to take the lock
    // without waiting. When taken, the file then holds this process's id. In the default
    // folder, the folder is made first when missing. Raises ERunLockError when the folder
    // or the file cannot be opened or created, when the folder is not root's or others can
    // write it, and when the file is anything but a regular file of this process's account
    // with one name.
    explicit TRunLock(std::string path);
    TRunLock(const TRunLock&) = delete;
    TRunLock& operator=(const TRunLock&) = delete;
    // Releases the lock (the kernel does the same when the process dies).
    ~TRunLock();

    const std::string& Path() const { return FPath; }
    bool Held() const { return FHeld; }
    // When the lock is not held: the process id the file names, or 0 when it does not
    // (yet) name a running process. Only a claim: the file's content is no proof.
    pid_t HolderPid() const { return FHolderPid; }

private:
    [[noreturn]] void Refuse(const struct stat& st) const;

    std::string FPath;
    TFd FFd;
    bool FHeld = false;
    pid_t FHolderPid = 0;
};

}  // namespace keyrix::platform
