#include "platform/serial_port_scan.hpp"

#include "platform/port_names.hpp"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace nira::platform {

namespace fs = std::filesystem;

bool uartIsPlaceholder(const std::string& devicePath) {
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return true;
    }
    serial_struct info{};
    const bool unknown = ::ioctl(fd, TIOCGSERIAL, &info) != 0 || info.type == PORT_UNKNOWN;
    ::close(fd);
    return unknown;
}

std::vector<std::string> scanSerialPorts(const SerialScanRoots& roots) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(roots.ttyClass, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());

    std::vector<std::string> ports;
    for (const auto& name : names) {
        const fs::path entry = fs::path(roots.ttyClass) / name;
        // Virtual terminals, pseudo-terminals and the console have no device behind them.
        if (!fs::exists(entry / "device", ec)) {
            continue;
        }
        const std::string devicePath = (fs::path(roots.dev) / name).string();
        struct stat node {};
        if (::stat(devicePath.c_str(), &node) != 0) {
            continue;
        }
        std::ifstream typeFile(entry / "type");
        int type = -1;
        if (typeFile >> type) {
            if (type == PORT_UNKNOWN) {
                continue;
            }
        } else {
            const fs::path driver = fs::read_symlink(entry / "device" / "driver", ec);
            if (!ec && driver.filename() == "serial8250") {
                const auto& probe = roots.isPlaceholder ? roots.isPlaceholder : uartIsPlaceholder;
                if (probe(devicePath)) {
                    continue;
                }
            }
            ec.clear();
        }
        ports.push_back(devicePath);
    }
    return ports;
}

std::string stablePortName(const std::string& port, const std::string& byIdDir) {
    std::error_code ec;
    const fs::path device = fs::canonical(port, ec);
    if (ec) {
        return {};
    }
    std::vector<std::string> links;
    for (fs::directory_iterator it(byIdDir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkEc;
        if (it->is_symlink(linkEc) && fs::canonical(it->path(), linkEc) == device && !linkEc) {
            links.push_back(it->path().string());
        }
    }
    std::sort(links.begin(), links.end());
    return links.empty() ? std::string() : links.front();
}

}  // namespace nira::platform
