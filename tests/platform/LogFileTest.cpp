#include "platform/LogFile.h"

#include "common/Exceptions.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace keyrix;
using namespace keyrix::platform;
using keyrix::test::TTempDir;

TEST(LogFile, CreatesAppendsAndNeverTruncates) {
    TTempDir dir;
    const std::string path = dir.File("log.txt");
    AppendToFileExclusive(path, "one\r\n");
    AppendToFileExclusive(path, "two\r\nthree\r\n");
    EXPECT_EQ(test::ReadFile(path), "one\r\ntwo\r\nthree\r\n");

    ::unlink(path.c_str());
    AppendToFileExclusive(path, "again\r\n");
    EXPECT_EQ(test::ReadFile(path), "again\r\n");
}

TEST(LogFile, FolderThatCannotBeWrittenGivesTheCreateError) {
    TTempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
    const std::string path = dir.File("log.txt");
    // Root writes anywhere, so the attempt is made as an ordinary account.
    std::string outcome = test::RunInChild(
        [&] {
            try {
                AppendToFileExclusive(path, "x\r\n");
                return std::string("written");
            } catch (const EFCreateError& e) {
                return e.Message();
            }
        },
        /*unprivileged=*/true);
    EXPECT_EQ(outcome, "Cannot create file \"" + path + "\". Permission denied");
}

TEST(LogFile, MissingFolderGivesTheCreateError) {
    TTempDir dir;
    const std::string path = dir.File("gone/log.txt");
    try {
        AppendToFileExclusive(path, "x");
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file \"" + path + "\". No such file or directory");
    }
}

TEST(LogFile, FileHeldByAnotherWriterGivesTheOpenError) {
    TTempDir dir;
    const std::string path = dir.File("log.txt");
    test::WriteFile(path, "before\r\n");

    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // another process holds the lock as a writer would
        int fd = ::open(path.c_str(), O_WRONLY);
        char c = (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(release[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    try {
        AppendToFileExclusive(path, "mine\r\n");
        ADD_FAILURE() << "appended although another writer held the file";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + path + "\". " + FileLockedText);
    }
    EXPECT_EQ(test::ReadFile(path), "before\r\n") << "readers stay free and the content is untouched";

    (void)!::write(release[1], "x", 1);
    ::waitpid(child, nullptr, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);

    AppendToFileExclusive(path, "mine\r\n");  // free again once the other writer is gone
    EXPECT_EQ(test::ReadFile(path), "before\r\nmine\r\n");
}

TEST(LogFile, PathThatIsAFolderGivesTheOpenError) {
    TTempDir dir;
    const std::string path = dir.File("log.txt");
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    try {
        AppendToFileExclusive(path, "x");
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + path + "\". Is a directory");
    }
}

TEST(LogFile, LineThatDoesNotFitGoesInWholeOrNotAtAll) {
    // A file size limit in a child process stands for a full disk: the write stops at the
    // limit (a short write), then fails with EFBIG; SIGXFSZ is ignored as a service would
    // want, so the error comes back instead of ending the process.
    const std::string before = "Sync started at 01.02.2026 10:00:00\r\n";
    const std::string line = "BK import disabled\r\n";
    struct Case {
        std::size_t room;  // bytes the limit leaves after what is there
        std::string expected;
    };
    const Case cases[] = {
        {0, "EWriteError: Cannot write file \"%s\". File too large|" + before},
        {1, "EWriteError: Cannot write file \"%s\". File too large|" + before},
        {line.size() - 2, "EWriteError: Cannot write file \"%s\". File too large|" + before},  // all but CR LF
        {line.size(), "written|" + before + line},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.room);
        TTempDir dir;
        const std::string path = dir.File("VLHRMSync_log.txt");
        test::WriteFile(path, before);
        const std::string outcome = test::RunInChild([&] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{before.size() + c.room, before.size() + c.room};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
            try {
                AppendToFileExclusive(path, line);
                return std::string("written");
            } catch (const EWriteError& e) {
                return std::string(e.ClassName()) + ": " + e.Message();
            }
        });
        std::string expected = c.expected;
        if (const auto at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, path);
        EXPECT_EQ(outcome + "|" + test::ReadFile(path), expected);
    }
}
