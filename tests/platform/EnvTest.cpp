#include "platform/Env.h"

#include "platform/FileHandles.h"
#include "platform/PosixFiles.h"
#include "tests/TestSupport.h"
#include "tests/support/FaultyEnv.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

using namespace keyrix;
using namespace keyrix::platform;
using namespace keyrix::test;

TEST(Env, TheOverridesAreReadOnceUntilReloaded) {
    ::setenv("KEYRIX_RUN_LOCK", "/tmp/first.lock", 1);
    ReloadEnvironment();
    EXPECT_EQ(Env().Config().RunLock, "/tmp/first.lock");
    ::setenv("KEYRIX_RUN_LOCK", "/tmp/second.lock", 1);
    EXPECT_EQ(Env().Config().RunLock, "/tmp/first.lock") << "not read again on every call";
    ReloadEnvironment();
    EXPECT_EQ(Env().Config().RunLock, "/tmp/second.lock");
    ::unsetenv("KEYRIX_RUN_LOCK");
    ReloadEnvironment();
    EXPECT_EQ(Env().Config().RunLock, "");
}

TEST(FaultyEnv, FailsTheNthOperationOfTheChosenKindsAndPaths) {
    TTempDir dir;
    const std::string a = dir.File("a.txt"), b = dir.File("b.txt");
    WriteFile(a, "aaaa");
    WriteFile(b, "bbbb");
    TFaultyEnv faulty(Env());
    TScopedEnv scoped(faulty);
    TFault fault = FailAt(2, EIO, Kind(TEnvOp::Read));
    fault.PathPart = "b.txt";
    faulty.Arm(fault);

    char buffer[8];
    TFd fa(Env().Open(a, O_RDONLY | O_CLOEXEC)), fb(Env().Open(b, O_RDONLY | O_CLOEXEC));
    ASSERT_GE(fa.Get(), 0);
    ASSERT_GE(fb.Get(), 0);
    EXPECT_EQ(Env().Read(fa.Get(), buffer, 1), 1) << "another file";
    EXPECT_EQ(Env().Read(fb.Get(), buffer, 1), 1) << "the first matching read";
    EXPECT_EQ(Env().ReadAt(fb.Get(), buffer, 1, 0), 1) << "another kind";
    errno = 0;
    EXPECT_EQ(Env().Read(fb.Get(), buffer, 1), -1) << "the second matching read";
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(Env().Read(fb.Get(), buffer, 1), 1) << "one failure only";
    EXPECT_EQ(faulty.Operations(), 3u);
    EXPECT_EQ(faulty.FiredOn(), "read of \"" + b + "\"");
}

TEST(FaultyEnv, AFailedCloseStillClosesTheDescriptor) {
    TTempDir dir;
    TFaultyEnv faulty(Env());
    TScopedEnv scoped(faulty);
    faulty.Arm(FailAt(1, EIO, Kind(TEnvOp::Close)));
    TFd file(Env().Open(dir.File("x"), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const int fd = file.Get();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(file.Close(), EIO);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "no descriptor leaks";
}

TEST(FaultyEnv, ATornWriteIsCutBackByAppendWhole) {
    TTempDir dir;
    const std::string path = dir.File("log.txt");
    WriteFile(path, "line one\r\n");
    TFaultyEnv faulty(Env());
    TScopedEnv scoped(faulty);
    TFault fault = FailAt(1, ENOSPC, WriteKinds);
    fault.ShortWrite = true;
    faulty.Arm(fault);
    TFd file(Env().Open(path, O_WRONLY | O_APPEND | O_CLOEXEC));
    ASSERT_GE(file.Get(), 0);
    std::size_t written = 0;
    EXPECT_EQ(WriteAll(file.Get(), "0123456789", &written), ENOSPC);
    EXPECT_EQ(written, 5u) << "half, then the failure";
    EXPECT_EQ(ReadFile(path), "line one\r\n01234");

    faulty.Arm(fault);
    int cutError = -1;
    EXPECT_EQ(AppendWhole(file.Get(), "line two\r\n", &cutError), ENOSPC);
    EXPECT_EQ(cutError, 0);
    EXPECT_EQ(ReadFile(path), "line one\r\n01234") << "the torn part is taken back";
}
