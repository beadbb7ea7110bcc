#pragma once
// What a console program is told from outside: stop (Ctrl+C, a service manager's stop) and, on
// POSIX, reopen its files (SIGHUP, as log rotation sends it).
#include <functional>

namespace nira::platform {

enum class ConsoleSignal { Stop, Reopen };

// From now on the signals go to `handler`, called on a thread of its own. Call it before any
// other thread starts, so that none of them takes the signals instead.
void watchConsoleSignals(std::function<void(ConsoleSignal)> handler);

}  // namespace nira::platform
