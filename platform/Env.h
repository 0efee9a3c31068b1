// The environment of the platform parts that touch files, locks and the clock (the hive, the
// sync log, the event-log file, the card-holder file, the run lock and the unit files): one
// small interface, so that tests can put a fault-injecting one in its place.
//
// The file operations keep the POSIX conventions: a failure answers -1 (or nullptr) with
// errno set, and EINTR comes back to the caller, which retries where it always has. The
// configuration the process environment gives (KEYRIX_REGISTRY, ...) is read once, when the
// default env is made; ReloadEnvironment reads it again (for tests that change it).
#pragma once

#include "common/ThreadSafety.h"
#include "platform/Seam.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace keyrix::platform {

// The overrides from the process environment; "" when a variable is unset or empty.
struct TEnvConfig {
    std::string Registry;    // KEYRIX_REGISTRY: the hive file
    std::string EventLog;    // KEYRIX_EVENTLOG: the event-log file instead of the journal
    std::string SystemdDir;  // KEYRIX_SYSTEMD_DIR: the unit folder (no systemctl then)
    std::string RunLock;     // KEYRIX_RUN_LOCK: the run lock file
};

class IEnv {
public:
    virtual ~IEnv() = default;

    virtual int Open(const std::string& path, int flags, mode_t mode = 0) = 0;
    // mkostemp: the template's XXXXXX are replaced in place.
    virtual int MakeTemporary(std::string& pathTemplate, int flags) = 0;
    // The descriptor is gone afterwards whatever the answer (as close does on Linux).
    virtual int Close(int fd) = 0;
    virtual ssize_t Read(int fd, void* buffer, std::size_t size) = 0;
    virtual ssize_t ReadAt(int fd, void* buffer, std::size_t size, off_t offset) = 0;
    virtual ssize_t Write(int fd, const void* bytes, std::size_t size) = 0;
    virtual ssize_t WriteAt(int fd, const void* bytes, std::size_t size, off_t offset) = 0;
    virtual int Sync(int fd) = 0;
    virtual int Truncate(int fd, off_t size) = 0;
    virtual int ChangeMode(int fd, mode_t mode) = 0;
    virtual int ChangeOwner(int fd, uid_t owner, gid_t group) = 0;
    virtual int Stat(const std::string& path, struct stat& st) = 0;
    virtual int LinkStat(const std::string& path, struct stat& st) = 0;  // lstat
    virtual int FileStat(int fd, struct stat& st) = 0;                    // fstat
    // faccessat with the effective ids.
    virtual int Access(const std::string& path, int mode) = 0;
    // renameat2; flags 0 is rename.
    virtual int Rename(const std::string& from, const std::string& to, unsigned flags = 0) = 0;
    virtual int Link(const std::string& from, const std::string& to) = 0;
    virtual int Unlink(const std::string& path) = 0;
    virtual int MakeFolder(const std::string& path, mode_t mode) = 0;
    // The names in a folder, without "." and "..".
    virtual int ListFolder(const std::string& path, std::vector<std::string>& names) = 0;
    virtual int Lock(int fd, int operation) = 0;  // flock
    virtual int Control(int fd, int command, int argument = 0) = 0;  // fcntl with an int
    // realpath; "" with errno set when it fails.
    virtual std::string RealPath(const std::string& path) = 0;

    // The wall clock, for the dated lines.
    virtual std::chrono::system_clock::time_point Now() = 0;
    // A millisecond tick that wraps at 2^32, for durations.
    virtual std::uint32_t Ticks() = 0;

    virtual TEnvConfig Config() = 0;
};

// The operating system's env.
class TPosixEnv : public IEnv {
public:
    TPosixEnv();

    int Open(const std::string& path, int flags, mode_t mode) override;
    int MakeTemporary(std::string& pathTemplate, int flags) override;
    int Close(int fd) override;
    ssize_t Read(int fd, void* buffer, std::size_t size) override;
    ssize_t ReadAt(int fd, void* buffer, std::size_t size, off_t offset) override;
    ssize_t Write(int fd, const void* bytes, std::size_t size) override;
    ssize_t WriteAt(int fd, const void* bytes, std::size_t size, off_t offset) override;
    int Sync(int fd) override;
    int Truncate(int fd, off_t size) override;
    int ChangeMode(int fd, mode_t mode) override;
    int ChangeOwner(int fd, uid_t owner, gid_t group) override;
    int Stat(const std::string& path, struct stat& st) override;
    int LinkStat(const std::string& path, struct stat& st) override;
    int FileStat(int fd, struct stat& st) override;
    int Access(const std::string& path, int mode) override;
    int Rename(const std::string& from, const std::string& to, unsigned flags) override;
    int Link(const std::string& from, const std::string& to) override;
    int Unlink(const std::string& path) override;
    int MakeFolder(const std::string& path, mode_t mode) override;
    int ListFolder(const std::string& path, std::vector<std::string>& names) override;
    int Lock(int fd, int operation) override;
    int Control(int fd, int command, int argument) override;
    std::string RealPath(const std::string& path) override;
    std::chrono::system_clock::time_point Now() override;
    std::uint32_t Ticks() override;
    TEnvConfig Config() override;

    // Reads the process environment again.
    void Reload();

private:
    TMutex FLock;  // Config and Reload may run on different threads
    TEnvConfig FConfig KEYRIX_GUARDED_BY(FLock);
};

// The env of this process: the POSIX one unless a test put in another (TScopedEnv; the
// threads of the seam's contract in Seam.h).
IEnv& Env();
// The POSIX env reads the process environment again: for tests that change the variables.
void ReloadEnvironment();

// Puts an env in place for a scope.
using TScopedEnv = TSeam<IEnv>::TScoped;

}  // namespace keyrix::platform
