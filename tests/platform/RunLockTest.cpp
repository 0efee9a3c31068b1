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
    EXPECT_EQ(TRunLock::DefaultPath("KeyrixSyncVLRM"), "/run/keyrix/KeyrixSyncVLRM.lock");
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

// Whoever can open the lock file can hold its lock for as long as it likes, and stop every
// synchronisation: the file is this account's alone (mode 0600). Another account's file is
// refused by name and owner, whichever account planted it; so is a file with a second name,
// which the holder would empty through it. A file of an earlier version readable by all is
// made private.
TEST(RunLock, ALockFileOthersCouldHoldOrPlantIsRefused) {
    TTempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    const std::string path = dir.File("sync.lock");
    const auto refusal = [](const std::string& file) {
        try {
            TRunLock lock(file);
            return std::string(lock.Held() ? "held" : "refused");
        } catch (const ERunLockError& e) {
            return e.Message();
        }
    };
    struct stat st {};
    {
        TRunLock lock(path);
        ASSERT_TRUE(lock.Held());
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << "made private";
    }
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);  // as an earlier version made it
    EXPECT_EQ(refusal(path), "held");
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "an earlier version's file is made private";

    WriteFile(dir.File("target"), "keep me\n");
    ASSERT_EQ(::link(dir.File("target").c_str(), dir.File("linked.lock").c_str()), 0);
    EXPECT_EQ(refusal(dir.File("linked.lock")),
              "The run lock file \"" + dir.File("linked.lock") + "\" has 2 names (hard links); one of this process's own "
              "is expected");
    EXPECT_EQ(ReadFile(dir.File("target")), "keep me\n") << "nothing is written through the second name";

    if (::geteuid() != 0) return;  // the other account needs root to be played
    EXPECT_EQ(RunInChild([&] { return refusal(path); }, /*unprivileged=*/true),
              "The run lock file \"" + path + "\" belongs to root (uid 0), not to this process's account nobody "
              "(uid 65534): another account may hold or plant it");
    const std::string planted = dir.File("planted.lock");
    WriteFile(planted, "1\n");
    ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
    EXPECT_EQ(refusal(planted), "The run lock file \"" + planted + "\" belongs to nobody (uid 65534), not to this "
                                "process's account root (uid 0): another account may hold or plant it");
    EXPECT_EQ(ReadFile(planted), "1\n");
}

// The default folder is made when missing (mode 0755) and must be root's or this account's,
// and writable by no other: one that others can write lets them plant the file.
TEST(RunLock, TheLockFolderIsMadeAndMustBeWritableByItsOwnerAlone) {
    TTempDir dir;
    const std::string folder = dir.File("keyrix");
    const mode_t umask = ::umask(0077);
    EXPECT_NO_THROW(PrepareRunLockFolder(folder));
    ::umask(umask);
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << "whatever the umask";
    EXPECT_NO_THROW(PrepareRunLockFolder(folder)) << "an existing one is taken";

    const auto error = [](const std::string& path) {
        try {
            PrepareRunLockFolder(path);
            return std::string("no error");
        } catch (const ERunLockError& e) {
            return e.Message();
        }
    };
    ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
    EXPECT_EQ(error(folder), "The run lock folder \"" + folder + "\" can be written by other accounts (mode 1777)");
    ASSERT_EQ(::chmod(folder.c_str(), 0775), 0);
    EXPECT_EQ(error(folder), "The run lock folder \"" + folder + "\" can be written by other accounts (mode 0775)");
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(folder.c_str(), dir.File("link").c_str()), 0);
    EXPECT_EQ(error(dir.File("link")), "The run lock folder \"" + dir.File("link") + "\" is a symbolic link");
    WriteFile(dir.File("file"), "");
    EXPECT_EQ(error(dir.File("file")), "The run lock folder \"" + dir.File("file") + "\" is a regular file");
    EXPECT_EQ(error(dir.File("missing/keyrix")),
              "Cannot create the run lock folder \"" + dir.File("missing/keyrix") + "\". No such file or directory");
    if (::geteuid() != 0) return;
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_EQ(error(folder),
              "The run lock folder \"" + folder + "\" belongs to nobody (uid 65534), neither root nor this process's account");
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
