#include <langinfo.h>

#include <ctime>

#include "platform/system_time.hpp"

namespace nira::platform {

// The program never switches locales after its start, so nl_langinfo's texts stay valid.
// NOLINTBEGIN(concurrency-mt-unsafe)
LocaleTexts systemLocaleTexts() {
    return PosixLocaleTexts{nl_langinfo(D_FMT), nl_langinfo(T_FMT), nl_langinfo(T_FMT_AMPM),
                            nl_langinfo(AM_STR), nl_langinfo(PM_STR)};
}
// NOLINTEND(concurrency-mt-unsafe)

std::tm localTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return t;
}

}  // namespace nira::platform
