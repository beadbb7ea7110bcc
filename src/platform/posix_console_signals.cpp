#include <pthread.h>
#include <signal.h>

#include <mutex>
#include <thread>

#include "platform/console_signals.hpp"

namespace nira::platform {

namespace {
// Never destroyed: the waiting thread outlives every static destructor.
std::mutex& handlerMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::function<void(ConsoleSignal)>& currentHandler() {
    static auto* handler = new std::function<void(ConsoleSignal)>;
    return *handler;
}
}  // namespace

void stopWatchingConsoleSignals() {
    const std::lock_guard lock(handlerMutex());
    currentHandler() = nullptr;
}

void watchConsoleSignals(std::function<void(ConsoleSignal)> handler) {
    {
        const std::lock_guard lock(handlerMutex());
        currentHandler() = std::move(handler);
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    // Blocked here, inherited by every thread started later: only the waiter takes them.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) {
                continue;
            }
            const std::lock_guard lock(handlerMutex());
            if (currentHandler()) {
                currentHandler()(signal == SIGHUP ? ConsoleSignal::Reopen : ConsoleSignal::Stop);
            }
        }
    }).detach();
}

bool hasStandardOutput() {
    return true;  // a closed one only loses the text, as for any program here
}

}  // namespace nira::platform
