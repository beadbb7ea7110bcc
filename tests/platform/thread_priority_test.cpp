// A worker thread runs at the priority it was given, as far as the system lets a program choose.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "platform/thread.hpp"

namespace nira::platform {
namespace {

// The calling thread's priority in the system's own terms.
int systemPriority() {
#ifdef _WIN32
    return GetThreadPriority(GetCurrentThread());
#else
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
#endif
}

class Recorder : public Thread {
  public:
    ~Recorder() override { terminateAndWait(); }
    int seen = -100;

  protected:
    void execute() override { seen = systemPriority(); }
};

TEST(ThreadPriority, AWorkerRunsAtItsPriority) {
    const int normal = systemPriority();
    struct Case {
        ThreadPriority priority;
        int expected;
    };
#ifdef _WIN32
    const Case cases[] = {{ThreadPriority::Normal, THREAD_PRIORITY_NORMAL},
                          {ThreadPriority::Lower, THREAD_PRIORITY_BELOW_NORMAL},
                          {ThreadPriority::Lowest, THREAD_PRIORITY_LOWEST},
                          {ThreadPriority::Highest, THREAD_PRIORITY_HIGHEST}};
#else
    // Above normal is asked as nice 0. Going below the nice value the run started with needs
    // privileges: without them the thread stays where it started.
    const bool privileged = ::geteuid() == 0;
    const auto granted = [&](int nice) { return privileged || nice >= normal ? nice : normal; };
    const Case cases[] = {{ThreadPriority::Normal, normal},
                          {ThreadPriority::Lower, granted(5)},
                          {ThreadPriority::Lowest, granted(10)},
                          {ThreadPriority::Idle, granted(19)},
                          {ThreadPriority::Highest, granted(0)}};
#endif
    for (const auto& c : cases) {
        Recorder worker;
        worker.setPriority(c.priority);
        worker.start();
        worker.terminateAndWait();
        EXPECT_EQ(worker.seen, c.expected) << static_cast<int>(c.priority);
    }
    EXPECT_EQ(systemPriority(), normal) << "the caller's own priority is left alone";
}

}  // namespace
}  // namespace nira::platform
