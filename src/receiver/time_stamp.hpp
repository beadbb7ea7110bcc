#pragma once
// Time stamps of log lines: the locale's short date, one space, the built long time.
// The clock reading and the locale's settings are inputs, so every format can be tested.

#include <string>
#include <string_view>

namespace nira::receiver {

struct ClockReading {
    int year = 2000;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;   // 0..23
    int minute = 0;
    int second = 0;
};

struct LocaleFormats {
    // Short date pattern: d, dd, M, MM, MMM, MMMM, yy, yyyy; "/" stands for the date separator;
    // text between single quotes is literal; any other character is copied.
    std::string shortDatePattern = "dd/MM/yyyy";
    std::string dateSeparator = ".";
    std::string timeSeparator = ":";
    bool hourLeadingZero = true;
    bool twelveHour = false;
    std::string amDesignator = "AM";
    std::string pmDesignator = "PM";
    bool designatorFirst = false;  // "PM 1:05:09" rather than "1:05:09 PM"
};

std::string formatShortDate(const ClockReading& clock, const LocaleFormats& locale);

// Hour (leading zero only where the locale asks), separator, mm, separator, ss; a 12-hour locale
// adds its designator after the time and a blank, or before it where the locale puts it first.
std::string formatLongTime(const ClockReading& clock, const LocaleFormats& locale);

// Short date, `gap`, long time. Log lines use one space.
std::string formatTimeStamp(const ClockReading& clock, const LocaleFormats& locale,
                            std::string_view gap = " ");

// Pure translations of what a system reports into LocaleFormats (the readers are the platform's).
// POSIX: nl_langinfo's D_FMT, T_FMT, T_FMT_AMPM, AM_STR and PM_STR.
LocaleFormats localeFormatsFromPosix(std::string_view dFmt, std::string_view tFmt,
                                     std::string_view tFmtAmPm, std::string_view am,
                                     std::string_view pm);

// Windows: GetLocaleInfo's short date pattern, date and time separators, ITLZERO ("1": leading
// zero), ITIME ("1": 24-hour clock), the AM and PM designators and ITIMEMARKPOSN ("1": the
// designator first).
LocaleFormats localeFormatsFromWindows(std::string_view shortDate, std::string_view dateSeparator,
                                       std::string_view timeSeparator,
                                       std::string_view hourLeadingZero,
                                       std::string_view timeFormat, std::string_view am,
                                       std::string_view pm, std::string_view designatorPosition);

}  // namespace nira::receiver
