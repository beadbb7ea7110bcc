#pragma once
// Applies a line-settings record to a POSIX tty through the arbitrary-rate interface, so every
// rate of the rate table (14400, 56000, 128000, 256000 included) can be set. Returns 0 or errno;
// EINVAL for a record the Windows API refuses too.
#include "platform/posix_device_calls.hpp"
#include "platform/win_types.hpp"

namespace nira::platform::posix {
int applyLineSettings(DeviceCalls& sys, int fd, const DCB& dcb);
}
