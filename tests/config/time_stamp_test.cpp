#include "config/time_stamp.h"

#include <gtest/gtest.h>


namespace tesmora {
namespace {

TEST(TimeStamp, FormatsUtcCalendarFields) {
    EXPECT_EQ(FormatUtcStamp(0), L"1970-01-01_00-00-00_UTC");
    EXPECT_EQ(FormatUtcStamp(1700000000), L"2023-11-14_22-13-20_UTC");
    EXPECT_EQ(FormatUtcStamp(946684799), L"1999-12-31_23-59-59_UTC");
    EXPECT_EQ(FormatUtcStamp(951782400), L"2000-02-29_00-00-00_UTC");
    EXPECT_EQ(FormatUtcStamp(1709251199), L"2024-02-29_23-59-59_UTC");
    EXPECT_EQ(FormatUtcStamp(4102444800), L"2100-01-01_00-00-00_UTC");
    EXPECT_EQ(FormatUtcStamp(1700000000).size(), 23u);
}

TEST(TimeStamp, StampsSortAsTextInTimeOrder) {
    std::wstring previous = FormatUtcStamp(0);
    for (std::uint64_t t = 1; t < 4102444800; t = t * 3 + 7) {
        const std::wstring stamp = FormatUtcStamp(t);
        EXPECT_LT(previous, stamp) << t;
        previous = stamp;
    }
}

}  // namespace
}  // namespace tesmora
