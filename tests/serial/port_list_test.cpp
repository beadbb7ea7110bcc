// The port list: sorted as texts regardless of case, duplicates kept, and on any registry
// failure the caller's list left exactly as it was.
#include <gtest/gtest.h>

#include <cstring>

#include "pump.hpp"
#include "serial/com_port.hpp"

namespace nira::serial {
namespace {

using namespace platform;
using nira::testing::messageOf;

// A serial port key with the given value data; fails where it is told to.
class FakeRegistry final : public RegistryApi {
  public:
    std::vector<std::string> ports;
    bool keyMissing = false;
    int failAtIndex = -1;
    int opened = 0;
    int closed = 0;

    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD, REGSAM access, HKEY* r) override {
        EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
        EXPECT_STREQ(subKey, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
        EXPECT_EQ(access, KEY_READ);
        if (keyMissing) {
            return ERROR_FILE_NOT_FOUND;
        }
        ++opened;
        *r = key();
        return ERROR_SUCCESS;
    }
    LONG RegCreateKeyExA(HKEY, const char*, DWORD, REGSAM, HKEY*, DWORD*) override {
        ADD_FAILURE() << "the port list only reads";
        return ERROR_ACCESS_DENIED;
    }
    LONG RegEnumValueA(HKEY k, DWORD index, char* name, DWORD* nameSize, DWORD*, BYTE* data,
                       DWORD* dataSize) override {
        EXPECT_EQ(k, key());
        EXPECT_EQ(*nameSize, 256U) << "sizes are set anew for every index";
        EXPECT_EQ(*dataSize, 256U);
        if (static_cast<int>(index) == failAtIndex) {
            return ERROR_GEN_FAILURE;
        }
        if (index >= ports.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        const std::string& port = ports[index];
        if (port.size() + 1 > *dataSize) {
            *dataSize = static_cast<DWORD>(port.size() + 1);
            return ERROR_MORE_DATA;
        }
        std::strcpy(name, "\\Device\\Serial");
        *nameSize = 14;
        std::memcpy(data, port.c_str(), port.size() + 1);
        // Make the size as small as the port's but leave garbage after the zero.
        if (port.size() + 2 <= *dataSize) {
            data[port.size() + 1] = 'Z';
        }
        *dataSize = static_cast<DWORD>(port.size() + 1);
        return ERROR_SUCCESS;
    }
    LONG RegQueryValueExA(HKEY, const char*, DWORD*, BYTE*, DWORD*) override {
        return ERROR_FILE_NOT_FOUND;
    }
    LONG RegSetValueExA(HKEY, const char*, DWORD, const BYTE*, DWORD) override {
        return ERROR_ACCESS_DENIED;
    }
    LONG RegDeleteValueA(HKEY, const char*) override { return ERROR_ACCESS_DENIED; }
    LONG RegCloseKey(HKEY k) override {
        EXPECT_EQ(k, key());
        ++closed;
        return ERROR_SUCCESS;
    }

  private:
    HKEY key() { return reinterpret_cast<HKEY>(this); }
};

TEST(ListSerialPorts, SortsAsTextsWithoutRegardToCase) {
    const struct {
        std::vector<std::string> values;
        std::vector<std::string> sorted;
    } cases[] = {
        {{"COM3", "COM1", "COM10", "COM2"}, {"COM1", "COM10", "COM2", "COM3"}},
        {{"com2", "COM1", "Com3"}, {"COM1", "com2", "Com3"}},
        {{"COM1", "COM1"}, {"COM1", "COM1"}},
        {{"/dev/ttyUSB0", "/dev/pts/3", "/dev/ttyACM0"},
         {"/dev/pts/3", "/dev/ttyACM0", "/dev/ttyUSB0"}},
        {{std::string(255, 'x')}, {std::string(255, 'x')}},  // fits with its zero
    };
    for (const auto& c : cases) {
        FakeRegistry registry;
        registry.ports = c.values;
        std::vector<std::string> list{"old"};
        ListSerialPorts(list, registry);
        EXPECT_EQ(list, c.sorted);
        EXPECT_EQ(registry.closed, 1);
    }
}

TEST(ListSerialPorts, KeyWithoutValuesEmptiesTheList) {
    FakeRegistry registry;
    std::vector<std::string> list{"COM1", "COM2"};
    ListSerialPorts(list, registry);
    EXPECT_TRUE(list.empty());
}

TEST(ListSerialPorts, FailuresLeaveTheListAsItWas) {
    const std::string registryFailed = "Помилка звернення до системного реєстру";
    const struct {
        const char* what;
        void (*arrange)(FakeRegistry&);
    } cases[] = {
        {"missing key", [](FakeRegistry& r) { r.keyMissing = true; }},
        {"value too long", [](FakeRegistry& r) { r.ports.push_back(std::string(256, 'x')); }},
        {"read fails", [](FakeRegistry& r) { r.failAtIndex = 1; }},
    };
    for (const auto& c : cases) {
        FakeRegistry registry;
        registry.ports = {"COM3", "COM1"};
        c.arrange(registry);
        std::vector<std::string> list{"COM7", "COM8"};
        EXPECT_EQ(messageOf([&] { ListSerialPorts(list, registry); }), registryFailed) << c.what;
        EXPECT_EQ(list, (std::vector<std::string>{"COM7", "COM8"})) << c.what;
        EXPECT_EQ(registry.closed, registry.opened) << c.what << ": the key stays open";
    }
}

}  // namespace
}  // namespace nira::serial
