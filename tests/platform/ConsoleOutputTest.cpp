#include "platform/ConsoleOutput.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <string>

using namespace keyrix::platform;

namespace {
std::string Drain(int fd) {
    std::string out;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, n);
    return out;
}
}  // namespace

TEST(ConsoleOutput, AttributesBecomeAnsiColours) {
    EXPECT_EQ(AttributeEscapeSequence(0x47), "\x1b[0;37;41m");  // grey on red
    EXPECT_EQ(AttributeEscapeSequence(0x07), "\x1b[0m");
    EXPECT_EQ(AttributeEscapeSequence(0x1E), "\x1b[0;93;44m");  // bright yellow on blue
}

TEST(ConsoleOutput, RedirectedOutputGetsTextWithoutEscapes) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        TFdConsoleOutput console(fds[1]);
        EXPECT_FALSE(console.IsTerminal());
        console.SetTextAttribute(0x47);
        console.Write("M\xfcller\r\n");
        console.SetTextAttribute(0x07);
    }
    ::close(fds[1]);
    EXPECT_EQ(Drain(fds[0]), "M\xc3\xbcller\r\n");
    ::close(fds[0]);
}

TEST(ConsoleOutput, TerminalGetsColoursAndUtf8) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    {
        TFdConsoleOutput console(slave);
        EXPECT_TRUE(console.IsTerminal());
        console.SetTextAttribute(0x47);
        console.Write("\xe9");
        console.SetTextAttribute(0x07);
    }
    ::close(slave);
    std::string seen = Drain(master);  // ends with EIO once the slave is closed
    ::close(master);
    EXPECT_EQ(seen, "\x1b[0;37;41m\xc3\xa9\x1b[0m");
}
