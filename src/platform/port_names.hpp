#pragma once
// The name a technician recognises a serial port by, beside the device name the port list holds.
#include <string>

namespace nira::platform {

// On Linux the /dev/serial/by-id link that leads to `port` (maker, model and serial number of a
// USB adapter), if the system made one; empty otherwise, and on Windows.
std::string stablePortName(const std::string& port,
                           const std::string& byIdDir = "/dev/serial/by-id");

}  // namespace nira::platform
