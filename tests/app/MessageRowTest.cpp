// The Finnish forms of a row's size and date, at the edges of each form.
#include "app/MessageRow.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(MessageRowTest, SizesAndDatesInFinnishForm)
{
    const struct {
        int64_t Bytes;
        const char* Shown;
    } sizes[] = {
        {0, "0,0 kt"},          {1, "0,1 kt"},          {-5, "0,0 kt"},         {1536, "1,5 kt"},
        {10188, "9,9 kt"},      {10189, "10 kt"},       {535552, "523 kt"},     {1048575, "1024 kt"},
        {1048576, "1,0 Mt"},    {5000000000, "4768 Mt"}, {std::numeric_limits<int64_t>::max(), "8796093022208 Mt"},
    };
    for (const auto& s : sizes)
        EXPECT_EQ(FinnishSize(s.Bytes).toStdString(), s.Shown) << s.Bytes;

    // In Helsinki time (the tests run with TZ=Europe/Helsinki).
    const struct {
        int64_t Time;
        const char* Shown;
    } times[] = {
        {1764590700, "1.12.2025 14.05"},  // winter time, +0200
        {1751328000, "1.7.2025 3.00"},    // summer time, +0300
        {-30610224000, "1.1.1000 1.39"},  // local mean time before 1921: +0139
        {253402300740, "1.1.10000 1.59"},
    };
    for (const auto& t : times)
        EXPECT_EQ(FinnishDateTime(t.Time).toStdString(), t.Shown) << t.Time;
}

} // namespace
