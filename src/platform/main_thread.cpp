#include "platform/main_thread.hpp"

#include <algorithm>
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
    std::exception_ptr postedError;
    const int ran = runQueued(postedError) + runDueTimers(postedError);
    // A posted routine has nobody to hand its failure to but the caller of the pump.
    if (postedError) {
        std::rethrow_exception(postedError);
    }
    return ran;
}

int MainThreadQueue::runQueued(std::exception_ptr& postedError) {
    int ran = 0;
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
    return ran;
}

MainThreadQueue::TimerId MainThreadQueue::postAfter(std::chrono::milliseconds delay,
                                                    std::function<void()> routine) {
    const auto due = Clock::now() + delay;
    const bool sooner =
        std::none_of(timers_.begin(), timers_.end(), [&](const Timed& t) { return t.due <= due; });
    timers_.push_back(Timed{++lastTimer_, due, std::move(routine)});
    if (sooner && timerHook_) {
        timerHook_(delay);
    }
    return lastTimer_;
}

void MainThreadQueue::cancel(TimerId id) {
    std::erase_if(timers_, [id](const Timed& t) { return t.id == id; });
}

void MainThreadQueue::setTimerHook(std::function<void(std::chrono::milliseconds)> hook) {
    timerHook_ = std::move(hook);
}

int MainThreadQueue::runDueTimers(std::exception_ptr& postedError) {
    int ran = 0;
    // Only those due now; one that a routine adds waits for its own time. A routine may cancel
    // others, so each is looked up again.
    const auto now = Clock::now();
    std::vector<TimerId> due;
    for (const Timed& t : timers_) {
        if (t.due <= now) {
            due.push_back(t.id);
        }
    }
    for (const TimerId id : due) {
        const auto found = std::find_if(timers_.begin(), timers_.end(),
                                        [id](const Timed& t) { return t.id == id; });
        if (found == timers_.end()) {
            continue;
        }
        const std::function<void()> run = std::move(found->run);
        timers_.erase(found);
        try {
            run();
        } catch (...) {
            if (!postedError) {
                postedError = std::current_exception();
            }
        }
        ++ran;
    }
    if (!timers_.empty() && timerHook_) {
        const auto soonest =
            std::min_element(timers_.begin(), timers_.end(),
                             [](const Timed& a, const Timed& b) { return a.due < b.due; });
        timerHook_(
            std::max(std::chrono::milliseconds(0),
                     std::chrono::ceil<std::chrono::milliseconds>(soonest->due - Clock::now())));
    }
    return ran;
}

void MainThreadQueue::notify() {
    { std::lock_guard lock(mutex_); }
    wake_.notify_all();
}

void MainThreadQueue::waitRunningCalls(const std::function<bool()>& done) {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this, &done] { return !queue_.empty() || done(); });
            if (done()) {
                return;
            }
        }
        std::exception_ptr postedError;
        runQueued(postedError);
        if (postedError) {
            std::rethrow_exception(postedError);
        }
    }
}

bool MainThreadQueue::hasPending() const {
    std::lock_guard lock(mutex_);
    return !queue_.empty();
}

void MainThreadQueue::pumpFor(std::chrono::milliseconds timeout) {
    auto until = Clock::now() + timeout;
    for (const Timed& t : timers_) {
        until = std::min(until, t.due);
    }
    {
        std::unique_lock lock(mutex_);
        wake_.wait_until(lock, until, [this] { return !queue_.empty(); });
    }
    processPending();
}

}  // namespace nira::platform
