#include "tests/support/FaultyEnv.h"

namespace keyrix::test {

namespace {
constexpr const char* OpNames[] = {"open",   "mkostemp", "close",  "read",       "pread",    "write",
                                   "pwrite", "fsync",    "ftruncate", "fchmod",  "fchown",   "stat",
                                   "lstat",  "fstat",    "access", "rename",     "link",     "unlink",
                                   "mkdir",  "readdir",  "flock",  "fcntl",      "realpath"};
static_assert(std::size(OpNames) == static_cast<std::size_t>(TEnvOp::Count));
}  // namespace

const char* EnvOpName(TEnvOp op) { return OpNames[static_cast<unsigned>(op)]; }

void TFaultyEnv::Arm(const TFault& fault) {
    std::lock_guard guard(FLock);
    FFault = fault;
    FCount = 0;
    FFailed = 0;
    FFiredOn.clear();
    FFiredPath.clear();
    FFiredOp = TEnvOp::Count;
    FTornFd = -1;
    FTrace.clear();
}

std::uint64_t TFaultyEnv::Operations() const {
    std::lock_guard guard(FLock);
    return FCount;
}

bool TFaultyEnv::Fired() const {
    std::lock_guard guard(FLock);
    return FFailed > 0;
}

std::string TFaultyEnv::FiredOn() const {
    std::lock_guard guard(FLock);
    return FFiredOn;
}

std::string TFaultyEnv::FiredPath() const {
    std::lock_guard guard(FLock);
    return FFiredPath;
}

TEnvOp TFaultyEnv::FiredOp() const {
    std::lock_guard guard(FLock);
    return FFiredOp;
}

std::vector<std::string> TFaultyEnv::Trace() const {
    std::lock_guard guard(FLock);
    return FTrace;
}

TFaultyEnv::TVerdict TFaultyEnv::Decide(TEnvOp op, const std::string& path) {
    std::lock_guard guard(FLock);
    if ((FFault.Kinds & Kind(op)) == 0) return TVerdict::Pass;
    if (!FFault.PathPart.empty() && path.find(FFault.PathPart) == std::string::npos) return TVerdict::Pass;
    ++FCount;
    FTrace.push_back(std::string(EnvOpName(op)) + " " + path);
    if (FFault.At == 0 || FCount < FFault.At || FFailed >= FFault.Repeat) return TVerdict::Pass;
    ++FFailed;
    if (FFailed == 1) {
        FFiredOn = std::string(EnvOpName(op)) + " of \"" + path + "\"";
        FFiredPath = path;
        FFiredOp = op;
    }
    if (FFault.ShortWrite && (op == TEnvOp::Write || op == TEnvOp::WriteAt)) return TVerdict::ShortWrite;
    errno = FFault.Error;
    return TVerdict::Fail;
}

TFaultyEnv::TVerdict TFaultyEnv::Decide(TEnvOp op, int fd) {
    std::string path;
    {
        std::lock_guard guard(FLock);
        auto it = FPaths.find(fd);
        path = it != FPaths.end() ? it->second : "fd " + std::to_string(fd);
        if (fd == FTornFd && (op == TEnvOp::Write || op == TEnvOp::WriteAt)) {
            FTornFd = -1;
            errno = FFault.Error;
            return TVerdict::Fail;
        }
    }
    return Decide(op, path);
}

int TFaultyEnv::Open(const std::string& path, int flags, mode_t mode) {
    if (Decide(TEnvOp::Open, path) != TVerdict::Pass) return -1;
    const int fd = FBase.Open(path, flags, mode);
    if (fd >= 0) {
        std::lock_guard guard(FLock);
        FPaths[fd] = path;
    }
    return fd;
}

int TFaultyEnv::MakeTemporary(std::string& pathTemplate, int flags) {
    if (Decide(TEnvOp::MakeTemporary, pathTemplate) != TVerdict::Pass) return -1;
    const int fd = FBase.MakeTemporary(pathTemplate, flags);
    if (fd >= 0) {
        std::lock_guard guard(FLock);
        FPaths[fd] = pathTemplate;
    }
    return fd;
}

int TFaultyEnv::Close(int fd) {
    const TVerdict verdict = Decide(TEnvOp::Close, fd);
    const int error = errno;
    {
        std::lock_guard guard(FLock);
        FPaths.erase(fd);
        if (FTornFd == fd) FTornFd = -1;
    }
    // The descriptor goes in every case, as close does on Linux.
    const int rc = FBase.Close(fd);
    if (verdict == TVerdict::Pass) return rc;
    errno = error;
    return -1;
}

ssize_t TFaultyEnv::Read(int fd, void* buffer, std::size_t size) {
    if (Decide(TEnvOp::Read, fd) != TVerdict::Pass) return -1;
    return FBase.Read(fd, buffer, size);
}

ssize_t TFaultyEnv::ReadAt(int fd, void* buffer, std::size_t size, off_t offset) {
    if (Decide(TEnvOp::ReadAt, fd) != TVerdict::Pass) return -1;
    return FBase.ReadAt(fd, buffer, size, offset);
}

ssize_t TFaultyEnv::Written(TEnvOp op, int fd, const void* bytes, std::size_t size, off_t offset) {
    const TVerdict verdict = Decide(op, fd);
    if (verdict == TVerdict::Fail) return -1;
    if (verdict == TVerdict::ShortWrite) {
        if (size < 2) {
            errno = FFault.Error;
            return -1;
        }
        size /= 2;
        std::lock_guard guard(FLock);
        FTornFd = fd;
    }
    return op == TEnvOp::Write ? FBase.Write(fd, bytes, size) : FBase.WriteAt(fd, bytes, size, offset);
}

ssize_t TFaultyEnv::Write(int fd, const void* bytes, std::size_t size) {
    return Written(TEnvOp::Write, fd, bytes, size, 0);
}

ssize_t TFaultyEnv::WriteAt(int fd, const void* bytes, std::size_t size, off_t offset) {
    return Written(TEnvOp::WriteAt, fd, bytes, size, offset);
}

int TFaultyEnv::Sync(int fd) {
    if (Decide(TEnvOp::Sync, fd) != TVerdict::Pass) return -1;
    return FSkipSyncs ? 0 : FBase.Sync(fd);
}

int TFaultyEnv::Truncate(int fd, off_t size) {
    if (Decide(TEnvOp::Truncate, fd) != TVerdict::Pass) return -1;
    return FBase.Truncate(fd, size);
}

int TFaultyEnv::ChangeMode(int fd, mode_t mode) {
    if (Decide(TEnvOp::ChangeMode, fd) != TVerdict::Pass) return -1;
    return FBase.ChangeMode(fd, mode);
}

int TFaultyEnv::ChangeOwner(int fd, uid_t owner, gid_t group) {
    if (Decide(TEnvOp::ChangeOwner, fd) != TVerdict::Pass) return -1;
    return FBase.ChangeOwner(fd, owner, group);
}

int TFaultyEnv::Stat(const std::string& path, struct stat& st) {
    if (Decide(TEnvOp::Stat, path) != TVerdict::Pass) return -1;
    return FBase.Stat(path, st);
}

int TFaultyEnv::LinkStat(const std::string& path, struct stat& st) {
    if (Decide(TEnvOp::LinkStat, path) != TVerdict::Pass) return -1;
    return FBase.LinkStat(path, st);
}

int TFaultyEnv::FileStat(int fd, struct stat& st) {
    if (Decide(TEnvOp::FileStat, fd) != TVerdict::Pass) return -1;
    return FBase.FileStat(fd, st);
}

int TFaultyEnv::Access(const std::string& path, int mode) {
    if (Decide(TEnvOp::Access, path) != TVerdict::Pass) return -1;
    return FBase.Access(path, mode);
}

int TFaultyEnv::Rename(const std::string& from, const std::string& to, unsigned flags) {
    if (Decide(TEnvOp::Rename, from + " -> " + to) != TVerdict::Pass) return -1;
    return FBase.Rename(from, to, flags);
}

int TFaultyEnv::Link(const std::string& from, const std::string& to) {
    if (Decide(TEnvOp::Link, from + " -> " + to) != TVerdict::Pass) return -1;
    return FBase.Link(from, to);
}

int TFaultyEnv::Unlink(const std::string& path) {
    if (Decide(TEnvOp::Unlink, path) != TVerdict::Pass) return -1;
    return FBase.Unlink(path);
}

int TFaultyEnv::MakeFolder(const std::string& path, mode_t mode) {
    if (Decide(TEnvOp::MakeFolder, path) != TVerdict::Pass) return -1;
    return FBase.MakeFolder(path, mode);
}

int TFaultyEnv::ListFolder(const std::string& path, std::vector<std::string>& names) {
    if (Decide(TEnvOp::ListFolder, path) != TVerdict::Pass) return -1;
    return FBase.ListFolder(path, names);
}

int TFaultyEnv::Lock(int fd, int operation) {
    if (Decide(TEnvOp::Lock, fd) != TVerdict::Pass) return -1;
    return FBase.Lock(fd, operation);
}

int TFaultyEnv::Control(int fd, int command, int argument) {
    if (Decide(TEnvOp::Control, fd) != TVerdict::Pass) return -1;
    return FBase.Control(fd, command, argument);
}

std::string TFaultyEnv::RealPath(const std::string& path) {
    if (Decide(TEnvOp::RealPath, path) != TVerdict::Pass) return {};
    return FBase.RealPath(path);
}

}  // namespace keyrix::test
