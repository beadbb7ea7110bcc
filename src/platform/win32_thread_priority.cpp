#include <windows.h>

#include "platform/thread.hpp"

namespace nira::platform {

bool applyCurrentThreadPriority(ThreadPriority priority) {
    int level = THREAD_PRIORITY_NORMAL;
    switch (priority) {
        case ThreadPriority::Idle:
            level = THREAD_PRIORITY_IDLE;
            break;
        case ThreadPriority::Lowest:
            level = THREAD_PRIORITY_LOWEST;
            break;
        case ThreadPriority::Lower:
            level = THREAD_PRIORITY_BELOW_NORMAL;
            break;
        case ThreadPriority::Normal:
            level = THREAD_PRIORITY_NORMAL;
            break;
        case ThreadPriority::Higher:
            level = THREAD_PRIORITY_ABOVE_NORMAL;
            break;
        case ThreadPriority::Highest:
            level = THREAD_PRIORITY_HIGHEST;
            break;
        case ThreadPriority::TimeCritical:
            level = THREAD_PRIORITY_TIME_CRITICAL;
            break;
    }
    return SetThreadPriority(GetCurrentThread(), level) != FALSE;
}

}  // namespace nira::platform
