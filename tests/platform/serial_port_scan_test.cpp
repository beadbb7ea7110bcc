// Finding the system's serial ports in a sysfs tree: real devices in, virtual terminals and
// empty legacy UART slots out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../support/temp_dir.hpp"
#include "platform/port_names.hpp"
#include "platform/serial_port_scan.hpp"

namespace nira::platform {
namespace {

namespace fs = std::filesystem;
using nira::testing::TempDir;
using nira::testing::writeFile;

// A sysfs-like tree: class/tty/<name> with a `device` link into devices/, an optional `type`
// attribute and a driver link; dev/<name> stands for the device node.
class SysfsTree {
  public:
    SysfsTree() { fs::create_directories(root_ / "class" / "tty"); }

    void add(const std::string& name, const char* driver, const char* type = nullptr,
             bool node = true) {
        const fs::path entry = root_ / "class" / "tty" / name;
        fs::create_directories(entry);
        if (driver != nullptr) {
            const fs::path device = root_ / "devices" / (name + "-parent");
            fs::create_directories(device);
            fs::create_directories(root_ / "drivers" / driver);
            fs::create_directory_symlink(root_ / "drivers" / driver, device / "driver");
            fs::create_directory_symlink(device, entry / "device");
        }
        if (type != nullptr) {
            writeFile(entry / "type", std::string(type) + "\n");
        }
        if (node) {
            writeFile(root_ / "dev" / name, "");
        }
    }

    SerialScanRoots roots(std::vector<std::string>* probed = nullptr) const {
        SerialScanRoots r;
        r.ttyClass = (root_ / "class" / "tty").string();
        r.dev = (root_ / "dev").string();
        r.isPlaceholder = [probed](const std::string& path) {
            if (probed != nullptr) {
                probed->push_back(fs::path(path).filename().string());
            }
            return fs::path(path).filename() != "ttyS1";  // only ttyS1 has a UART behind it
        };
        return r;
    }
    std::string dev(const std::string& name) const { return (root_ / "dev" / name).string(); }

  private:
    TempDir dir_;
    fs::path root_ = dir_.path();
};

TEST(SerialPortScan, KeepsDevicesAndSkipsVirtualAndPlaceholderTtys) {
    SysfsTree tree;
    tree.add("ttyUSB0", "ftdi_sio");
    tree.add("ttyACM0", "cdc_acm");
    tree.add("ttyAMA0", "uart-pl011", "32");  // a platform UART
    tree.add("ttyS0", "serial8250", "0");     // placeholder by its type attribute
    tree.add("ttyS3", "port", "4");           // newer kernels: the serial-base port driver
    tree.add("ttyS1", "serial8250");          // no type attribute: asks the device
    tree.add("ttyS2", "serial8250");
    tree.add("tty0", nullptr);  // virtual terminal
    tree.add("ptmx", nullptr);
    tree.add("ttyUSB1", "ftdi_sio", nullptr, false);  // listed by sysfs, node already gone

    std::vector<std::string> probed;
    EXPECT_EQ(scanSerialPorts(tree.roots(&probed)),
              (std::vector<std::string>{tree.dev("ttyACM0"), tree.dev("ttyAMA0"), tree.dev("ttyS1"),
                                        tree.dev("ttyS3"), tree.dev("ttyUSB0")}));
    EXPECT_EQ(probed, (std::vector<std::string>{"ttyS1", "ttyS2"}));
}

TEST(SerialPortScan, MissingOrUnreadableTreeGivesNothing) {
    SerialScanRoots roots;
    roots.ttyClass = "/nonexistent/class/tty";
    EXPECT_TRUE(scanSerialPorts(roots).empty());

    SysfsTree tree;
    tree.add("ttyUSB0", "ftdi_sio", "garbage");  // an unreadable type is no reason to drop it
    EXPECT_EQ(scanSerialPorts(tree.roots()), std::vector<std::string>{tree.dev("ttyUSB0")});
}

TEST(SerialPortScan, StableNameIsTheByIdLinkToTheDevice) {
    nira::testing::TempDir dir;
    namespace fs = std::filesystem;
    const fs::path dev = fs::path(dir.path()) / "dev";
    const fs::path byId = dev / "serial" / "by-id";
    fs::create_directories(byId);
    std::ofstream(dev / "ttyUSB0").put('x');
    std::ofstream(dev / "ttyUSB1").put('x');
    fs::create_symlink("../../ttyUSB0", byId / "usb-Maker_Adapter_A5028-if00-port0");
    EXPECT_EQ(stablePortName((dev / "ttyUSB0").string(), byId.string()),
              (byId / "usb-Maker_Adapter_A5028-if00-port0").string());
    EXPECT_EQ(stablePortName((dev / "ttyUSB1").string(), byId.string()), "");
    EXPECT_EQ(stablePortName((dev / "ttyUSB9").string(), byId.string()), "");
    EXPECT_EQ(stablePortName((dev / "ttyUSB0").string(), (dev / "none").string()), "");
}

}  // namespace
}  // namespace nira::platform
