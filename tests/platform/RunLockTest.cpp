#include "platform/RunLock.h"
#include "platform/Env.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

using namespace keyrix;
using namespace keyrix::platform;
using namespace keyrix::test;

namespace {

// The id of a process that has ended and been reaped.
pid_t EndedProcess() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

}  // namespace

TEST(RunLock, DefaultPathIsNamedAfterTheServiceUnlessOverridden) {
    ::unsetenv("KEYRIX_RUN_LOCK");
    platform::ReloadEnvironment();
    EXPECT_EQ(TRunLock::DefaultPath("KeyrixSyncVLRM"), "/run/lock/KeyrixSyncVLRM.lock");
    ::setenv("KEYRIX_RUN_LOCK", "/tmp/elsewhere.lock", 1);
    platform::ReloadEnvironment();
    EXPECT_EQ(TRunLock::DefaultPath("KeyrixSyncVLRM"), "/tmp/elsewhere.lock");
    ::unsetenv("KEYRIX_RUN_LOCK");
    platform::ReloadEnvironment();
}

TEST(RunLock, OneHolderAtATimeAcrossProcesses) {
    TTempDir dir;
    const std::string path = dir.File("sync.lock");
    {
        TRunLock lock(path);
        ASSERT_TRUE(lock.Held());
        EXPECT_EQ(ReadFile(path), std::to_string(::getpid()) + "\n");
        // Another process finds it taken and learns who holds it; it does not wait.
        const std::string seen = RunInChild([&] {
            TRunLock second(path);
            return std::string(second.Held() ? "held" : "refused") + " " + std::to_string(second.HolderPid());
        });
        EXPECT_EQ(seen, "refused " + std::to_string(::getpid()));
        EXPECT_EQ(ReadFile(path), std::to_string(::getpid()) + "\n") << "the refused one leaves the file alone";
    }
    EXPECT_EQ(ReadFile(path), "") << "released";
    EXPECT_EQ(RunInChild([&] { return std::string(TRunLock(path).Held() ? "held" : "refused"); }), "held");
}

TEST(RunLock, DeadHolderReleasesTheLock) {
    TTempDir dir;
    const std::string path = dir.File("sync.lock");
    // A holder killed with SIGKILL cannot clean up; the kernel drops its lock all the same.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        TRunLock lock(path);
        ::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(ReadFile(path), std::to_string(pid) + "\n") << "its id is left behind";
    TRunLock lock(path);
    EXPECT_TRUE(lock.Held());
    EXPECT_EQ(ReadFile(path), std::to_string(::getpid()) + "\n");
}

TEST(RunLock, HolderIdIsGivenOnlyWhenTheFileNamesALiveProcess) {
    TTempDir dir;
    const std::string path = dir.File("sync.lock");
    TRunLock holder(path);
    ASSERT_TRUE(holder.Held());
    struct Case {
        std::string content;
        pid_t expected;
    };
    const Case cases[] = {
        {"", 0},                                              // the holder has not written it yet
        {std::to_string(::getpid()), 0},                      // half written
        {std::to_string(::getpid()) + "\n", ::getpid()},      //
        {std::to_string(EndedProcess()) + "\n", 0},           // left by an earlier holder
        {"abc\n", 0},                                         //
        {"-5\n", 0},                                          //
        {"99999999999999999999\n", 0},                        //
        {std::string(64, '7') + "\n", 0},                     // longer than any id
    };
    for (const Case& c : cases) {
        WriteFile(path, c.content);
        TRunLock second(path);
        EXPECT_FALSE(second.Held());
        EXPECT_EQ(second.HolderPid(), c.expected) << "\"" << c.content << "\"";
    }
}

TEST(RunLock, AFileThatCannotBeTheLockIsAnErrorNamingIt) {
    TTempDir dir;
    WriteFile(dir.File("target"), "keep me\n");
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(dir.File("folder").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(dir.File("target").c_str(), dir.File("link").c_str()), 0);
    struct Case {
        std::string name, text;
    };
    std::vector<Case> cases = {
        {"missing/sync.lock", "Cannot open the run lock file \"" + dir.File("missing/sync.lock") +
                                  "\". No such file or directory"},
        {"fifo", "The run lock file \"" + dir.File("fifo") + "\" is a FIFO"},
        {"folder", "The run lock file \"" + dir.File("folder") + "\" is a directory"},
        {"link", "The run lock file \"" + dir.File("link") + "\" is a symbolic link"},
    };
    if (::geteuid() == 0) {
        ASSERT_EQ(::mknod(dir.File("device").c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);  // a null device
        cases.push_back({"device", "The run lock file \"" + dir.File("device") + "\" is a character device"});
    }
    for (const Case& c : cases) {
        try {
            TRunLock lock(dir.File(c.name));
            ADD_FAILURE() << c.name << ": no error";
        } catch (const ERunLockError& e) {
            EXPECT_EQ(e.Message(), c.text);
        }
    }
    EXPECT_EQ(ReadFile(dir.File("target")), "keep me\n") << "nothing is written through a link";
}

// Another account's lock file (root's, mode 0644) can only be read: the lock is still taken
// and refused through a read-only open. Mode 0444 makes the file read-only for the child
// whether it runs as another account (the test as root) or as the same one.
TEST(RunLock, AnotherAccountsLockFileStillLocks) {
    TTempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    const std::string path = dir.File("sync.lock");
    auto asNobody = [&] {
        return RunInChild(
            [&] {
                TRunLock lock(path);
                return std::string(lock.Held() ? "held " : "refused ") + std::to_string(lock.HolderPid());
            },
            /*unprivileged=*/true);
    };
    {
        TRunLock root(path);
        ASSERT_TRUE(root.Held());
        ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
        EXPECT_EQ(asNobody(), "refused " + std::to_string(::getpid()));
    }
    EXPECT_EQ(asNobody(), "held 0") << "free: taken through a read-only open";
    EXPECT_EQ(ReadFile(path), "") << "root's file was not written by the other account";
}

TEST(RunLock, AFolderThatDeniesCreationIsAnError) {
    TTempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);  // root's child runs as nobody
    const std::string path = dir.File("sync.lock");
    const std::string seen = RunInChild(
        [&] {
            TRunLock lock(path);
            return std::string("no error");
        },
        /*unprivileged=*/true);
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_EQ(seen, "exception: Cannot open the run lock file \"" + path + "\". Permission denied");
}
