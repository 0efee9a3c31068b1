// An env that passes every operation to another one and fails the Nth of them, in the manner
// of LevelDB's fault-injecting env and SQLite's "fail the Nth call" loops. Operations are
// counted when they match the fault's kinds and path; the clock and the configuration are
// passed on untouched and never counted.
#pragma once

#include "platform/Env.h"

#include <cerrno>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace keyrix::test {

enum class TEnvOp : unsigned {
    Open, MakeTemporary, Close, Read, ReadAt, Write, WriteAt, Sync, Truncate, ChangeMode, ChangeOwner,
    Stat, LinkStat, FileStat, Access, Rename, Link, Unlink, MakeFolder, ListFolder, Lock, Control, RealPath,
    Count
};
const char* EnvOpName(TEnvOp op);

constexpr std::uint32_t Kind(TEnvOp op) { return 1u << static_cast<unsigned>(op); }
inline constexpr std::uint32_t AllKinds = (1u << static_cast<unsigned>(TEnvOp::Count)) - 1;
inline constexpr std::uint32_t WriteKinds = Kind(TEnvOp::Write) | Kind(TEnvOp::WriteAt);

struct TFault {
    std::uint64_t At = 0;  // the Nth matching operation fails (from 1); 0 fails none
    int Error = EIO;
    std::uint32_t Kinds = AllKinds;
    // Only operations on paths that contain this (a descriptor counts with the path it was
    // opened by); "" matches every operation.
    std::string PathPart;
    // How many matching operations fail from the Nth on: more than one for an EINTR storm.
    unsigned Repeat = 1;
    // A write at N takes half of its bytes and answers so; the next write on that descriptor
    // fails with Error: a torn write.
    bool ShortWrite = false;
};

// The Nth matching operation fails with the error (n 0: none fails, the operations are counted).
inline TFault FailAt(std::uint64_t n, int error = EIO, std::uint32_t kinds = AllKinds) {
    TFault fault;
    fault.At = n;
    fault.Error = error;
    fault.Kinds = kinds;
    return fault;
}

class TFaultyEnv final : public platform::IEnv {
public:
    explicit TFaultyEnv(platform::IEnv& base) : FBase(base) {}

    // Starts counting from zero with this fault (TFault{} counts without failing).
    void Arm(const TFault& fault);
    // fsync is counted (and failed) as ever but not passed on: the loops check what a
    // failure leaves, not what reaches the disk, and thousands of flushes on a shared
    // disk take minutes.
    void SkipSyncs(bool skip) { FSkipSyncs = skip; }
    std::uint64_t Operations() const;
    // Whether the fault struck, and on what: "write of \"/tmp/x/log.txt\"".
    bool Fired() const;
    std::string FiredOn() const;
    std::string FiredPath() const;
    TEnvOp FiredOp() const;
    // Every matching operation so far, as "open /path" lines, for messages.
    std::vector<std::string> Trace() const;

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
    std::chrono::system_clock::time_point Now() override { return FBase.Now(); }
    std::uint32_t Ticks() override { return FBase.Ticks(); }
    platform::TEnvConfig Config() override { return FBase.Config(); }

private:
    enum class TVerdict { Pass, Fail, ShortWrite };
    // Counts the operation and decides its fate; on failure errno is set.
    TVerdict Decide(TEnvOp op, const std::string& path);
    TVerdict Decide(TEnvOp op, int fd);
    ssize_t Written(TEnvOp op, int fd, const void* bytes, std::size_t size, off_t offset);

    platform::IEnv& FBase;
    mutable std::mutex FLock;
    TFault FFault;
    std::uint64_t FCount = 0;
    unsigned FFailed = 0;
    std::string FFiredOn, FFiredPath;
    TEnvOp FFiredOp = TEnvOp::Count;
    std::map<int, std::string> FPaths;  // open descriptors and their paths
    int FTornFd = -1;                   // the next write on it fails
    std::atomic<bool> FSkipSyncs{false};
    std::vector<std::string> FTrace;
};

}  // namespace keyrix::test
