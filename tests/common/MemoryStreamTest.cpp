#include "common/KeyrixMemoryStream.h"

#include "common/Exceptions.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace keyrix;

TEST(MemoryStream, CapacityIsRoundedToWholeSteps) {
    struct Case {
        std::size_t requested, expected;
    };
    for (Case c : {Case{1, 8192}, Case{8192, 8192}, Case{8193, 16384}, Case{100000, 106496}, Case{0, 0}}) {
        TKeyrixMemoryStream stream;
        stream.SetCapacity(c.requested);
        EXPECT_EQ(stream.Capacity(), c.expected) << "requested " << c.requested;
    }
}

TEST(MemoryStream, CapacityEqualToTheSizeIsTakenAsItStands) {
    TKeyrixMemoryStream stream;
    stream.Write(std::string(100, 'x'));
    EXPECT_EQ(stream.Capacity(), 8192u);
    stream.SetCapacity(stream.Size());
    EXPECT_EQ(stream.Capacity(), 100u);
    EXPECT_EQ(stream.View(), std::string(100, 'x'));
}

TEST(MemoryStream, FailedGrowthRaisesAndKeepsTheContent) {
    TKeyrixMemoryStream stream;
    stream.Write(std::string("feed"));
    try {
        stream.SetCapacity(std::size_t{1} << 62);
        FAIL() << "an impossible capacity was granted";
    } catch (const EStreamError& error) {
        EXPECT_EQ(error.Message(), "Out of memory while expanding memory stream");
    }
    EXPECT_EQ(stream.View(), "feed");
    EXPECT_EQ(stream.Capacity(), 8192u);

    stream.SetPosition(SIZE_MAX - 1);
    EXPECT_THROW(stream.Write("ab", 2), EStreamError) << "position plus count overflows";
}

TEST(MemoryStream, AppendingManySmallPiecesGrowsGeometrically) {
    TKeyrixMemoryStream stream;
    std::set<std::size_t> capacities;
    const std::string piece(100, 'a');
    for (int i = 0; i < 100000; ++i) {  // 10 MB
        stream.Write(piece);
        capacities.insert(stream.Capacity());
    }
    EXPECT_EQ(stream.Size(), 10000000u);
    // One step per write would be some 1200 reallocations; growth by half again is ~25.
    EXPECT_LT(capacities.size(), 40u);
}

TEST(MemoryStream, ReadsWritesAndSeeks) {
    TKeyrixMemoryStream stream;
    stream.Write(std::string("hello world"));
    EXPECT_EQ(stream.Seek(-5, TSeekOrigin::soEnd), 6u);
    char buffer[16] = {};
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 5u);
    EXPECT_STREQ(buffer, "world");
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 0u);
    EXPECT_THROW(stream.Seek(-1, TSeekOrigin::soBeginning), EStreamError);

    stream.Seek(0, TSeekOrigin::soBeginning);
    stream.Write(std::string("J"));
    EXPECT_EQ(stream.View(), "Jello world");
    stream.Seek(2, TSeekOrigin::soEnd);  // a write past the end fills the gap with zeros
    stream.Write(std::string("!"));
    EXPECT_EQ(stream.View(), std::string("Jello world\0\0!", 14));

    stream.SetSize(5);
    EXPECT_EQ(stream.View(), "Jello");
    EXPECT_EQ(stream.Position(), 5u);
    stream.Clear();
    EXPECT_EQ(stream.Size(), 0u);
    EXPECT_EQ(stream.Capacity(), 0u);
}
