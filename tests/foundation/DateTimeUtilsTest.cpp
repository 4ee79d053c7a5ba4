#include "foundation/DateTimeUtils.h"

#include <gtest/gtest.h>

namespace tq {
namespace {

TEST(DateTimeUtils, DayCountsFromTheEpoch) {
    struct Case { int y, mo, d, h, mi, s, ms; double value; };
    const Case cases[] = {
        {1899, 12, 30, 0, 0, 0, 0, 0.0},
        {1900, 1, 1, 0, 0, 0, 0, 2.0},
        {1970, 1, 1, 0, 0, 0, 0, 25569.0},
        {2000, 2, 29, 12, 0, 0, 0, 36585.5},
        {1899, 12, 29, 6, 0, 0, 0, -1.25},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(EncodeDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms), c.value) << c.y;
        const TDateTimeFields f = DecodeDateTime(c.value);
        EXPECT_EQ(f.Year, c.y);
        EXPECT_EQ(f.Month, c.mo);
        EXPECT_EQ(f.Day, c.d);
        EXPECT_EQ(f.Hour, c.h);
    }
    // Round trip to the millisecond.
    const TDateTimeFields f = DecodeDateTime(EncodeDateTime(2026, 12, 11, 23, 59, 59, 999));
    EXPECT_EQ(f.Year, 2026); EXPECT_EQ(f.Day, 11);
    EXPECT_EQ(f.Hour, 23); EXPECT_EQ(f.Minute, 59); EXPECT_EQ(f.Second, 59);
    EXPECT_EQ(f.MilliSecond, 999);
}

} // namespace
} // namespace tq
