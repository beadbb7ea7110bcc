// Errors as Windows names them, and the objects behind the backend's handles.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix_serial_device.hpp"

namespace nira::platform::posix::detail {

namespace {
thread_local DWORD tLastError = ERROR_SUCCESS;
}  // namespace

DWORD lastError() {
    return tLastError;
}

void setLastError(DWORD error) {
    tLastError = error;
}

BOOL fail(DWORD error) {
    tLastError = error;
    return FALSE;
}

bool noModemLines(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOSYS;
}

DWORD errorFromErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return ERROR_FILE_NOT_FOUND;
        case EWOULDBLOCK:
        case EBUSY:
            return ERROR_ACCESS_DENIED;  // held by another program
        case EACCES:
        case EPERM:
            return ERROR_PRIVILEGE_NOT_HELD;  // this user may not use the device
        case EIO:
        case EBADF:
            return ERROR_DEVICE_NOT_CONNECTED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

int msUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

Event::Event(bool manual, bool initial) : manualReset(manual) {
    fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (initial) {
        set();
    }
}

Event::~Event() {
    if (fd >= 0) {
        ::close(fd);
    }
}

void Event::set() {
    if (!signalled.exchange(true)) {
        const std::uint64_t one = 1;
        (void)!::write(fd, &one, sizeof one);
    }
}

void Event::reset() {
    if (signalled.exchange(false)) {
        std::uint64_t value = 0;
        (void)!::read(fd, &value, sizeof value);
    }
}

bool Event::take() {
    if (!signalled.load()) {
        return false;
    }
    if (!manualReset) {
        reset();
    }
    return true;
}

Object* object(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return static_cast<Object*>(h);
}

Device* device(HANDLE h) {
    return dynamic_cast<Device*>(object(h));
}
Event* event(HANDLE h) {
    return dynamic_cast<Event*>(object(h));
}

DWORD liveDevice(HANDLE h, Device*& dev) {
    dev = device(h);
    if (dev == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    return dev->hungUp() ? ERROR_DEVICE_NOT_CONNECTED : ERROR_SUCCESS;
}

std::string devicePath(const char* name) {
    std::string path = name != nullptr ? name : "";
    const std::string prefix = "\\\\.\\";
    if (path.rfind(prefix, 0) == 0) {
        path.erase(0, prefix.size());
    }
    if (path.empty()) {
        return path;
    }
    return path.front() == '/' ? path : "/dev/" + path;
}

}  // namespace nira::platform::posix::detail
