#include <pthread.h>
#include <signal.h>

#include <thread>

#include "platform/console_signals.hpp"

namespace nira::platform {

void watchConsoleSignals(std::function<void(ConsoleSignal)> handler) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    // Blocked here, inherited by every thread started later: only the waiter takes them.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, handler = std::move(handler)] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) {
                continue;
            }
            handler(signal == SIGHUP ? ConsoleSignal::Reopen : ConsoleSignal::Stop);
        }
    }).detach();
}

bool hasStandardOutput() {
    return true;  // a closed one only loses the text, as for any program here
}

}  // namespace nira::platform
