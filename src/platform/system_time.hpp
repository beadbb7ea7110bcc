#pragma once
// The local wall-clock time and how the system's locale writes dates and times, in the system's
// own terms. The receiver library turns the texts into its formats; capture puts the two together.

#include <ctime>
#include <string>
#include <variant>

namespace nira::platform {

// nl_langinfo's D_FMT, T_FMT, T_FMT_AMPM, AM_STR and PM_STR.
struct PosixLocaleTexts {
    std::string dateFormat;
    std::string timeFormat;
    std::string timeFormatAmPm;
    std::string am;
    std::string pm;
};

// GetLocaleInfo's LOCALE_SSHORTDATE, LOCALE_SDATE, LOCALE_STIME, LOCALE_ITLZERO, LOCALE_ITIME,
// LOCALE_S1159, LOCALE_S2359 and LOCALE_ITIMEMARKPOSN, for the thread's locale.
struct WindowsLocaleTexts {
    std::string shortDate;
    std::string dateSeparator;
    std::string timeSeparator;
    std::string hourLeadingZero;  // "1": hours below ten get a zero
    std::string timeFormat;       // "1": 24-hour clock
    std::string am;
    std::string pm;
    std::string designatorPosition;  // "1": the designator goes before the time
};

// What this system's reader gives.
using LocaleTexts = std::variant<PosixLocaleTexts, WindowsLocaleTexts>;

LocaleTexts systemLocaleTexts();

// The local wall-clock time now, as the C library counts it (years from 1900, months from 0).
std::tm localTimeNow();

}  // namespace nira::platform
