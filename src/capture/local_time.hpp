#pragma once
// The local time and the system locale's formats, read from the system and translated, for the
// time stamps the window and the listener write.

#include "receiver/time_stamp.hpp"

namespace nira::capture {

receiver::LocaleFormats systemLocaleFormats();
receiver::ClockReading localClockNow();

}  // namespace nira::capture
