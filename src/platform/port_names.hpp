#pragma once
// The name a technician recognises a serial port by, beside the device name the port list holds.
#include <cstdlib>
#include <string>

namespace nira::platform {

// Where the system keeps the stable names of its serial devices; NIRA7_SERIAL_BY_ID names
// another folder (tests play adapters that come back under a new name).
inline std::string serialByIdFolder() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read where ports are opened, never written
    const char* other = std::getenv("NIRA7_SERIAL_BY_ID");
    return other != nullptr && *other != '\0' ? other : "/dev/serial/by-id";
}

// On Linux the /dev/serial/by-id link that leads to `port` (maker, model and serial number of a
// USB adapter), if the system made one; empty otherwise, and on Windows.
std::string stablePortName(const std::string& port,
                           const std::string& byIdDir = "/dev/serial/by-id");

}  // namespace nira::platform
