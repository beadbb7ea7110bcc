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

#include "../support/temp_dir.hpp"
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

// A registry whose port key holds exactly the given device paths (which must exist) and no
// system port; its settings live in a temporary store.
class TestRegistry {
  public:
    explicit TestRegistry(const std::vector<std::string>& ports = {}) {
        platform::SerialScanRoots roots;
        roots.ttyClass = (dir_ / "no-sysfs").string();
        api_ = platform::makeStoreRegistry((dir_ / "registry.reg").string(), roots);
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
    platform::RegistryApi& api() { return *api_; }
    std::string storePath() const { return (dir_ / "registry.reg").string(); }
    const TempDir& dir() const { return dir_; }

  private:
    TempDir dir_;
    std::unique_ptr<platform::RegistryApi> api_;
};

}  // namespace nira::testing
