#pragma once
// What a console program is told from outside: stop (Ctrl+C, a service manager's stop) and, on
// POSIX, reopen its files (SIGHUP, as log rotation sends it).
#include <functional>

namespace nira::platform {

enum class ConsoleSignal { Stop, Reopen };

// From now on the signals go to `handler`, called on a thread of its own. Call it before any
// other thread starts, so that none of them takes the signals instead.
void watchConsoleSignals(std::function<void(ConsoleSignal)> handler);
// The end is under way: once this returns, the handler is not called again (a late signal would
// otherwise reach what the end is taking down). Later signals are taken and dropped.
void stopWatchingConsoleSignals();

// Whether the process was given a standard output to write to. A window program on Windows has
// none when started from the desktop or a console without redirection; it has one when its output
// is redirected (or, under Wine, when started from a shell).
bool hasStandardOutput();

}  // namespace nira::platform
