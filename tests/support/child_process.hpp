#pragma once
// Starts a program as a child with its standard output (and, if asked, its standard error) on
// pipes the caller reads. Throws when it cannot be started.
#include <spawn.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace nira::testing {

struct Child {
    pid_t pid = -1;
    int out = -1;  // the read ends
    int err = -1;  // -1 unless asked for
};

inline Child spawnChild(const char* exe, const std::vector<std::string>& args, bool withErr) {
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (::pipe(outPipe) != 0 || (withErr && ::pipe(errPipe) != 0)) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    if (withErr) {
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    }
    std::vector<std::string> all{exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Child child;
    const int rc = posix_spawn(&child.pid, exe, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    if (withErr) {
        ::close(errPipe[1]);
    }
    child.out = outPipe[0];
    child.err = errPipe[0];
    if (rc != 0) {
        ::close(child.out);
        if (withErr) {
            ::close(child.err);
        }
        throw std::runtime_error(std::string("cannot start ") + exe);
    }
    return child;
}

}  // namespace nira::testing
