#include <windows.h>

#include "platform/system_time.hpp"

namespace nira::platform {

namespace {

std::string localeText(LCID lcid, LCTYPE type, const char* fallback) {
    char buffer[128] = {};
    const int n = GetLocaleInfoA(lcid, type, buffer, static_cast<int>(sizeof buffer));
    return n > 1 ? std::string(buffer, static_cast<std::size_t>(n - 1)) : std::string(fallback);
}

}  // namespace

LocaleTexts systemLocaleTexts() {
    const LCID lcid = GetThreadLocale();
    return WindowsLocaleTexts{localeText(lcid, LOCALE_SSHORTDATE, "dd/MM/yyyy"),
                              localeText(lcid, LOCALE_SDATE, "/"),
                              localeText(lcid, LOCALE_STIME, ":"),
                              localeText(lcid, LOCALE_ITLZERO, "0"),
                              localeText(lcid, LOCALE_ITIME, "1"),
                              localeText(lcid, LOCALE_S1159, "AM"),
                              localeText(lcid, LOCALE_S2359, "PM"),
                              localeText(lcid, LOCALE_ITIMEMARKPOSN, "0")};
}

std::tm localTimeNow() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    std::tm out{};
    out.tm_year = t.wYear - 1900;
    out.tm_mon = t.wMonth - 1;
    out.tm_mday = t.wDay;
    out.tm_hour = t.wHour;
    out.tm_min = t.wMinute;
    out.tm_sec = t.wSecond;
    return out;
}

}  // namespace nira::platform
