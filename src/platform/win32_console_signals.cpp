#include <windows.h>

#include <mutex>
#include <utility>

#include "platform/console_signals.hpp"

namespace nira::platform {

namespace {
// Never destroyed: the system's handler thread may come during the end.
std::mutex& handlerMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::function<void(ConsoleSignal)>& consoleHandler() {
    static auto* handler = new std::function<void(ConsoleSignal)>;
    return *handler;
}
}  // namespace

void watchConsoleSignals(std::function<void(ConsoleSignal)> handler) {
    {
        const std::lock_guard lock(handlerMutex());
        consoleHandler() = std::move(handler);
    }
    SetConsoleCtrlHandler(
        [](DWORD) -> BOOL {
            const std::lock_guard lock(handlerMutex());
            if (consoleHandler()) {
                consoleHandler()(ConsoleSignal::Stop);
            }
            return TRUE;
        },
        TRUE);
}

void stopWatchingConsoleSignals() {
    const std::lock_guard lock(handlerMutex());
    consoleHandler() = nullptr;
}

bool hasStandardOutput() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN;
}

}  // namespace nira::platform
