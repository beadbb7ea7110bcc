#include <windows.h>

#include <utility>

#include "platform/console_signals.hpp"

namespace nira::platform {

namespace {
std::function<void(ConsoleSignal)>& consoleHandler() {
    static std::function<void(ConsoleSignal)> handler;
    return handler;
}
}  // namespace

void watchConsoleSignals(std::function<void(ConsoleSignal)> handler) {
    consoleHandler() = std::move(handler);
    SetConsoleCtrlHandler(
        [](DWORD) -> BOOL {
            consoleHandler()(ConsoleSignal::Stop);
            return TRUE;
        },
        TRUE);
}

bool hasStandardOutput() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN;
}

}  // namespace nira::platform
