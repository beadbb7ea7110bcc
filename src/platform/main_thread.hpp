#pragma once
// Calls handed to the main thread by other threads: synchronised calls (the caller waits and gets
// the routine's exception back) and sent messages (the caller waits until the receiver returns or
// replies). The main thread runs them whenever it looks for them: a GUI connects its event loop
// through the wake hook; code without an event loop pumps the queue itself.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace nira::platform {

class MainThreadQueue {
  public:
    // The queue of the process. The thread that first asks for it is its main thread unless
    // bindToCurrentThread names another.
    static MainThreadQueue& instance();

    void bindToCurrentThread();
    bool isMainThread() const;

    // Called (on any thread) whenever work is queued, so an event loop can schedule a pump.
    void setWakeHook(std::function<void()> hook);

    // Runs `routine` on the main thread and waits for it; an exception it throws is thrown
    // again here. On the main thread itself the routine simply runs.
    void synchronize(const std::function<void()>& routine);

    // Hands `routine` to the main thread without waiting.
    void post(std::function<void()> routine);

    // Main thread: runs `routine` there once `delay` has passed, from the main loop's own waits
    // (no thread of its own wakes for it). A cancelled call never runs.
    using TimerId = std::uint64_t;
    TimerId postAfter(std::chrono::milliseconds delay, std::function<void()> routine);
    void cancel(TimerId id);
    // Told (on the main thread) the time until the soonest timed call whenever that comes
    // sooner, so an event loop can arm a timer of its own that pumps the queue.
    void setTimerHook(std::function<void(std::chrono::milliseconds)> hook);

    // Sends a message: runs `receiver` on the main thread and waits until it returns or calls
    // replyMessage. Returns the reply. On the main thread the receiver simply runs.
    std::intptr_t sendMessage(const std::function<std::intptr_t()>& receiver);

    // Inside a receiver: whether the message came from another thread, and an early reply.
    static bool inSendMessage();
    static void replyMessage(std::intptr_t result);

    // Main thread: runs every call queued so far and the timed calls that are due. Returns how
    // many ran.
    int processPending();
    // Whether a call waits to be run (for tests that must catch a hand-over in the act).
    bool hasPending() const;

    // Main thread: waits until `done` holds, running queued calls meanwhile (not timed ones).
    // `done` is checked under the queue's lock first and after every wake-up; whoever makes it
    // true calls notify().
    void waitRunningCalls(const std::function<bool()>& done);
    // Main thread: waits up to `timeout` for work to arrive (or notify, or a timed call to fall
    // due), then runs it.
    void pumpFor(std::chrono::milliseconds timeout);
    void notify();

    struct Call;  // one queued routine or message

  private:
    using Clock = std::chrono::steady_clock;
    struct Timed {
        TimerId id;
        Clock::time_point due;
        std::function<void()> run;
    };

    MainThreadQueue();
    void enqueue(const std::shared_ptr<Call>& call);
    void waitDone(Call& call, std::unique_lock<std::mutex>& lock);
    int runQueued(std::exception_ptr& postedError);
    int runDueTimers(std::exception_ptr& postedError);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Call>> queue_;
    std::function<void()> hook_;
    std::thread::id mainId_;
    // Timed calls are the main thread's alone: no lock.
    std::vector<Timed> timers_;
    TimerId lastTimer_ = 0;
    std::function<void(std::chrono::milliseconds)> timerHook_;
};

}  // namespace nira::platform
