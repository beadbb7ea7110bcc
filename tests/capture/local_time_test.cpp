// The system's clock and locale, read and translated: whatever the machine's settings, a stamp
// comes out that a person can read.
#include <gtest/gtest.h>

#include "capture/local_time.hpp"

namespace nira::capture {
namespace {

TEST(LocalTime, TheSystemsLocaleGivesAUsableStamp) {
    const receiver::ClockReading evening{2026, 3, 5, 21, 4, 9};
    const std::string stamp = receiver::formatTimeStamp(evening, systemLocaleFormats());
    EXPECT_NE(stamp.find(' '), std::string::npos);
    EXPECT_NE(stamp.find("04"), std::string::npos);
    EXPECT_NE(stamp.find("09"), std::string::npos);
}

TEST(LocalTime, TheClockReadsAPlausibleNow) {
    const receiver::ClockReading now = localClockNow();
    EXPECT_GE(now.year, 2024);
    EXPECT_TRUE(now.month >= 1 && now.month <= 12);
    EXPECT_TRUE(now.day >= 1 && now.day <= 31);
    EXPECT_TRUE(now.hour >= 0 && now.hour <= 23);
}

}  // namespace
}  // namespace nira::capture
