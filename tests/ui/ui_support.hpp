#pragma once
// What the window tests share: a desktop that records instead of beeping, launching and showing
// message boxes, a way to let the event loop run, and a port registry of their own.
#include <QApplication>
#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include "../support/pty_pair.hpp"
#endif

#include "../support/temp_dir.hpp"
#include "platform/registry.hpp"
#include "platform/store_registry.hpp"
#include "ui/desktop.hpp"

namespace nira::testing {

struct Launch {
    std::string verb;
    std::string target;
    int show;
    bool operator==(const Launch&) const = default;
};

class RecordingDesktop : public ui::Desktop {
  public:
    RecordingDesktop() { ui::setDesktop(this); }
    ~RecordingDesktop() override { ui::setDesktop(nullptr); }
    RecordingDesktop(const RecordingDesktop&) = delete;
    RecordingDesktop& operator=(const RecordingDesktop&) = delete;

    void messageBeep(unsigned type) override { beeps.push_back(type); }
    void shellExecute(const std::string& verb, const std::string& target, int show) override {
        launches.push_back({verb, target, show});
    }
    void bringToFront(QWidget*) override { ++broughtToFront; }
    void showException(const QString& text) override { messages.push_back(text.toStdString()); }

    std::vector<unsigned> beeps;
    std::vector<Launch> launches;
    int broughtToFront = 0;
    std::vector<std::string> messages;
};

// Runs the event loop until `done` holds or the time is up.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limit.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void runFor(std::chrono::milliseconds span) {
    waitUntil([] { return false; }, span);
}

#ifdef _WIN32
// The real registry with every key below HKEY_LOCAL_MACHINE moved into a key of the test's own,
// removed afterwards: the registry's own rules, and nothing of the machine's touched.
class SandboxRegistry : public platform::RegistryApi {
  public:
    SandboxRegistry() {
        static int count = 0;
        root_ = "SOFTWARE\\nira7-tests\\" + std::to_string(::GetCurrentProcessId()) + "-" +
                std::to_string(++count);
    }
    ~SandboxRegistry() override {
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, root_.c_str());
        ::RegDeleteTreeA(HKEY_CURRENT_USER, root_.c_str());
    }
    SandboxRegistry(const SandboxRegistry&) = delete;
    SandboxRegistry& operator=(const SandboxRegistry&) = delete;

    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access,
                       HKEY* result) override {
        return real().RegOpenKeyExA(root, moved(subKey).c_str(), options, access, result);
    }
    LONG RegCreateKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result,
                         DWORD* disposition) override {
        return real().RegCreateKeyExA(root, moved(subKey).c_str(), options, access, result,
                                      disposition);
    }
    LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type, BYTE* data,
                       DWORD* dataSize) override {
        return real().RegEnumValueA(key, index, name, nameSize, type, data, dataSize);
    }
    LONG RegQueryValueExA(HKEY key, const char* name, DWORD* type, BYTE* data,
                          DWORD* dataSize) override {
        return real().RegQueryValueExA(key, name, type, data, dataSize);
    }
    LONG RegSetValueExA(HKEY key, const char* name, DWORD type, const BYTE* data,
                        DWORD size) override {
        return real().RegSetValueExA(key, name, type, data, size);
    }
    LONG RegDeleteValueA(HKEY key, const char* name) override {
        return real().RegDeleteValueA(key, name);
    }
    LONG RegCloseKey(HKEY key) override { return real().RegCloseKey(key); }

  private:
    static platform::RegistryApi& real() { return platform::systemRegistry(); }
    std::string moved(const char* subKey) const { return root_ + "\\" + subKey; }
    std::string root_;
};
#endif

// A registry whose port key holds exactly the given ports and no system port: on POSIX systems a
// store of its own in a temporary folder (the device paths must exist), on Windows a sandbox in
// the real registry.
class TestRegistry {
  public:
    explicit TestRegistry(const std::vector<std::string>& ports = {}) {
#ifdef _WIN32
        api_ = std::make_unique<SandboxRegistry>();
#else
        platform::SerialScanRoots roots;
        roots.ttyClass = (dir_ / "no-sysfs").string();
        api_ = platform::makeStoreRegistry(storePath(), roots);
#endif
        for (const auto& port : ports) {
            add(port);
        }
    }
    void add(const std::string& device) {
        using namespace platform;
        HKEY key = nullptr;
        api_->RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_ALL_ACCESS, &key, nullptr);
        api_->RegSetValueExA(key, ("port " + device).c_str(), REG_SZ,
                             reinterpret_cast<const BYTE*>(device.c_str()),
                             static_cast<DWORD>(device.size() + 1));
        api_->RegCloseKey(key);
    }
    platform::RegistryApi& api() {
        return *api_;
    }
#ifndef _WIN32
    std::string storePath() const {
        return (dir_ / "registry.reg").string();
    }
#endif
    const TempDir& dir() const {
        return dir_;
    }

  private:
    TempDir dir_;
    std::unique_ptr<platform::RegistryApi> api_;
};

#ifdef _WIN32
// A Windows program cannot make a pseudo-terminal: a port that is listed but cannot be opened.
class TestPort {
  public:
    TestPort() {
        static int count = 200;
        path_ = "COM" + std::to_string(++count);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};
inline constexpr const char* kMissingPort = "COM199";
// For tests that listen on a port or play its device end.
#define NIRA_NEEDS_PSEUDO_TERMINAL()                                                              \
    GTEST_SKIP() << "a Windows program cannot make a pseudo-terminal (the COM round trip of the " \
                    "Windows program covers listening)"
#else
using TestPort = PtyPair;
inline constexpr const char* kMissingPort = "/dev/nira7-no-such-port";
#define NIRA_NEEDS_PSEUDO_TERMINAL() static_cast<void>(0)
#endif

}  // namespace nira::testing
