#include "receiver/time_stamp.hpp"

#include <array>
#include <cstddef>

namespace nira::receiver {

namespace {

constexpr std::array<const char*, 12> kMonthNames{"January",   "February", "March",    "April",
                                                  "May",       "June",     "July",     "August",
                                                  "September", "October",  "November", "December"};

std::string twoDigits(int value) {
    const int v = ((value % 100) + 100) % 100;
    return {static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
}

std::string monthName(int month, bool full) {
    if (month < 1 || month > 12) {
        return std::to_string(month);
    }
    std::string name = kMonthNames[static_cast<std::size_t>(month - 1)];
    return full ? name : name.substr(0, 3);
}

std::size_t runLength(std::string_view text, std::size_t at) {
    std::size_t n = 1;
    while (at + n < text.size() && text[at + n] == text[at]) {
        ++n;
    }
    return n;
}

}  // namespace

std::string formatShortDate(const ClockReading& clock, const LocaleFormats& locale) {
    const std::string_view pattern = locale.shortDatePattern;
    std::string out;
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        if (c == '\'' || c == '"') {
            const std::size_t end = pattern.find(c, i + 1);
            const std::size_t stop = end == std::string_view::npos ? pattern.size() : end;
            out.append(pattern.substr(i + 1, stop - i - 1));
            i = stop == pattern.size() ? stop : stop + 1;
            continue;
        }
        if (c == '/') {
            out += locale.dateSeparator;
            ++i;
            continue;
        }
        const std::size_t n = runLength(pattern, i);
        switch (c) {
            case 'd':
                out += n >= 2 ? twoDigits(clock.day) : std::to_string(clock.day);
                break;
            case 'M':
                if (n >= 3) {
                    out += monthName(clock.month, n >= 4);
                } else {
                    out += n == 2 ? twoDigits(clock.month) : std::to_string(clock.month);
                }
                break;
            case 'y':
                out += n >= 3 ? std::to_string(clock.year) : twoDigits(clock.year);
                break;
            default:
                out.append(n, c);
                break;
        }
        i += n;
    }
    return out;
}

std::string formatLongTime(const ClockReading& clock, const LocaleFormats& locale) {
    int hour = clock.hour;
    if (locale.twelveHour) {
        hour %= 12;
        if (hour == 0) {
            hour = 12;
        }
    }
    std::string time = locale.hourLeadingZero ? twoDigits(hour) : std::to_string(hour);
    time += locale.timeSeparator + twoDigits(clock.minute) + locale.timeSeparator +
            twoDigits(clock.second);
    if (!locale.twelveHour) {
        return time;
    }
    const std::string& designator = clock.hour < 12 ? locale.amDesignator : locale.pmDesignator;
    return locale.designatorFirst ? designator + " " + time : time + " " + designator;
}

std::string formatTimeStamp(const ClockReading& clock, const LocaleFormats& locale,
                            std::string_view gap) {
    std::string out = formatShortDate(clock, locale);
    out.append(gap);
    out += formatLongTime(clock, locale);
    return out;
}

namespace {

// What each strftime directive of a date becomes: fields, and for %D and %F the text between
// them. Weekday names and the like have no place in a short date.
struct DateDirective {
    char letter;
    std::array<const char*, 5> parts;
};
constexpr DateDirective kDateDirectives[] = {
    {'d', {"dd"}},
    {'e', {"d"}},
    {'m', {"MM"}},
    {'y', {"yy"}},
    {'Y', {"yyyy"}},
    {'b', {"MMM"}},
    {'h', {"MMM"}},
    {'B', {"MMMM"}},
    {'D', {"MM", "/", "dd", "/", "yy"}},
    {'F', {"yyyy", "-", "MM", "-", "dd"}},
};

// D_FMT: strftime directives become pattern tokens; the first plain text between two fields is
// the date separator, every other plain text is kept literally.
void readPosixDate(std::string_view dFmt, LocaleFormats& f) {
    std::string pattern;
    std::string separator;
    std::string run;
    bool fieldSeen = false;
    auto flushLiteral = [&](bool fieldFollows) {
        if (run.empty()) {
            return;
        }
        if (separator.empty() && fieldSeen && fieldFollows) {
            separator = run;
        }
        if (!separator.empty() && run == separator) {
            pattern += '/';
        } else {
            const char quote = run.find('\'') == std::string::npos ? '\'' : '"';
            pattern += quote;
            pattern += run;
            pattern += quote;
        }
        run.clear();
    };
    auto field = [&](const char* token) {
        flushLiteral(true);
        pattern += token;
        fieldSeen = true;
    };
    for (std::size_t i = 0; i < dFmt.size(); ++i) {
        if (dFmt[i] != '%' || i + 1 >= dFmt.size()) {
            run += dFmt[i];
            continue;
        }
        char d = dFmt[++i];
        if (d == 'E' || d == 'O' || d == '-' || d == '_' || d == '0') {  // modifiers and flags
            if (i + 1 >= dFmt.size()) {
                break;
            }
            d = dFmt[++i];
        }
        if (d == '%') {
            run += '%';
            continue;
        }
        for (const auto& directive : kDateDirectives) {
            if (directive.letter != d) {
                continue;
            }
            // Fields and the plain text between them take turns.
            for (std::size_t part = 0; part < directive.parts.size(); ++part) {
                if (directive.parts[part] == nullptr) {
                    break;
                }
                if (part % 2 == 0) {
                    field(directive.parts[part]);
                } else {
                    run = directive.parts[part];
                }
            }
        }
    }
    flushLiteral(false);
    f.shortDatePattern = pattern.empty() ? "MM/dd/yy" : pattern;
    f.dateSeparator = separator.empty() ? "/" : separator;
}

// T_FMT: a 12-hour locale names %r (or %I / %l); its layout is then T_FMT_AMPM's.
void readPosixTime(std::string_view tFmt, std::string_view tFmtAmPm, std::string_view am,
                   std::string_view pm, LocaleFormats& f) {
    std::string_view time = tFmt;
    if (time.find("%r") != std::string_view::npos) {
        time = tFmtAmPm;
    }
    std::size_t hourAt = std::string_view::npos;
    for (std::size_t i = 0; i + 1 < time.size(); ++i) {
        if (time[i] != '%') {
            continue;
        }
        const char d = time[i + 1];
        if (d == 'H' || d == 'I' || d == 'k' || d == 'l' || d == 'T' || d == 'R') {
            hourAt = i;
            f.twelveHour = d == 'I' || d == 'l';
            f.hourLeadingZero = d == 'H' || d == 'I' || d == 'T' || d == 'R';
            const std::size_t next = time.find('%', i + 2);
            const std::string_view between = time.substr(
                i + 2, next == std::string_view::npos ? std::string_view::npos : next - i - 2);
            f.timeSeparator =
                (d == 'T' || d == 'R' || between.empty()) ? std::string(":") : std::string(between);
            break;
        }
        ++i;  // skip the directive letter
    }
    if (f.twelveHour) {
        const std::size_t p =
            time.find("%p") != std::string_view::npos ? time.find("%p") : time.find("%P");
        f.designatorFirst = p != std::string_view::npos && p < hourAt;
        f.amDesignator = std::string(am);
        f.pmDesignator = std::string(pm);
    }
}

}  // namespace

LocaleFormats localeFormatsFromPosix(std::string_view dFmt, std::string_view tFmt,
                                     std::string_view tFmtAmPm, std::string_view am,
                                     std::string_view pm) {
    LocaleFormats f;
    readPosixDate(dFmt, f);
    readPosixTime(tFmt, tFmtAmPm, am, pm, f);
    return f;
}

LocaleFormats localeFormatsFromWindows(std::string_view shortDate, std::string_view dateSeparator,
                                       std::string_view timeSeparator,
                                       std::string_view hourLeadingZero,
                                       std::string_view timeFormat, std::string_view am,
                                       std::string_view pm, std::string_view designatorPosition) {
    LocaleFormats f;
    f.shortDatePattern = std::string(shortDate);
    f.dateSeparator = std::string(dateSeparator);
    f.timeSeparator = std::string(timeSeparator);
    f.hourLeadingZero = hourLeadingZero == "1";
    f.twelveHour = timeFormat == "0";
    f.amDesignator = std::string(am);
    f.pmDesignator = std::string(pm);
    f.designatorFirst = designatorPosition == "1";
    return f;
}

}  // namespace nira::receiver
