#pragma once
// Every system call the POSIX serial backend makes on a device, behind one seam, so that tests can
// play the ioctl behaviour of a given kernel driver on top of a pseudo-terminal.
#include <poll.h>
#include <pthread.h>
#include <sys/types.h>

#include <cstddef>

namespace nira::platform::posix {

class DeviceCalls {
  public:
    virtual ~DeviceCalls() = default;
    // Each returns what the system call returns and leaves its reason in errno.
    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual ssize_t read(int fd, void* buffer, std::size_t count) = 0;
    virtual ssize_t write(int fd, const void* buffer, std::size_t count) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
    virtual int flock(int fd, int operation) = 0;
    // Ends a blocking modem-line wait (TIOCMIWAIT) that `thread` is in: the wait returns EINTR.
    virtual void interrupt(pthread_t thread) = 0;
};

// The kernel itself.
DeviceCalls& systemDeviceCalls();

}  // namespace nira::platform::posix
