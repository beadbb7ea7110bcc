#include "platform/main_thread.hpp"

#include <utility>

namespace nira::platform {

struct MainThreadQueue::Call {
    std::function<void()> run;
    std::function<std::intptr_t()> receive;  // a sent message's receiver, owned by the call
    bool done = false;
    bool replied = false;
    bool sent = false;
    std::intptr_t reply = 0;
    std::exception_ptr error;
    bool detached = false;  // posted: nobody waits for it
};

namespace {
// The sent message whose receiver is running on this thread, if it came from another thread.
thread_local MainThreadQueue::Call* tCurrentSentCall = nullptr;
}  // namespace

MainThreadQueue& MainThreadQueue::instance() {
    static MainThreadQueue queue;
    return queue;
}

MainThreadQueue::MainThreadQueue() : mainId_(std::this_thread::get_id()) {}

void MainThreadQueue::bindToCurrentThread() {
    std::lock_guard lock(mutex_);
    mainId_ = std::this_thread::get_id();
}

bool MainThreadQueue::isMainThread() const {
    std::lock_guard lock(mutex_);
    return mainId_ == std::this_thread::get_id();
}

void MainThreadQueue::setWakeHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

void MainThreadQueue::enqueue(const std::shared_ptr<Call>& call) {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(call);
        hook = hook_;
        // Under the lock: a thread that posts on its way out (a stop signal's) is done with the
        // condition before the main thread can take the lock again, end and destroy it.
        wake_.notify_all();
    }
    if (hook) {
        hook();
    }
}

void MainThreadQueue::waitDone(Call& call, std::unique_lock<std::mutex>& lock) {
    wake_.wait(lock, [&call] { return call.done || call.replied; });
}

void MainThreadQueue::synchronize(const std::function<void()>& routine) {
    if (isMainThread()) {
        routine();
        return;
    }
    auto call = std::make_shared<Call>();
    call->run = routine;
    enqueue(call);
    std::unique_lock lock(mutex_);
    waitDone(*call, lock);
    if (call->error) {
        std::rethrow_exception(call->error);
    }
}

void MainThreadQueue::post(std::function<void()> routine) {
    auto call = std::make_shared<Call>();
    call->run = std::move(routine);
    call->detached = true;
    enqueue(call);
}

std::intptr_t MainThreadQueue::sendMessage(const std::function<std::intptr_t()>& receiver) {
    if (isMainThread()) {
        return receiver();
    }
    auto call = std::make_shared<Call>();
    call->sent = true;
    call->receive = receiver;  // the sender may go on (after a reply) while this still runs
    enqueue(call);
    std::unique_lock lock(mutex_);
    waitDone(*call, lock);
    if (call->error) {
        std::rethrow_exception(call->error);
    }
    return call->reply;
}

bool MainThreadQueue::inSendMessage() {
    return tCurrentSentCall != nullptr;
}

void MainThreadQueue::replyMessage(std::intptr_t result) {
    Call* call = tCurrentSentCall;
    if (call == nullptr) {
        return;
    }
    MainThreadQueue& q = instance();
    {
        std::lock_guard lock(q.mutex_);
        if (call->replied) {
            return;
        }
        call->reply = result;
        call->replied = true;
    }
    q.wake_.notify_all();
}

int MainThreadQueue::processPending() {
    int ran = 0;
    std::exception_ptr postedError;
    // Only what is queued now: a watcher that hands over the next delivery while this one runs
    // must not keep the event loop from the window's own events during a flood.
    std::size_t budget = 0;
    {
        std::lock_guard lock(mutex_);
        budget = queue_.size();
    }
    for (; budget > 0; --budget) {
        std::shared_ptr<Call> call;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) {
                break;
            }
            call = queue_.front();
            queue_.pop_front();
        }
        Call* const outerSent = tCurrentSentCall;
        tCurrentSentCall = call->sent ? call.get() : nullptr;
        std::exception_ptr error;
        std::intptr_t result = 0;
        try {
            if (call->sent) {
                result = call->receive();
            } else {
                call->run();
            }
        } catch (...) {
            error = std::current_exception();
        }
        tCurrentSentCall = outerSent;
        {
            std::lock_guard lock(mutex_);
            // A sender that already has its reply must not see the receiver's later failure.
            if (!call->replied && !call->detached) {
                call->error = error;
                call->reply = result;
            }
            call->done = true;
        }
        wake_.notify_all();
        ++ran;
        if (call->detached && error && !postedError) {
            postedError = error;
        }
    }
    // A posted routine has nobody to hand its failure to but the caller of the pump.
    if (postedError) {
        std::rethrow_exception(postedError);
    }
    return ran;
}

void MainThreadQueue::notify() {
    { std::lock_guard lock(mutex_); }
    wake_.notify_all();
}

void MainThreadQueue::waitRunningCalls(const std::function<bool()>& done) {
    for (;;) {
        processPending();
        std::unique_lock lock(mutex_);
        if (done()) {
            return;
        }
        wake_.wait(lock, [this, &done] { return !queue_.empty() || done(); });
        if (queue_.empty() && done()) {
            return;
        }
    }
}

bool MainThreadQueue::hasPending() const {
    std::lock_guard lock(mutex_);
    return !queue_.empty();
}

void MainThreadQueue::pumpFor(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
    }
    processPending();
}

}  // namespace nira::platform
