#pragma once
// What the serial component does when its device goes away while listening, and when it comes
// back. The loss is told once and the device let go at once; with resuming on, the device is
// looked for once a second by a timed call of the main thread (no thread of its own) and
// listened to again only when what came back is the device that was lost, never another that
// took its name. Once Stop (or the end) has begun, whatever the old opening left for the main
// thread is retired, not run.
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "platform/main_thread.hpp"
#include "platform/port_names.hpp"
#include "platform/win_types.hpp"

namespace nira::serial {

class TBComPort;

class DeviceReturn {
  public:
    enum class State {
        Idle,       // not open
        Listening,  // a watcher watches the device
        Lost,       // the device went away; looked for while resuming is on
        Closing,    // Stop or the end has begun: nothing of the opening runs any more
    };

    // How often a lost device is looked for.
    static constexpr std::chrono::seconds kLook{1};
    // How long a refusal to open a device that came back must last before it is told: the
    // system makes the node before it gives it its group.
    static constexpr std::chrono::seconds kRefusalLasts{3};

    explicit DeviceReturn(TBComPort& port) : port_(port) {}
    ~DeviceReturn();
    DeviceReturn(const DeviceReturn&) = delete;
    DeviceReturn& operator=(const DeviceReturn&) = delete;

    State state() const { return state_; }
    // Listening began on the port's chosen name; `identity` is what the device is known by.
    void opened(platform::PortIdentity identity, const std::string& name);
    const platform::PortIdentity& identity() const { return identity_; }
    // Whether a loss now would be waited for (resuming on, and a device that can be told again).
    bool resumes() const;

    // A new watcher is about to start: its number, which its report carries.
    unsigned nextWatch() { return ++watch_; }
    // On the watcher's thread: its failure, handed to the main thread. Told there only if that
    // watcher is still the port's and the port still listens.
    void postFailure(const std::exception_ptr& error, unsigned watch);

    // Stop or the end has begun: no look and no report of this opening runs from here on.
    void closing();
    void closed() { state_ = State::Idle; }

    // One look for the lost device; true when it is back and listened to again.
    bool look();

    // What the last look found under the name instead of the lost device, if anything.
    const std::string& stranger() const { return stranger_; }
    // The name the device was last opened under: the chosen one, or its by-id link after a
    // return under another name.
    const std::string& nameInUse() const { return nameInUse_; }

  private:
    void report(const std::exception_ptr& error);
    void scheduleLook();
    void cancelLook();
    // Tries `name`, which leads to the lost device; ERROR_SUCCESS when listening again.
    platform::DWORD tryResume(const std::string& name);
    void tellLookFailed(platform::DWORD error);

    TBComPort& port_;
    State state_ = State::Idle;
    platform::PortIdentity identity_;
    unsigned watch_ = 0;
    // What a report handed to the main thread checks before it touches the port.
    std::shared_ptr<char> alive_ = std::make_shared<char>(0);
    std::optional<platform::MainThreadQueue::TimerId> lookTimer_;
    bool reporting_ = false;  // a loss is being told (a message box may be up)
    // Of the current loss:
    platform::DWORD lookError_{};  // what the last look got (0: nothing yet)
    std::optional<std::chrono::steady_clock::time_point> refusedSince_;
    bool refusalTold_ = false;
    std::string stranger_;  // another device under the name, told once
    std::string nameInUse_;
};

}  // namespace nira::serial
