#pragma once
// Tests have no event loop: they run the main thread's queued calls themselves.
// Also the failure-message probe the serial tests share.
#include <chrono>
#include <functional>
#include <string>

#include "serial/com_port.hpp"

#include "platform/main_thread.hpp"

namespace nira::testing {

inline bool pumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto& queue = platform::MainThreadQueue::instance();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        queue.pumpFor(std::chrono::milliseconds(5));
    }
    return true;
}

inline void pumpFor(std::chrono::milliseconds span) {
    const auto deadline = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < deadline) {
        platform::MainThreadQueue::instance().pumpFor(std::chrono::milliseconds(5));
    }
}

// The time-outs the analyser's window gives its port.
inline void useWindowTimeouts(serial::TBComPort& port) {
    serial::TComTimeouts t;
    t.SetReadInterval(1);
    t.SetReadTotalMultiplier(0);
    t.SetReadTotalConstant(1);
    t.SetWriteTotalMultiplier(0);
    t.SetWriteTotalConstant(0);
    port.SetTimeouts(t);
}

// The serial component's failure message of an action, or "(no failure)".
inline std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const serial::EComPort& e) {
        return e.what();
    }
    return "(no failure)";
}

}  // namespace nira::testing
