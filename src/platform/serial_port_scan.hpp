#pragma once
// The serial ports a POSIX system has, found the way the established serial libraries find
// them: every tty class entry with a device behind it, less the legacy UART placeholders.

#include <functional>
#include <string>
#include <vector>

namespace nira::platform {

struct SerialScanRoots {
    std::string ttyClass = "/sys/class/tty";
    std::string dev = "/dev";
    // Whether a device of the legacy UART driver is a placeholder with no UART behind it; asked
    // only when the sysfs entry has no `type` attribute. The default asks the device itself.
    std::function<bool(const std::string& devicePath)> isPlaceholder;
};

bool uartIsPlaceholder(const std::string& devicePath);

// Device paths such as /dev/ttyUSB0, in the order of their names. Entries that cannot be read
// are skipped.
std::vector<std::string> scanSerialPorts(const SerialScanRoots& roots);

}  // namespace nira::platform
