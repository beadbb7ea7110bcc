#pragma once
// Applies a line-settings record to a POSIX tty through the arbitrary-rate interface, so every
// rate of the rate table (14400, 56000, 128000, 256000 included) can be set. Returns 0 or errno;
// EINVAL for a record the Windows API refuses too, and for a rate the driver did not make.
#include <cstdint>

#include "platform/posix_device_calls.hpp"
#include "platform/win_types.hpp"

namespace nira::platform::posix {

// Two UARTs understand each other while their rates differ by less than about 2-3 %: a rate the
// driver made further than 1/40 (2.5 %) from the one asked for garbles the line.
inline constexpr std::uint64_t kRateToleranceParts = 40;
bool rateWithinTolerance(std::uint32_t wanted, std::uint32_t made);

int applyLineSettings(DeviceCalls& sys, int fd, const DCB& dcb);

}  // namespace nira::platform::posix
