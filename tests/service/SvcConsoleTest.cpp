#include "service/SvcConsole.h"

#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

using namespace keyrix;
using test::TConsoleRecord;
using test::TRecordingConsole;

namespace {
using Args = std::vector<std::string>;

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        Record = std::make_shared<TConsoleRecord>();
        InPlace.emplace(Record);
        ConsoleLevel = 1;
    }
    void TearDown() override { InPlace.reset(); }
    std::shared_ptr<TConsoleRecord> Record;
    std::optional<test::TInPlace<platform::IConsoleOutput, TRecordingConsole>> InPlace;
};
}  // namespace

TEST(Switches, MatchOnlyWithAPrefixAndNothingAfter) {
    struct Case {
        const char* argument;
        bool matches;
    };
    for (Case c : {Case{"/debug", true}, Case{"-DEBUG", true}, Case{"/Debug", true}, Case{"debug", false},
                   Case{"/debugx", false}, Case{"/", false}, Case{"--debug", false}, Case{"/debu", false}}) {
        EXPECT_EQ(FindSwitch("DEBUG", Args{"prog", c.argument}), c.matches) << c.argument;
    }
    EXPECT_FALSE(FindSwitch("DEBUG", Args{"/DEBUG"})) << "the program's own name is no argument";
    EXPECT_TRUE(FindSwitch("SVC", Args{"prog", "file.txt", "/svc"}));
}

TEST(Switches, SetTheLevelVerboseWinning) {
    struct Case {
        Args arguments;
        bool debug;
        int level;
    };
    for (const Case& c : {Case{{"p"}, false, 1}, Case{{"p", "/DEBUG"}, true, 3},
                          Case{{"p", "/DEBUG", "/VERBOSE"}, true, 2}, Case{{"p", "/VERBOSE", "/DEBUG"}, true, 2},
                          Case{{"p", "-verbose"}, false, 2}}) {
        InitializeSwitches(c.arguments);
        EXPECT_EQ(DebugMode, c.debug);
        EXPECT_EQ(ConsoleLevel, c.level);
    }
}

TEST_F(Console, LinesAboveTheLevelAreDropped) {
    ConsoleWrite("always", false, 0);
    ConsoleWrite("normal", false, 1);
    ConsoleWrite("verbose", false, 2);
    ConsoleLevel = 3;
    ConsoleWrite("debug", false, 3);
    EXPECT_EQ(Record->Events, (std::vector<std::string>{"always\r\n", "normal\r\n", "debug\r\n"}));
}

TEST_F(Console, HighlightIsResetAlsoWhenTheLineIsFiltered) {
    ConsoleWrite("alarm", true, 0);
    ConsoleWrite("hidden", true, 3);
    EXPECT_EQ(Record->Events,
              (std::vector<std::string>{"attr:47", "alarm\r\n", "attr:07", "attr:47", "attr:07"}));
    EXPECT_EQ(Record->Attribute, 0x07);
}

TEST_F(Console, TextWithLineBreaksIsWrittenUnchangedInOneWrite) {
    ConsoleWrite("Critical error on service startup:\r\nEDisplayError\r\nmsg", false, 1);
    ASSERT_EQ(Record->Events.size(), 1u);
    EXPECT_EQ(Record->Events[0], "Critical error on service startup:\r\nEDisplayError\r\nmsg\r\n");
}

TEST_F(Console, AnAcquiredConsoleIsTheStandardOutputUntilItsRelease) {
    InPlace.reset();
    EXPECT_FALSE(HasConsoleOutput());
    AcquireConsoleOutput();
    EXPECT_TRUE(HasConsoleOutput());
    EXPECT_NE(dynamic_cast<platform::TFdConsoleOutput*>(platform::ConsoleOutput()), nullptr);
    ReleaseConsoleOutput();
    EXPECT_FALSE(HasConsoleOutput());
    EXPECT_EQ(platform::ConsoleOutput(), nullptr);
}

TEST_F(Console, NothingIsWrittenWithoutAConsole) {
    InPlace.reset();
    EXPECT_FALSE(HasConsoleOutput());
    ConsoleWrite("lost", true, 0);
    EXPECT_TRUE(Record->Events.empty());
}

TEST_F(Console, ConcurrentLinesDoNotInterleave) {
    // Each line is two calls on the output (attribute, text); a writer from another
    // thread must never come between them.
    auto writer = [](const char* text) {
        for (int i = 0; i < 500; ++i) ConsoleWrite(text, true, 1);
    };
    std::thread a(writer, "a"), b(writer, "b");
    a.join();
    b.join();
    ASSERT_EQ(Record->Events.size(), 3000u);
    for (std::size_t i = 0; i < Record->Events.size(); i += 3) {
        EXPECT_EQ(Record->Events[i], "attr:47");
        EXPECT_EQ(Record->Events[i + 2], "attr:07");
    }
}

TEST(ServiceLogHooks, UnboundHooksDoNothingBoundOnesForward) {
    ServiceLogError("before binding");  // must not fail
    std::vector<std::string> seen;
    ServiceLogError.Bind([&](const std::string& text) { seen.push_back(text); });
    ServiceLogError("bound");
    ServiceLogInfo("info is still unbound");
    ServiceLogError.Unbind();
    ServiceLogError("after");
    EXPECT_EQ(seen, std::vector<std::string>{"bound"});
}
