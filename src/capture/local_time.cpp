#include "capture/local_time.hpp"

#include <variant>

#include "platform/system_time.hpp"

namespace nira::capture {

namespace {

receiver::LocaleFormats translate(const platform::PosixLocaleTexts& t) {
    return receiver::localeFormatsFromPosix(t.dateFormat, t.timeFormat, t.timeFormatAmPm, t.am,
                                            t.pm);
}

receiver::LocaleFormats translate(const platform::WindowsLocaleTexts& t) {
    return receiver::localeFormatsFromWindows(t.shortDate, t.dateSeparator, t.timeSeparator,
                                              t.hourLeadingZero, t.timeFormat, t.am, t.pm,
                                              t.designatorPosition);
}

}  // namespace

receiver::LocaleFormats systemLocaleFormats() {
    return std::visit([](const auto& texts) { return translate(texts); },
                      platform::systemLocaleTexts());
}

receiver::ClockReading localClockNow() {
    const std::tm t = platform::localTimeNow();
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

}  // namespace nira::capture
