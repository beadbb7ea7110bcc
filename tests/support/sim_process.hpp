#pragma once
// Runs the receiver simulator as a child process: its port path from the first line, its
// figures from the rest, its exit status. Ends it (by its PID) if the test does not.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.hpp"

extern char** environ;

namespace nira::testing {

class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args) {
        const Child child = spawnChild(NIRA_SIM_EXE, args, false);
        pid_ = child.pid;
        out_ = child.out;
    }
    ~SimProcess() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The first line: the port path. Empty if it did not come in time.
    std::string portPath(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (output_.find('\n') == std::string::npos && readSome(deadline)) {
        }
        const auto eol = output_.find('\n');
        return eol == std::string::npos ? std::string() : output_.substr(0, eol);
    }

    pid_t pid() const { return pid_; }
    void signal(int number) { ::kill(pid_, number); }

    // The exit status once it has ended, without waiting.
    std::optional<int> exited() {
        if (!status_) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return status_;
    }

    // Everything it printed after the first line, read to the end, as name → value.
    std::map<std::string, std::string> figures() {
        while (readSome(std::chrono::steady_clock::now() + std::chrono::seconds(5))) {
        }
        std::map<std::string, std::string> out;
        std::size_t at = output_.find('\n');
        while (at != std::string::npos && at + 1 < output_.size()) {
            const std::size_t eol = output_.find('\n', at + 1);
            const std::string line = output_.substr(at + 1, eol - at - 1);
            if (const auto colon = line.find(": "); colon != std::string::npos) {
                out[line.substr(0, colon)] = line.substr(colon + 2);
            }
            at = eol;
        }
        return out;
    }

  private:
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{out_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[1024];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        output_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    std::optional<int> status_;
};

}  // namespace nira::testing
