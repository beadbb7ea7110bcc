// The serial API's Windows meaning carried over termios, poll and the serial ioctls.
//
// Transfers finish inside ReadFile/WriteFile (the caller waits for them anyway) and report
// completion through the record's event. The one truly pending operation, WaitCommEvent, is
// resolved by whoever waits on its event: the wait polls the device and the event together.
// Handles, errors, the events and the transfers each have a file of their own
// (posix_serial_*.cpp); here the API passes each call to them.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_line_settings.hpp"
#include "platform/posix_serial.hpp"
#include "platform/posix_serial_device.hpp"

namespace nira::platform::posix {

namespace {

using namespace detail;

class PosixSerialApi final : public SerialApi {
  public:
    explicit PosixSerialApi(DeviceCalls& calls) : sys_(calls) {}

    HANDLE CreateFileA(const char* name) override {
        const std::string path = devicePath(name);
        if (path.empty()) {
            setLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        const int fd = sys_.open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            setLastError(errorFromErrno(errno));
            return INVALID_HANDLE_VALUE;
        }
        if (!isatty(fd)) {
            sys_.close(fd);
            setLastError(ERROR_GEN_FAILURE);
            return INVALID_HANDLE_VALUE;
        }
        // Exclusive like share mode 0: TIOCEXCL keeps other users out, flock also root.
        int ptyNumber = 0;
        const bool ptyMaster = sys_.ioctl(fd, TIOCGPTN, &ptyNumber) == 0;
        if (!ptyMaster && sys_.flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            sys_.close(fd);
            setLastError(errorFromErrno(err));
            return INVALID_HANDLE_VALUE;
        }
        // A Windows port has no line discipline: bytes arrive as sent from the moment it opens.
        // Raw at once, so bytes that come before the line settings are applied are neither
        // echoed, nor held for a line's end, nor changed (CR to LF, Ctrl+C to a signal).
        struct termios raw {};
        if (sys_.ioctl(fd, TCGETS, &raw) == 0) {
            cfmakeraw(&raw);
            sys_.ioctl(fd, TCSETS, &raw);
        }
        // A port opens with an empty input queue, as the Windows serial driver opens it: bytes a
        // pseudo-terminal kept from before would otherwise run into the first message. Emptied
        // before the port is marked as held, which is what a peer may wait for before it sends.
        sys_.ioctl(fd, TCFLSH, reinterpret_cast<void*>(static_cast<long>(TCIFLUSH)));
        sys_.ioctl(fd, TIOCEXCL, nullptr);
        const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd < 0) {
            sys_.close(fd);
            setLastError(ERROR_GEN_FAILURE);
            return INVALID_HANDLE_VALUE;
        }
        auto* dev = new Device(sys_);
        dev->fd = fd;
        dev->wakeFd = wakeFd;
        dev->hasIcount = sys_.ioctl(fd, TIOCGICOUNT, &dev->icount) == 0;
        dev->modemCounts = dev->icount;
        int lines = 0;
        dev->hasModem = sys_.ioctl(fd, TIOCMGET, &lines) == 0;
        if (dev->hasModem) {
            dev->startModemWatch();
        }
        setLastError(ERROR_SUCCESS);
        return dev;
    }

    DWORD GetLastError() override { return lastError(); }

