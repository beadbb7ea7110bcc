#include <windows.h>

#include "platform/thread.hpp"

namespace nira::platform {

bool applyCurrentThreadPriority(ThreadPriority priority) {
    // In the order of ThreadPriority.
    constexpr int kLevels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                               THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                               THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                               THREAD_PRIORITY_TIME_CRITICAL};
    return SetThreadPriority(GetCurrentThread(), kLevels[static_cast<int>(priority)]) != FALSE;
}

}  // namespace nira::platform
