#include "platform/posix_device_calls.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mutex>

namespace nira::platform::posix {

namespace {

// A blocked TIOCMIWAIT only returns on a line change, a hang-up or a signal. This signal has a
// handler that does nothing, installed without SA_RESTART, so the ioctl returns EINTR.
int interruptSignal() {
    static const int signal = [] {
        const int number = SIGRTMIN + 2;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(number, &action, nullptr);
        return number;
    }();
    return signal;
}

class SystemDeviceCalls final : public DeviceCalls {
  public:
    int open(const char* path, int flags) override { return ::open(path, flags); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        if (request == TIOCMIWAIT) {
            // Installed before anyone can be asked to leave the wait, and let through to this
            // thread: it inherits the mask of whoever opened the port, who may block it.
            sigset_t stop;
            sigemptyset(&stop);
            sigaddset(&stop, interruptSignal());
            pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
        }
        return ::ioctl(fd, request, argument);
    }
    ssize_t read(int fd, void* buffer, std::size_t count) override {
        return ::read(fd, buffer, count);
    }
    ssize_t write(int fd, const void* buffer, std::size_t count) override {
        return ::write(fd, buffer, count);
    }
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        return ::poll(fds, count, timeoutMs);
    }
    int flock(int fd, int operation) override { return ::flock(fd, operation); }
    void interrupt(pthread_t thread) override { pthread_kill(thread, interruptSignal()); }
};

}  // namespace

DeviceCalls& systemDeviceCalls() {
    static SystemDeviceCalls calls;
    return calls;
}

}  // namespace nira::platform::posix
