#include "platform/serial_port_scan.hpp"

#include "platform/port_names.hpp"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

PortIdentity identifyPort(const std::string& port, const std::string& byIdDir) {
    PortIdentity id;
    const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0) {
        id.present = false;
        return id;
    }
    id.link = stablePortName(path, byIdDir);
    // Unix 98 pty slaves: majors 136 to 143.
    id.pseudoTerminal =
        S_ISCHR(node.st_mode) && major(node.st_rdev) >= 136 && major(node.st_rdev) <= 143;
    std::error_code ec;
    const fs::path device = fs::canonical(path, ec);
    if (!ec) {
        const fs::path place =
            fs::canonical(fs::path("/sys/class/tty") / device.filename() / "device", ec);
        if (!ec) {
            id.place = place.string();
        }
    }
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        // The link itself as made: remade, it has another inode or time.
        id.namedLink = path + "@" + std::to_string(link.st_ino) + ":" +
                       std::to_string(link.st_mtim.tv_sec) + "." +
                       std::to_string(link.st_mtim.tv_nsec);
    }
    return id;
}

}  // namespace nira::platform
