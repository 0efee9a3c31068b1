// One synchronisation per host: an exclusive, non-blocking flock on a lock file, held for
// the whole run. Two processes of this system never work on the database at once, however
// they were started (service manager, debug run, a second administrator).
#pragma once

#include "common/Exceptions.h"
#include "platform/FileHandles.h"

#include <sys/types.h>

#include <string>

namespace keyrix::platform {

// The run lock file could not be opened or created, or is not a regular file; the message
// names the file.
KEYRIX_DECLARE_EXCEPTION(ERunLockError, EOSError);

class TRunLock {
public:
    // KEYRIX_RUN_LOCK when set, else "/run/lock/<serviceName>.lock".
    static std::string DefaultPath(const std::string& serviceName);

    // Opens (creating when missing) the lock file and tries to take the lock without
    // waiting. When taken, the file then holds this process's id. Raises ERunLockError when
    // the file cannot be opened or created, or is anything but a regular file.
    explicit TRunLock(std::string path);
    TRunLock(const TRunLock&) = delete;
    TRunLock& operator=(const TRunLock&) = delete;
    // Releases the lock (the kernel does the same when the process dies).
    ~TRunLock();

    const std::string& Path() const { return FPath; }
    bool Held() const { return FHeld; }
    // When the lock is not held: the process id its holder wrote, or 0 when the file does
    // not (yet) name a running process.
    pid_t HolderPid() const { return FHolderPid; }

private:
    std::string FPath;
    TFd FFd;
    bool FHeld = false;
    pid_t FHolderPid = 0;
};

}  // namespace keyrix::platform
