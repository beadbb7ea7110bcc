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

// What a serial device is known by beyond its name, taken when it is opened: the system hands a
// name (ttyUSB0, /dev/pts/3) to the next device or program that comes, so a name alone does not
// say the device is the one that was there. All empty on Windows, where the COM name is what
// there is to go by.
struct PortIdentity {
    std::string link;             // the by-id link leading to it (a USB adapter)
    std::string place;            // its device in the system's tree (an on-board UART's too)
    bool pseudoTerminal = false;  // a pty: its number goes to whichever program asks next
    std::string namedLink;        // the name is a link the operator made, as it was made then
    bool present = true;          // something is there under the name (Windows cannot tell)
};
// `port`: the name as the operator chose it ("ttyS0", "/dev/ttyUSB0", a link of their own).
PortIdentity identifyPort(const std::string& port, const std::string& byIdDir);
// Whether a device lost while `was` was its identity can be told again when it comes back. A
// pseudo-terminal reached by nothing but its number cannot: the number is anyone's next.
inline bool followable(const PortIdentity& was) {
    return !was.pseudoTerminal || !was.link.empty() || !was.namedLink.empty();
}
// Whether what is there now (`now`) is the device that was lost (`was`): the same by-id link, a
// link the operator made anew since, the same place in the system's tree; with nothing to go by
// (a COM name), the name.
inline bool sameDevice(const PortIdentity& was, const PortIdentity& now) {
    if (!now.present) {
        return false;
    }
    if (!was.link.empty()) {
        return now.link == was.link;
    }
    if (!was.namedLink.empty()) {
        return !now.namedLink.empty() && now.namedLink != was.namedLink;
    }
    if (!was.place.empty()) {
        return now.place == was.place;
    }
    return !was.pseudoTerminal;
}

}  // namespace nira::platform
