#include "platform/Env.h"

#include "common/Debug.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace keyrix::platform {

namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

TEnvConfig ReadConfig() {
    return {Variable("KEYRIX_REGISTRY"), Variable("KEYRIX_EVENTLOG"), Variable("KEYRIX_SYSTEMD_DIR"),
            Variable("KEYRIX_RUN_LOCK")};
}

}  // namespace

TPosixEnv::TPosixEnv() : FConfig(ReadConfig()) {}

int TPosixEnv::Open(const std::string& path, int flags, mode_t mode) { return ::open(path.c_str(), flags, mode); }

int TPosixEnv::MakeTemporary(std::string& pathTemplate, int flags) { return ::mkostemp(pathTemplate.data(), flags); }

int TPosixEnv::Close(int fd) { return ::close(fd); }

ssize_t TPosixEnv::Read(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }

ssize_t TPosixEnv::ReadAt(int fd, void* buffer, std::size_t size, off_t offset) {
    return ::pread(fd, buffer, size, offset);
}

ssize_t TPosixEnv::Write(int fd, const void* bytes, std::size_t size) { return ::write(fd, bytes, size); }

ssize_t TPosixEnv::WriteAt(int fd, const void* bytes, std::size_t size, off_t offset) {
    return ::pwrite(fd, bytes, size, offset);
}

int TPosixEnv::Sync(int fd) { return ::fsync(fd); }

int TPosixEnv::Truncate(int fd, off_t size) { return ::ftruncate(fd, size); }

int TPosixEnv::ChangeMode(int fd, mode_t mode) { return ::fchmod(fd, mode); }

int TPosixEnv::ChangeOwner(int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); }

int TPosixEnv::Stat(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st); }

int TPosixEnv::LinkStat(const std::string& path, struct stat& st) { return ::lstat(path.c_str(), &st); }

int TPosixEnv::FileStat(int fd, struct stat& st) { return ::fstat(fd, &st); }

int TPosixEnv::Access(const std::string& path, int mode) {
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS);
}

int TPosixEnv::Rename(const std::string& from, const std::string& to, unsigned flags) {
    if (flags == 0) return ::rename(from.c_str(), to.c_str());
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags);
}

int TPosixEnv::Link(const std::string& from, const std::string& to) { return ::link(from.c_str(), to.c_str()); }

int TPosixEnv::Unlink(const std::string& path) { return ::unlink(path.c_str()); }

int TPosixEnv::MakeFolder(const std::string& path, mode_t mode) { return ::mkdir(path.c_str(), mode); }

int TPosixEnv::ListFolder(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    struct TCloseDir {
        void operator()(DIR* dir) const { ::closedir(dir); }
    };
    std::unique_ptr<DIR, TCloseDir> folder(::opendir(path.c_str()));
    if (!folder) return -1;
    errno = 0;
    while (const dirent* entry = ::readdir(folder.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    return errno == 0 ? 0 : -1;
}

int TPosixEnv::Lock(int fd, int operation) { return ::flock(fd, operation); }

int TPosixEnv::Control(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }

std::string TPosixEnv::RealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

std::chrono::system_clock::time_point TPosixEnv::Now() { return std::chrono::system_clock::now(); }

std::uint32_t TPosixEnv::Ticks() { return GetTickCount(); }

TEnvConfig TPosixEnv::Config() {
    TMutexLock guard(FLock);
    return FConfig;
}

void TPosixEnv::Reload() {
    TEnvConfig config = ReadConfig();
    TMutexLock guard(FLock);
    FConfig = std::move(config);
}

// Never destroyed: descriptors owned by other statics are closed through it at exit, in
// whatever order those go.
IEnv& Env() { return TSeam<IEnv>::Get<TPosixEnv>(); }

void ReloadEnvironment() { TSeam<IEnv>::RealOne<TPosixEnv>().Reload(); }

}  // namespace keyrix::platform
