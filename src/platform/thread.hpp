#pragma once
// Worker threads as the serial component needs them: created stopped, with a priority, ended by
// an exception quietly (the exception stays with the thread object), and destroyed from the main
// thread by a wait that keeps running the calls workers hand to the main thread.

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

namespace nira::platform {

enum class ThreadPriority { Idle, Lowest, Lower, Normal, Higher, Highest, TimeCritical };

// Gives the calling thread a priority. Windows takes each one as it is; a POSIX thread may lower
// its own (a higher nice value) but not raise it without privileges, so the priorities above
// normal stay normal there. False when the system refused.
bool applyCurrentThreadPriority(ThreadPriority priority);

class Thread {
  public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Derived classes must call terminateAndWait() in their own destructor: the body may still
    // use their members.
    virtual ~Thread();

    void setPriority(ThreadPriority priority) { priority_ = priority; }
    ThreadPriority priority() const { return priority_; }

    void start();
    // Marks the thread terminated (the body decides whether it looks) and waits for its end.
    void terminateAndWait();
    bool terminated() const { return terminated_.load(); }
    bool started() const { return started_; }
    bool finished() const { return finished_.load(); }

    // The exception that ended the body, if any.
    std::exception_ptr fatalException() const;

  protected:
    virtual void execute() = 0;

  private:
    void run();

    ThreadPriority priority_ = ThreadPriority::Normal;
    std::thread thread_;
    bool started_ = false;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::exception_ptr fatal_;
};

}  // namespace nira::platform
