#include "serial/device_return.hpp"

#include <filesystem>
#include <utility>
#include <vector>

#include "serial/com_port.hpp"

namespace nira::serial {

using namespace nira::platform;

namespace {

// What the operator knows another device by: its by-id name, or where its name leads.
std::string describe(const std::string& name, const PortIdentity& other) {
    if (!other.link.empty()) {
        return std::filesystem::path(other.link).filename().string();
    }
    std::error_code ec;
    const auto target = std::filesystem::canonical(name, ec);
    return ec ? name : target.string();
}

}  // namespace

DeviceReturn::~DeviceReturn() {
    cancelLook();
}

void DeviceReturn::opened(PortIdentity identity, const std::string& name) {
    identity_ = std::move(identity);
    nameInUse_ = name;
    state_ = State::Listening;
}

bool DeviceReturn::resumes() const {
    return port_.ResumeAfterLoss() && followable(identity_);
}

void DeviceReturn::postFailure(const std::exception_ptr& error, unsigned watch) {
    // The port may be gone, closed or listening through a newer watcher by the time this runs.
    std::weak_ptr<char> alive = alive_;
    MainThreadQueue::instance().post([this, alive, watch, error] {
        if (!alive.expired() && watch == watch_ && state_ == State::Listening) {
            report(error);
        }
    });
}

void DeviceReturn::report(const std::exception_ptr& error) {
    const bool lost = port_.DeviceLost();
    if (lost) {
        port_.ReleaseLostDevice();
        state_ = State::Lost;
        lookError_ = ERROR_SUCCESS;
        refusedSince_.reset();
        refusalTold_ = false;
        stranger_.clear();
        if (resumes()) {
            scheduleLook();
        }
        // A box still up for an earlier loss tells this one too.
        if (reporting_) {
            return;
        }
    }
    struct Reporting {
        bool& flag;
        bool was;
        ~Reporting() { flag = was; }
    } const reporting{reporting_, reporting_};
    reporting_ = reporting_ || lost;
    port_.TellFailure(error);
}

void DeviceReturn::closing() {
    state_ = State::Closing;
    ++watch_;
    cancelLook();
}

void DeviceReturn::scheduleLook() {
    cancelLook();
    std::weak_ptr<char> alive = alive_;
    lookTimer_ = MainThreadQueue::instance().postAfter(kLook, [this, alive] {
        if (alive.expired()) {
            return;
        }
        lookTimer_.reset();
        if (!look() && state_ == State::Lost) {
            scheduleLook();
        }
    });
}

void DeviceReturn::cancelLook() {
    if (lookTimer_) {
        MainThreadQueue::instance().cancel(*lookTimer_);
        lookTimer_.reset();
    }
}

bool DeviceReturn::look() {
    if (state_ != State::Lost || port_.DeviceHandle() != INVALID_HANDLE_VALUE) {
        return false;
    }
    // The chosen name when it leads to the lost device (the name the operator knows), else its
    // by-id link, which leads to it whatever name the system gave it. A name back as another
    // device is left alone, unopened.
    std::vector<std::string> names{port_.Port()};
    if (!identity_.link.empty()) {
        names.push_back(identity_.link);
    }
    std::string stranger;
    std::string inUse;
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (const auto& name : names) {
        const PortIdentity now = identifyPort(name, serialByIdFolder());
        if (sameDevice(identity_, now)) {
            error = tryResume(name);
            inUse = name;
            if (error != ERROR_FILE_NOT_FOUND) {
                break;
            }
        } else if (now.present && stranger.empty()) {
            stranger = describe(name, now);
        }
    }
    if (error == ERROR_SUCCESS) {
        state_ = State::Listening;
        nameInUse_ = inUse;
        if (port_.OnDeviceBack) {
            port_.OnDeviceBack(&port_);
        }
        return true;
    }
    if (error == ERROR_FILE_NOT_FOUND && !stranger.empty()) {
        error = ERROR_NOT_SAME_DEVICE;
        if (stranger != stranger_) {
            stranger_ = stranger;
            port_.TellFailure(
                std::make_exception_ptr(EComPort(AnotherDeviceMessage(port_.Port(), stranger))));
            if (state_ != State::Lost) {
                return false;  // Stop while the operator read it
            }
        }
    }
    tellLookFailed(error);
    return false;
}

DWORD DeviceReturn::tryResume(const std::string& name) {
    const DWORD error = port_.ResumeOn(name);
    if (error != ERROR_PRIVILEGE_NOT_HELD) {
        refusedSince_.reset();
        return error;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!refusedSince_) {
        refusedSince_ = now;
    }
    if (now - *refusedSince_ < kRefusalLasts) {
        // Perhaps the system has not given the node its group yet: not a reason to tell.
        return lookError_ != ERROR_SUCCESS ? lookError_ : ERROR_FILE_NOT_FOUND;
    }
    if (!refusalTold_) {
        // Back, but not ours to open: said once, and the waiting goes on.
        refusalTold_ = true;
        port_.TellFailure(std::make_exception_ptr(EComPort(PermissionDeniedMessage(port_.Port()))));
    }
    return error;
}

void DeviceReturn::tellLookFailed(DWORD error) {
    if (error == lookError_ || state_ != State::Lost) {
        return;
    }
    lookError_ = error;
    if (port_.OnLookFailed) {
        port_.OnLookFailed(&port_, error);
    }
}

}  // namespace nira::serial
