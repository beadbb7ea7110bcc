#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <thread>

#include "platform/desktop.hpp"

#ifdef NIRA_HAVE_CANBERRA
#include <canberra.h>
#endif

extern char** environ;

namespace nira::platform {

namespace {

namespace fs = std::filesystem;

std::string findInPath(std::string_view program) {
    // The program never changes its environment, so reading it from any thread is safe.
    const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
    std::string_view rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        if (!folder.empty()) {
            std::string candidate = std::string(folder) + "/" + std::string(program);
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        if (colon == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(colon + 1);
    }
    return {};
}

// Started straight from this (threaded) process, in a session of its own so it outlives the
// program; a small thread waits for it, so no zombie is left behind.
void spawnDetached(const std::vector<std::string>& command) {
    std::vector<std::string> copy = command;
    std::vector<char*> argv;
    argv.reserve(copy.size() + 1);
    for (auto& arg : copy) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    const int failed = ::posix_spawn(&child, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (failed == 0) {
        std::thread([child] {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
}

}  // namespace

std::vector<std::string> launchCommand(const std::string& target) {
    if (target.empty()) {
        return {};
    }
    if (target == "calc") {
        for (const char* calculator :
             {"gnome-calculator", "kcalc", "galculator", "mate-calc", "xcalc"}) {
            if (std::string found = findInPath(calculator); !found.empty()) {
                return {found};
            }
        }
        return {};
    }
    std::string what = target;
    std::error_code ec;
    if (target == "devmgmt.msc") {
        // The serial adapters by their names, else every device node.
        what = fs::is_directory("/dev/serial/by-id", ec) ? "/dev/serial/by-id" : "/dev";
    } else if (target.find("://") == std::string::npos && target.rfind("mailto:", 0) != 0 &&
               target.find('/') == std::string::npos && target.find('.') != std::string::npos &&
               !fs::exists(target, ec)) {
        // A bare host name such as "www.example.org" is a web address to the shell.
        what = "http://" + target;
    }
    const std::string opener = findInPath("xdg-open");
    if (opener.empty()) {
        return {};
    }
    return {opener, what};
}

void systemShellExecute(const std::string&, const std::string& target, int) {
    const auto command = launchCommand(target);
    if (!command.empty()) {
        spawnDetached(command);
    }
}

void systemMessageBeep(unsigned type) {
#ifdef NIRA_HAVE_CANBERRA
    // One failure (no sound device, no sound server) and the bell does from then on, so the
    // sound system's complaints come once at most.
    static ca_context* context = [] {
        ca_context* made = nullptr;
        if (ca_context_create(&made) != CA_SUCCESS) {
            return static_cast<ca_context*>(nullptr);
        }
        if (ca_context_open(made) != CA_SUCCESS) {
            ca_context_destroy(made);
            return static_cast<ca_context*>(nullptr);
        }
        return made;
    }();
    const char* sound = type == kBeepError         ? "dialog-error"
                        : type == kBeepQuestion    ? "dialog-question"
                        : type == kBeepExclamation ? "dialog-warning"
                                                   : "dialog-information";
    if (context != nullptr) {
        if (ca_context_play(context, 0, CA_PROP_EVENT_ID, sound, nullptr) == CA_SUCCESS) {
            return;
        }
        ca_context_destroy(context);
        context = nullptr;
    }
#else
    (void)type;
#endif
    // The terminal bell, where there is a terminal to ring.
    if (::isatty(STDERR_FILENO) != 0) {
        const char bell = '\a';
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, &bell, 1);
    }
}

}  // namespace nira::platform
