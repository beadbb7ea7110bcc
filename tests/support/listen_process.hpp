#pragma once
// nira7-listen as a child process: its standard output and error read as they come, its summary,
// its CPU time. Ends it (by its PID) if the test does not.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.hpp"

extern char** environ;

namespace nira::testing {

// The listener as a child, its standard output and error read as they come.
class ListenProcess {
  public:
    explicit ListenProcess(const std::vector<std::string>& args,
                           const char* exe = NIRA_LISTEN_EXE) {
        const Child child = spawnChild(exe, args, true);
        pid_ = child.pid;
        out_ = child.out;
        err_ = child.err;
    }
    ~ListenProcess() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            ::close(out_);
        }
        ::close(err_);
    }
    ListenProcess(const ListenProcess&) = delete;
    ListenProcess& operator=(const ListenProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const { ::kill(pid_, number); }

    // Standard output as a reader that never reads (a pipe of one page, left full) or that is
    // gone (its end closed).
    void stopReadingOutput() {
        readOutput_ = false;
        ::fcntl(out_, F_SETPIPE_SZ, 4096);
    }
    void closeOutput() {
        readOutput_ = false;
        ::close(out_);
        out_ = -1;
    }

    // Reads until `done` holds for what came so far, or the time is up.
    bool readUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd p[2] = {{readOutput_ ? out_ : -1, POLLIN, 0}, {err_, POLLIN, 0}};
            // A condition the output does not tell (another process ending) is looked at again
            // every 100 ms.
            if (::poll(p, 2, static_cast<int>(std::min<long>(left.count(), 100))) <= 0) {
                continue;
            }
            bool any = false;
            for (int i = 0; i < 2; ++i) {
                if ((p[i].revents & (POLLIN | POLLHUP)) != 0) {
                    char buffer[4096];
                    const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
                    if (n > 0) {
                        take(i, buffer, n);
                        any = true;
                    }
                }
            }
            if (!any && exited()) {
                drain();
                return done();
            }
        }
        return true;
    }
    std::optional<int> exited() {
        if (!status_) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return status_;
    }
    int waitExit() {
        readUntil([this] { return exited().has_value(); });
        drain();
        return exited().value_or(-1);
    }
    // What is still in the pipes once it has ended.
    void drain() {
        for (int i = readOutput_ ? 0 : 1; i < 2; ++i) {
            char buffer[4096];
            ssize_t n = 0;
            pollfd p{i == 0 ? out_ : err_, POLLIN, 0};
            while (::poll(&p, 1, 0) > 0 && (n = ::read(p.fd, buffer, sizeof buffer)) > 0) {
                take(i, buffer, n);
            }
        }
    }
    // "name: value" lines of the summary on standard error.
    std::map<std::string, std::string> summary() const {
        std::map<std::string, std::string> figures;
        std::istringstream lines(err);
        std::string line;
        while (std::getline(lines, line)) {
            const auto colon = line.find(": ");
            if (colon != std::string::npos && line.find(' ') > colon) {
                figures[line.substr(0, colon)] = line.substr(colon + 2);
            }
        }
        return figures;
    }
    // CPU time used so far, in milliseconds; once the process is gone, what it had used when
    // last looked at (a listener ends by itself when its pseudo-terminal goes).
    long cpuMs() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t nameEnd = all.rfind(')');
        if (nameEnd == std::string::npos || nameEnd + 2 > all.size()) {
            return lastCpuMs_;
        }
        std::istringstream fields(all.substr(nameEnd + 2));
        std::string field;
        long ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14 || i == 15) {
                ticks += std::stol(field);
            }
        }
        lastCpuMs_ = ticks * 1000 / sysconf(_SC_CLK_TCK);
        return lastCpuMs_;
    }

    // Resident memory now, in KiB.
    long rssKb() const {
        std::ifstream statm("/proc/" + std::to_string(pid_) + "/statm");
        long pages = 0;
        long resident = 0;
        statm >> pages >> resident;
        return resident * sysconf(_SC_PAGESIZE) / 1024;
    }

    // Lines of standard output so far, counted as they come (a wait over a long run reads each
    // byte once).
    std::size_t outLines() const { return outLines_; }

    std::string out;
    std::string err;

  private:
    mutable long lastCpuMs_ = 0;
    void take(int stream, const char* bytes, ssize_t n) {
        const auto size = static_cast<std::size_t>(n);
        if (stream == 0) {
            outLines_ += static_cast<std::size_t>(std::count(bytes, bytes + size, '\n'));
        }
        (stream == 0 ? out : err).append(bytes, size);
    }

    std::size_t outLines_ = 0;
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool readOutput_ = true;
    std::optional<int> status_;
};

}  // namespace nira::testing
