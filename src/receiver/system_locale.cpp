// The thin readers of the system clock and locale; everything they feed is pure and tested.
#include "receiver/time_stamp.hpp"

#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <langinfo.h>
#endif

namespace nira::receiver {

#ifdef _WIN32

namespace {

std::string localeText(LCID lcid, LCTYPE type, const char* fallback) {
    char buffer[128] = {};
    const int n = GetLocaleInfoA(lcid, type, buffer, static_cast<int>(sizeof buffer));
    return n > 1 ? std::string(buffer, static_cast<std::size_t>(n - 1)) : std::string(fallback);
}

}  // namespace

LocaleFormats systemLocaleFormats() {
    const LCID lcid = GetThreadLocale();
    LocaleFormats f;
    f.shortDatePattern = localeText(lcid, LOCALE_SSHORTDATE, "dd/MM/yyyy");
    f.dateSeparator = localeText(lcid, LOCALE_SDATE, "/");
    f.timeSeparator = localeText(lcid, LOCALE_STIME, ":");
    f.hourLeadingZero = localeText(lcid, LOCALE_ITLZERO, "0") == "1";
    f.twelveHour = localeText(lcid, LOCALE_ITIME, "1") == "0";
    f.amDesignator = localeText(lcid, LOCALE_S1159, "AM");
    f.pmDesignator = localeText(lcid, LOCALE_S2359, "PM");
    f.designatorFirst = localeText(lcid, LOCALE_ITIMEMARKPOSN, "0") == "1";
    return f;
}

ClockReading localClockNow() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

#else

LocaleFormats systemLocaleFormats() {
    return localeFormatsFromPosix(nl_langinfo(D_FMT), nl_langinfo(T_FMT), nl_langinfo(T_FMT_AMPM),
                                  nl_langinfo(AM_STR), nl_langinfo(PM_STR));
}

ClockReading localClockNow() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

#endif

}  // namespace nira::receiver
