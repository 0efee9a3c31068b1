#include "common/Debug.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace keyrix;

TEST(Exceptions, BugCheckPrefixesItsText) {
    EBugCheckError error("abc");
    EXPECT_EQ(error.Message(), "BUGCHECK: abc");
    EXPECT_STREQ(error.ClassName(), "EBugCheckError");
}

TEST(Exceptions, DescribeNamesOwnAndLibraryClasses) {
    try {
        throw EFOpenError("Cannot open file \"x\". No such file or directory");
    } catch (...) {
        TErrorInfo info = DescribeCurrentException();
        EXPECT_EQ(info.ClassName, "EFOpenError");
        EXPECT_EQ(info.Message, "Cannot open file \"x\". No such file or directory");
    }
    try {
        throw std::out_of_range("index 7");
    } catch (...) {
        TErrorInfo info = DescribeCurrentException();
        EXPECT_EQ(info.ClassName, "std::out_of_range");
        EXPECT_EQ(info.Message, "index 7");
    }
    try {
        throw 42;
    } catch (...) {
        EXPECT_EQ(DescribeCurrentException().ClassName, "UnknownException");
    }
}

TEST(Exceptions, DerivedClassesAreCaughtAsTheirBase) {
    try {
        throw EFCreateError("x");
    } catch (const EStreamError& error) {
        EXPECT_STREQ(error.ClassName(), "EFCreateError");
    }
}

TEST(TicksSince, CountsAcrossTheWrap) {
    EXPECT_EQ(TicksSince(0xFFFFFFFAu, 5u), 11u);
    EXPECT_EQ(TicksSince(100u, 250u), 150u);
    EXPECT_EQ(TicksSince(7u, 7u), 0u);
}

TEST(TicksSince, FollowsTheClock) {
    std::uint32_t start = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::uint32_t elapsed = TicksSince(start);
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(NullHelpers, GiveNullOnlyForTheValueThatStandsForNothing) {
    TValue p = 99;
    NullIfEmpty("", p);
    EXPECT_TRUE(p.IsNull());
    NullIfEmpty("0", p);
    EXPECT_EQ(p, TValue("0"));
    NullIfEqual(0, 0, p);
    EXPECT_TRUE(p.IsNull());
    NullIfEqual(7, 0, p);
    EXPECT_EQ(p, TValue(std::int32_t{7}));
}

TEST(DebugCriticalSection, ReentrantForTheHolderAndExclusiveForOthers) {
    TDebugCriticalSection lock;
    lock.Lock();
    lock.Lock();
    EXPECT_EQ(lock.Depth(), 2u);

    auto otherThreadGetsIt = [&] {
        bool got = false;
        std::thread other([&] {
            got = lock.TryLock();
            if (got) lock.Unlock();
        });
        other.join();
        return got;
    };

    EXPECT_FALSE(otherThreadGetsIt());
    lock.Unlock();
    EXPECT_FALSE(otherThreadGetsIt()) << "taken twice, released once: still held";
    lock.Unlock();
    EXPECT_TRUE(otherThreadGetsIt());
}

TEST(DebugCriticalSection, ReleaseByAThreadThatDoesNotHoldItIsABug) {
    TDebugCriticalSection lock;
    EXPECT_THROW(lock.Unlock(), EBugCheckError);
    lock.Lock();
    std::atomic<bool> raised{false};
    std::thread other([&] {
        try {
            lock.Unlock();
        } catch (const EBugCheckError&) {
            raised = true;
        }
    });
    other.join();
    EXPECT_TRUE(raised);
    lock.Unlock();
}

TEST(DebugCriticalSection, WorksWithStandardGuards) {
    TDebugCriticalSection lock;
    {
        std::lock_guard outer(lock);
        std::lock_guard inner(lock);
        EXPECT_TRUE(lock.HeldByCurrentThread());
    }
    EXPECT_FALSE(lock.HeldByCurrentThread());
}
