#include "platform/desktop.hpp"
#include "platform/win_types.hpp"

// After windows.h, which it needs.
#include <shellapi.h>

namespace nira::platform {

void systemMessageBeep(unsigned type) {
    ::MessageBeep(type);
}

void systemShellExecute(const std::string& verb, const std::string& target, int show) {
    ::ShellExecuteA(::GetActiveWindow(), verb.empty() ? nullptr : verb.c_str(), target.c_str(),
                    nullptr, nullptr, show);
}

}  // namespace nira::platform
