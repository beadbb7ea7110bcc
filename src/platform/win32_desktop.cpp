#include <shellapi.h>
#include <windows.h>

#include "platform/desktop.hpp"

namespace nira::platform {

void systemMessageBeep(unsigned type) {
    ::MessageBeep(type);
}

void systemShellExecute(const std::string& verb, const std::string& target, int show) {
    ::ShellExecuteA(GetActiveWindow(), verb.empty() ? nullptr : verb.c_str(), target.c_str(),
                    nullptr, nullptr, show);
}

}  // namespace nira::platform
