#include "platform/SharedReadFile.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace keyrix;
using namespace keyrix::platform;
using namespace keyrix::test;

namespace {

// The message of the open error, or "" when the file opened.
std::string OpenError(const std::string& path) {
    try {
        TSharedReadFile file(path);
        return "";
    } catch (const EFOpenError& error) {
        return error.Message();
    }
}

// Whether a writer could take its exclusive lock now (it would not wait).
bool WriterCanLock(const std::string& path) {
    TFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    return fd.Get() >= 0 && ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0;
}

}  // namespace

TEST(SharedReadFile, ReadersShareTheFileAndKeepWritersOutUntilTheyClose) {
    TTempDir dir;
    const std::string path = dir.File("cards.xml");
    std::ofstream(path) << "<Employees/>";
    {
        TSharedReadFile first(path);
        TSharedReadFile second(path);  // another reader is welcome
        EXPECT_EQ(second.Path(), path);
        char text[16] = {};
        EXPECT_EQ(::read(first.Fd(), text, sizeof text - 1), 12);
        EXPECT_STREQ(text, "<Employees/>");
        EXPECT_FALSE(WriterCanLock(path));
    }
    EXPECT_TRUE(WriterCanLock(path));
}

TEST(SharedReadFile, FilesThatCannotBeReadNowAreErrorsNamingThem) {
    TTempDir dir;
    const std::string missing = dir.File("missing.xml");
    EXPECT_EQ(OpenError(missing), "Cannot open file \"" + missing + "\". No such file or directory");

    const std::string locked = dir.File("locked.xml");
    std::ofstream(locked) << "<Employees/>";
    TFd writer(::open(locked.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(writer.Get(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenError(locked), "Cannot open file \"" + locked + "\". It is locked by another process that writes it");
    writer.Reset();
    EXPECT_EQ(OpenError(locked), "");

    // A FIFO in the file's place does not hold the run waiting for a writer.
    const std::string fifo = dir.File("fifo.xml");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(OpenError(fifo), "Cannot open file \"" + fifo + "\". It is a FIFO, not a regular file");
    EXPECT_EQ(OpenError(dir.Path()), "Cannot open file \"" + dir.Path() + "\". It is a directory, not a regular file");
}
