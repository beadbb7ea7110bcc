#include "receiver/time_stamp.hpp"

#include <gtest/gtest.h>

namespace nira::receiver {
namespace {

// 5 March 2026, 07:04:09 and 21:04:09; 0:00:00 and 12:00:00 are the 12-hour clock's edges.
constexpr ClockReading kMorning{2026, 3, 5, 7, 4, 9};
constexpr ClockReading kEvening{2026, 3, 5, 21, 4, 9};
constexpr ClockReading kMidnight{2026, 12, 31, 0, 0, 0};
constexpr ClockReading kNoon{2026, 12, 31, 12, 0, 0};

LocaleFormats european() {
    LocaleFormats f;
    f.shortDatePattern = "dd/MM/yyyy";
    f.dateSeparator = ".";
    f.timeSeparator = ":";
    f.hourLeadingZero = true;
    return f;
}

TEST(TimeStamp, TwentyFourHourWithAndWithoutLeadingZero) {
    LocaleFormats f = european();
    EXPECT_EQ(formatTimeStamp(kMorning, f), "05.03.2026 07:04:09");
    EXPECT_EQ(formatTimeStamp(kEvening, f), "05.03.2026 21:04:09");
    f.hourLeadingZero = false;
    EXPECT_EQ(formatTimeStamp(kMorning, f), "05.03.2026 7:04:09");
    EXPECT_EQ(formatTimeStamp(kMidnight, f), "31.12.2026 0:00:00");
}

TEST(TimeStamp, TwelveHourDesignatorAfterOrBefore) {
    LocaleFormats f;
    f.shortDatePattern = "M/d/yyyy";
    f.dateSeparator = "/";
    f.hourLeadingZero = false;
    f.twelveHour = true;
    EXPECT_EQ(formatTimeStamp(kMorning, f), "3/5/2026 7:04:09 AM");
    EXPECT_EQ(formatTimeStamp(kEvening, f), "3/5/2026 9:04:09 PM");
    EXPECT_EQ(formatLongTime(kMidnight, f), "12:00:00 AM");
    EXPECT_EQ(formatLongTime(kNoon, f), "12:00:00 PM");

    f.designatorFirst = true;
    f.amDesignator = "上午";
    f.pmDesignator = "下午";
    f.timeSeparator = ".";
    EXPECT_EQ(formatLongTime(kEvening, f), "下午 9.04.09");
}

TEST(TimeStamp, DatePatternTokensSeparatorAndLiterals) {
    LocaleFormats f;
    f.dateSeparator = "-";
    struct Case {
        const char* pattern;
        const char* date;
    };
    for (const Case& c :
         {Case{"yyyy/MM/dd", "2026-03-05"}, Case{"d/M/yy", "5-3-26"},
          Case{"dd MMM yyyy", "05 Mar 2026"}, Case{"MMMM d", "March 5"},
          Case{"yyyy'年'M'月'd'日'", "2026年3月5日"}, Case{"dd.MM.yyyy", "05.03.2026"}}) {
        f.shortDatePattern = c.pattern;
        EXPECT_EQ(formatShortDate(kMorning, f), c.date) << c.pattern;
    }
}

TEST(TimeStamp, CloseStampUsesTwoSpaces) {
    EXPECT_EQ(formatTimeStamp(kMorning, european(), "  "), "05.03.2026  07:04:09");
    EXPECT_EQ(formatTimeStamp(kMorning, european(), "  ").size(), 20U);
}

TEST(LocaleFromPosix, ReadsTheLayoutsOfCommonLocales) {
    struct Case {
        const char* name;
        const char *dFmt, *tFmt, *tFmtAmPm, *am, *pm;
        const char* stamp;  // for kEvening
    };
    for (const Case& c : {
             Case{"C", "%m/%d/%y", "%H:%M:%S", "%I:%M:%S %p", "AM", "PM", "03/05/26 21:04:09"},
             Case{"uk_UA", "%d.%m.%y", "%T", "", "", "", "05.03.26 21:04:09"},
             Case{"de_DE", "%d.%m.%Y", "%T", "", "", "", "05.03.2026 21:04:09"},
             Case{"en_US", "%m/%d/%Y", "%r", "%I:%M:%S %p", "AM", "PM", "03/05/2026 09:04:09 PM"},
             Case{"fi_FI", "%d.%m.%Y", "%H.%M.%S", "", "", "", "05.03.2026 21.04.09"},
             Case{"ko_KR", "%Y년 %m월 %d일", "%H시 %M분 %S초", "%p %I시 %M분 %S초", "오전", "오후",
                  "2026년 03월 05일 21시 04시 09"},
             Case{"prefix", "%Y-%m-%d", "%p %l:%M:%S", "", "am", "pm", "2026-03-05 pm 9:04:09"},
             Case{"%D", "%D", "%T", "", "", "", "03/05/26 21:04:09"},
             Case{"%F", "%F", "%R:%S", "", "", "", "2026-03-05 21:04:09"},
             Case{"names", "%e %B %Y", "%k:%M:%S", "", "", "", "5 March 2026 21:04:09"},
             Case{"modifiers", "%Ey.%Om.%d", "%H:%M:%S", "", "", "", "26.03.05 21:04:09"},
             Case{"percent", "%d%%%m", "%H:%M:%S", "", "", "", "05%03 21:04:09"},
         }) {
        const LocaleFormats f = localeFormatsFromPosix(c.dFmt, c.tFmt, c.tFmtAmPm, c.am, c.pm);
        EXPECT_EQ(formatTimeStamp(kEvening, f), c.stamp) << c.name;
    }
}

TEST(LocaleFromWindows, ReadsTheLocaleInfoValues) {
    struct Case {
        const char* name;
        const char *shortDate, *dateSeparator, *timeSeparator, *leadingZero, *timeFormat, *am, *pm,
            *designatorPosition;
        const char* stamp;  // for kEvening
    };
    for (const Case& c : {
             Case{"uk-UA", "dd.MM.yyyy", ".", ":", "1", "1", "", "", "0", "05.03.2026 21:04:09"},
             Case{"en-US", "M/d/yyyy", "/", ":", "0", "0", "AM", "PM", "0", "3/5/2026 9:04:09 PM"},
             Case{"ko-KR", "yyyy-MM-dd", "-", ":", "0", "0", "오전", "오후", "1",
                  "2026-03-05 오후 9:04:09"},
         }) {
        const LocaleFormats f =
            localeFormatsFromWindows(c.shortDate, c.dateSeparator, c.timeSeparator, c.leadingZero,
                                     c.timeFormat, c.am, c.pm, c.designatorPosition);
        EXPECT_EQ(formatTimeStamp(kEvening, f), c.stamp) << c.name;
    }
}

}  // namespace
}  // namespace nira::receiver
