#include "platform/thread.hpp"

#include "platform/main_thread.hpp"

namespace nira::platform {

Thread::~Thread() {
    terminateAndWait();
}

void Thread::start() {
    if (started_) {
        return;
    }
    started_ = true;
    thread_ = std::thread([this] { run(); });
}

void Thread::run() {
    // A priority the system refuses leaves the thread at normal priority: it still works.
    if (priority_ != ThreadPriority::Normal) {
        applyCurrentThreadPriority(priority_);
    }
    try {
        execute();
    } catch (...) {
        std::lock_guard lock(mutex_);
        fatal_ = std::current_exception();
    }
    finished_.store(true);
    MainThreadQueue::instance().notify();
}

void Thread::terminateAndWait() {
    terminated_.store(true);
    if (!thread_.joinable()) {
        return;
    }
    MainThreadQueue& queue = MainThreadQueue::instance();
    if (queue.isMainThread()) {
        // The body may be waiting for the main thread to run one of its calls.
        queue.waitRunningCalls([this] { return finished_.load(); });
    }
    thread_.join();
}

std::exception_ptr Thread::fatalException() const {
    std::lock_guard lock(mutex_);
    return fatal_;
}

}  // namespace nira::platform
