#include <sys/resource.h>
#include <unistd.h>

#include "platform/thread.hpp"

namespace nira::platform {

bool applyCurrentThreadPriority(ThreadPriority priority) {
    int nice = 0;
    switch (priority) {
        case ThreadPriority::Idle:
            nice = 19;
            break;
        case ThreadPriority::Lowest:
            nice = 10;
            break;
        case ThreadPriority::Lower:
            nice = 5;
            break;
        default:
            nice = 0;
            break;
    }
    // On Linux a nice value belongs to the thread whose id is given.
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice) == 0;
}

}  // namespace nira::platform
