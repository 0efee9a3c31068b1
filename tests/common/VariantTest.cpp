#include "common/Variant.h"

#include "common/Exceptions.h"

#include <gtest/gtest.h>

using namespace keyrix;

TEST(Value, KindsAndStringForms) {
    EXPECT_TRUE(TValue().IsNull());
    EXPECT_EQ(TValue().ToString(), "");
    EXPECT_EQ(TValue(std::int32_t{-5}).Kind(), TValue::TKind::Int32);
    EXPECT_EQ(TValue(std::int64_t{1} << 40).ToString(), "1099511627776");
    EXPECT_EQ(TValue("abc").ToString(), "abc");
    EXPECT_EQ(TValue(TDateTime{2026, 3, 7, 9, 5, 0, 0}).ToString(), "2026-03-07 09:05:00");
    EXPECT_EQ(TValue(TDateTime{2026, 3, 7, 9, 5, 0, 42}).ToString(), "2026-03-07 09:05:00.042");
}

TEST(Value, ReadingAnotherKindIsABug) {
    EXPECT_EQ(TValue(std::int32_t{3}).AsInt64(), 3);
    EXPECT_THROW(TValue("3").AsInt32(), EBugCheckError);
    EXPECT_THROW(TValue().AsText(), EBugCheckError);
    EXPECT_THROW(TValue(std::int64_t{3}).AsInt32(), EBugCheckError);
}