    BOOL CloseHandle(HANDLE h) override {
        Object* obj = object(h);
        if (obj == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        if (auto* ev = dynamic_cast<Event*>(obj)) {
            if (Device* src = ev->source.load()) {
                std::lock_guard lock(src->mutex);
                if (src->wait.event == ev) {
                    src->wait = Device::Wait{};
                }
            }
        }
        delete obj;
        return TRUE;
    }

    BOOL SetupComm(HANDLE h, DWORD in, DWORD /*out*/) override {
        Device* dev = nullptr;
        if (const DWORD error = liveDevice(h, dev); error != ERROR_SUCCESS) {
            return fail(error);
        }
        std::lock_guard lock(dev->mutex);
        dev->inQueue = in;  // the kernel's queues have a fixed size; kept for EV_RX80FULL
        return TRUE;
    }

    BOOL SetCommState(HANDLE h, const DCB& dcb) override {
        Device* dev = device(h);
        if (dev == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        const int err = applyLineSettings(sys_, dev->fd, dcb);
        if (err != 0) {
            return fail(err == EINVAL ? ERROR_INVALID_PARAMETER : errorFromErrno(err));
        }
        // DTR_CONTROL_ENABLE / RTS_CONTROL_ENABLE raise the lines while the device is open.
        int lines = (dcb.fDtrControl == DTR_CONTROL_ENABLE ? TIOCM_DTR : 0) |
                    (dcb.fRtsControl == RTS_CONTROL_ENABLE ? TIOCM_RTS : 0);
        if (lines != 0 && sys_.ioctl(dev->fd, TIOCMBIS, &lines) != 0 && !noModemLines(errno)) {
            return fail(errorFromErrno(errno));
        }
        return TRUE;
    }

    BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& t) override {
        Device* dev = device(h);
        if (dev == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        std::lock_guard lock(dev->mutex);
        dev->timeouts = t;
        return TRUE;
    }

    BOOL SetCommMask(HANDLE h, DWORD mask) override {
        Device* dev = device(h);
        if (dev == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        {
            std::lock_guard lock(dev->mutex);
            dev->mask = mask;
            ++dev->maskGeneration;
            // Bytes a device sent as soon as the port was held, before anyone watched, are
            // news for the first watch: else they would wait for the next message and be read
            // with it as one. Later masks start from what is queued, as the Windows driver does.
            dev->resetHistory(dev->masked ? dev->queued() : 0);
            dev->masked = true;
        }
        dev->wake();
        return TRUE;
    }

    BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) override {
        Device* dev = device(h);
        if (dev == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        Event* ev = ov != nullptr ? event(ov->hEvent) : nullptr;
        if (mask == nullptr || ev == nullptr) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        if (dev->hungUp()) {
            return fail(ERROR_DEVICE_NOT_CONNECTED);
        }
        std::lock_guard lock(dev->mutex);
        if (dev->wait.active) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        ev->reset();
        ov->Internal = ERROR_IO_PENDING;
        dev->wait.active = true;
        dev->wait.overlapped = ov;
        dev->wait.mask = mask;
        dev->wait.event = ev;
        dev->wait.generation = dev->maskGeneration;
        ev->source.store(dev);
        return fail(ERROR_IO_PENDING);
    }

    BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status) override {
        Device* dev = nullptr;
        if (const DWORD error = liveDevice(h, dev); error != ERROR_SUCCESS) {
            return fail(error);
        }
        std::lock_guard lock(dev->mutex);
        dev->collectErrors();
        if (errors != nullptr) {
            *errors = dev->pendingErrors;
        }
        dev->pendingErrors = 0;
        if (status != nullptr) {
            *status = COMSTAT{};
            status->cbInQue = static_cast<DWORD>(dev->queued());
            int out = 0;
            status->cbOutQue =
                sys_.ioctl(dev->fd, TIOCOUTQ, &out) == 0 ? static_cast<DWORD>(out) : 0;
        }
        return TRUE;
    }

    BOOL GetCommModemStatus(HANDLE h, DWORD* status) override {
        Device* dev = nullptr;
        if (const DWORD error = liveDevice(h, dev); error != ERROR_SUCCESS) {
            return fail(error);
        }
        int lines = 0;
        if (sys_.ioctl(dev->fd, TIOCMGET, &lines) != 0) {
            if (!noModemLines(errno)) {
                return fail(errorFromErrno(errno));
            }
            lines = 0;  // a device without modem lines reports no signals
        }
        DWORD s = 0;
        s |= (lines & TIOCM_CTS) != 0 ? MS_CTS_ON : 0;
        s |= (lines & TIOCM_DSR) != 0 ? MS_DSR_ON : 0;
        s |= (lines & TIOCM_RI) != 0 ? MS_RING_ON : 0;
        s |= (lines & TIOCM_CD) != 0 ? MS_RLSD_ON : 0;
        if (status != nullptr) {
            *status = s;
        }
        return TRUE;
    }

    BOOL EscapeCommFunction(HANDLE h, DWORD function) override {
        Device* dev = device(h);
        if (dev == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        int line = 0;
        unsigned long request = 0;
        switch (function) {
            case SETDTR:
                line = TIOCM_DTR;
                request = TIOCMBIS;
                break;
            case CLRDTR:
                line = TIOCM_DTR;
                request = TIOCMBIC;
                break;
            case SETRTS:
                line = TIOCM_RTS;
                request = TIOCMBIS;
                break;
            case CLRRTS:
                line = TIOCM_RTS;
                request = TIOCMBIC;
                break;
            default:
                return fail(ERROR_INVALID_PARAMETER);
        }
        if (dev->hungUp()) {
            return fail(ERROR_DEVICE_NOT_CONNECTED);
        }
        if (sys_.ioctl(dev->fd, request, &line) != 0 && !noModemLines(errno)) {
            return fail(errorFromErrno(errno));
        }
        return TRUE;
    }

    BOOL PurgeComm(HANDLE h, DWORD flags) override {
        Device* dev = device(h);
        if (dev == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        if ((flags & (PURGE_TXABORT | PURGE_RXABORT)) != 0) {
            ++dev->abortGeneration;
        }
        if (dev->gone.load()) {
            return (flags & (PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0 ? fail(ERROR_DEVICE_NOT_CONNECTED)
                                                                  : TRUE;
        }
        const bool tx = (flags & PURGE_TXCLEAR) != 0;
        const bool rx = (flags & PURGE_RXCLEAR) != 0;
        if (tx || rx) {
            const int which = tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH);
            std::lock_guard lock(dev->mutex);
            if (!flush(*dev, which)) {
                return fail(errorFromErrno(errno));
            }
            if (rx) {
                dev->rxBaseline = 0;  // what comes after the purge is news, however little
            }
        }
        return TRUE;
    }

    BOOL ReadFile(HANDLE h, void* buffer, DWORD count, DWORD* read, OVERLAPPED* ov) override {
        Device* dev = device(h);
        if (dev == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        return readFile(sys_, *dev, buffer, count, read, ov);
    }

    BOOL WriteFile(HANDLE h, const void* buffer, DWORD count, DWORD* written,
                   OVERLAPPED* ov) override {
        Device* dev = device(h);
        if (dev == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        return writeFile(sys_, *dev, buffer, count, written, ov);
    }

    BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* transferred, BOOL wait) override {
        if (object(h) == nullptr || ov == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        Event* ev = event(ov->hEvent);
        if (ev == nullptr) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        if (wait != FALSE) {
            WaitForSingleObject(ov->hEvent, INFINITE);
        }
        if (!ev->signalled.load()) {
            return fail(ERROR_IO_INCOMPLETE);
        }
        if (ov->Internal != ERROR_SUCCESS) {
            return fail(static_cast<DWORD>(ov->Internal));
        }
        if (transferred != nullptr) {
            *transferred = static_cast<DWORD>(ov->InternalHigh);
        }
        return TRUE;
    }

    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override {
        auto* ev = new Event(manualReset != FALSE, initialState != FALSE);
        if (ev->fd < 0) {
            delete ev;
            setLastError(ERROR_GEN_FAILURE);
            return nullptr;
        }
        return ev;
    }

    BOOL SetEvent(HANDLE h) override {
        Event* ev = event(h);
        if (ev == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        ev->set();
        return TRUE;
    }

    DWORD WaitForSingleObject(HANDLE h, DWORD ms) override {
        return WaitForMultipleObjects(1, &h, ms);
    }

    DWORD WaitForMultipleObjects(DWORD n, const HANDLE* handles, DWORD ms) override {
        std::vector<Event*> events;
        for (DWORD i = 0; i < n; ++i) {
            Event* ev = event(handles[i]);
            if (ev == nullptr) {
                setLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            events.push_back(ev);
        }
        const bool forever = ms == INFINITE;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
        std::vector<pollfd> fds;
        std::vector<int> wakeFds;
        for (;;) {
            fds.clear();
            wakeFds.clear();
            int sleep = forever ? -1 : msUntil(deadline);
            for (Event* ev : events) {
                fds.push_back({ev->fd, POLLIN, 0});
                if (Device* dev = ev->source.load()) {
                    const Device::Look look = dev->evaluate();
                    if (look.sleepMs >= 0) {
                        sleep = sleep < 0 ? look.sleepMs : std::min(sleep, look.sleepMs);
                    }
                    fds.push_back({dev->fd, static_cast<short>(look.watchInput ? POLLIN : 0), 0});
                    fds.push_back({dev->wakeFd, POLLIN, 0});
                    wakeFds.push_back(dev->wakeFd);
                }
            }
            for (DWORD i = 0; i < n; ++i) {
                if (events[i]->take()) {
                    return WAIT_OBJECT_0 + i;
                }
            }
            if (!forever && msUntil(deadline) == 0) {
                return WAIT_TIMEOUT;
            }
            const int r = sys_.poll(fds.data(), fds.size(), sleep);
            if (r < 0 && errno != EINTR) {
                setLastError(errorFromErrno(errno));
                return WAIT_FAILED;
            }
            for (const int fd : wakeFds) {
                std::uint64_t value = 0;
                (void)!::read(fd, &value, sizeof value);  // non-blocking: drained if set
            }
        }
    }

    void Sleep(DWORD ms) override {
        if (ms == 0) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
    }

  private:
    bool flush(Device& dev, int which) {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): TCFLSH takes its argument by value
        return sys_.ioctl(dev.fd, TCFLSH, reinterpret_cast<void*>(static_cast<long>(which))) == 0;
    }

    DeviceCalls& sys_;
};

}  // namespace

std::unique_ptr<SerialApi> makeSerialApi(DeviceCalls& calls) {
    return std::make_unique<PosixSerialApi>(calls);
}

}  // namespace nira::platform::posix

namespace nira::platform {

SerialApi& systemSerialApi() {
    static posix::PosixSerialApi api(posix::systemDeviceCalls());
    return api;
}

}  // namespace nira::platform
