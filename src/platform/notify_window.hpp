#pragma once
// The hidden window that receives line events in window delivery mode: messages sent to it from
// another thread run on the main thread while the sender waits for the reply.

#include <cstdint>
#include <functional>

#include "platform/main_thread.hpp"

namespace nira::platform {

inline constexpr unsigned kWmUser = 0x0400;  // WM_USER

class NotifyWindow {
  public:
    using Procedure =
        std::function<std::intptr_t(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)>;
    explicit NotifyWindow(Procedure procedure) : procedure_(std::move(procedure)) {}

    // SendMessageA: blocks until the procedure has returned or replied.
    std::intptr_t SendMessageA(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
        return MainThreadQueue::instance().sendMessage(
            [this, message, wParam, lParam] { return procedure_(message, wParam, lParam); });
    }

    // DefWindowProcA: nothing of ours needs a default other than "handled, 0".
    static std::intptr_t DefWindowProcA(unsigned, std::uintptr_t, std::intptr_t) { return 0; }

  private:
    Procedure procedure_;
};

inline bool InSendMessage() {
    return MainThreadQueue::inSendMessage();
}
inline void ReplyMessage(std::intptr_t result) {
    MainThreadQueue::replyMessage(result);
}

}  // namespace nira::platform
