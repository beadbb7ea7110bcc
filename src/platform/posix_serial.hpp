#pragma once
// The POSIX serial backend over a given set of device calls: the system's, or a test's driver
// personality.
#include <memory>

#include "platform/posix_device_calls.hpp"
#include "platform/serial_api.hpp"

namespace nira::platform::posix {

std::unique_ptr<SerialApi> makeSerialApi(DeviceCalls& calls);

}  // namespace nira::platform::posix
