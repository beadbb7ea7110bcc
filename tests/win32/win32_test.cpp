// The Windows backends against the real API (under Wine in CI): the registry paths of the
// settings, the port list, and a receiver message through a COM port.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "../serial/pump.hpp"
#include "platform/registry.hpp"
#include "receiver/message.hpp"
#include "serial/com_port.hpp"
#include "ui/settings.hpp"

namespace nira {
namespace {

using namespace platform;

bool underWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class Win32Settings : public ::testing::Test {
  protected:
    const std::string key = "SOFTWARE\\nira7-win32-test-" + std::to_string(::GetCurrentProcessId());
    void TearDown() override { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str()); }
};

TEST_F(Win32Settings, PositionsRoundTripAsDwords) {
    ui::saveSettings(systemRegistry(), key, 3, 14);
    int port = 0;
    int speed = 0;
    ui::restoreSettings(
        systemRegistry(), key, [&](int v) { port = v; }, [&](int v) { speed = v; });
    EXPECT_EQ(port, 3);
    EXPECT_EQ(speed, 14);
    ui::saveSettings(systemRegistry(), key, -1, 5);
    ui::restoreSettings(
        systemRegistry(), key, [&](int v) { port = v; }, [&](int v) { speed = v; });
    EXPECT_EQ(port, -1);
}

TEST_F(Win32Settings, AStringValueIsTheWrongType) {
    HKEY handle = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    const DWORD one = 1;
    ::RegSetValueExA(handle, ui::kPortIndexValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                     4);
    ::RegSetValueExA(handle, ui::kSpeedIndexValue, 0, REG_SZ, reinterpret_cast<const BYTE*>("ab"),
                     3);
    ::RegCloseKey(handle);
    int port = 0;
    try {
        ui::restoreSettings(
            systemRegistry(), key, [&](int v) { port = v; }, [](int) {});
        ADD_FAILURE() << "restored a REG_SZ";
    } catch (const ui::ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Invalid data type for 'cbBaudRate.ItemIndex'");
    }
    EXPECT_EQ(port, 1) << "the port was restored before the failure";
}

TEST(Win32Ports, ListedSortedFromTheSystem) {
    std::vector<std::string> ports{"stale"};
    serial::ListSerialPorts(ports);
    const auto folded = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return s;
    };
    EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end(), [&](const auto& a, const auto& b) {
        return folded(a) < folded(b);
    }));
    EXPECT_EQ(std::count(ports.begin(), ports.end(), "stale"), 0);
    if (const char* com = std::getenv("NIRA7_TEST_COM")) {
        EXPECT_NE(std::find(ports.begin(), ports.end(), com), ports.end()) << com;
    }
}

// Needs a COM port with a receiver behind it (the simulator through Wine's port mapping):
// NIRA7_TEST_COM names it.
class ComRoundTrip : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* com = std::getenv("NIRA7_TEST_COM");
        if (com == nullptr) {
            GTEST_SKIP() << "NIRA7_TEST_COM names no port";
        }
        name = com;
        MainThreadQueue::instance().bindToCurrentThread();
    }
    std::string name;
};

TEST_F(ComRoundTrip, MessagesArriveWholeAndAreAcknowledged) {
    serial::TBComPort port;
    port.SetPort(name);
    port.SetBaudRate(serial::br9600);
    testing::useWindowTimeouts(port);
    std::vector<std::string> chunks;
    port.OnRxChar = [&](serial::TBComPort* sender, std::int32_t) {
        ::Sleep(40);
        std::string chunk;
        sender->ReadText(chunk, receiver::kMaxChunk);
        chunks.push_back(chunk);
        if (receiver::isAcknowledged(receiver::classifyChunk(chunk).kind)) {
            sender->WriteText("<");
        }
    };
    ASSERT_TRUE(port.OpenPort());
    port.WriteText("!");  // tells the receiver someone listens
    ASSERT_TRUE(testing::pumpUntil([&] { return chunks.size() >= 2; }, std::chrono::seconds(20)));
    EXPECT_EQ(chunks[0], std::string(">\x00\x0A\xFF\x10\x20\x30\x40\x50\xFF", 10));
    EXPECT_EQ(chunks[1], std::string(">\x00\xFF", 3));
    testing::pumpFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(port.ClosePort());
}

TEST_F(ComRoundTrip, ASecondOpenIsRefused) {
    if (underWine()) {
        GTEST_SKIP() << "Wine does not refuse a second open of a COM port";
    }
    serial::TBComPort first;
    first.SetPort(name);
    ASSERT_TRUE(first.OpenPort());
    serial::TBComPort second;
    second.SetPort(name);
    EXPECT_EQ(testing::messageOf([&] { second.OpenPort(); }),
              serial::EComPort::Message(serial::cmPortBusy));
}

}  // namespace
}  // namespace nira
