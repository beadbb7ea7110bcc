// The serial API's Windows meaning carried over termios, poll and the serial ioctls.
//
// Transfers finish inside ReadFile/WriteFile (the caller waits for them anyway) and report
// completion through the record's event. The one truly pending operation, WaitCommEvent, is
// resolved by whoever waits on its event: the wait polls the device and the event together.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_line_settings.hpp"
#include "platform/posix_serial.hpp"

namespace nira::platform::posix {

namespace {

using Clock = std::chrono::steady_clock;

// How often a wait looks again at what the kernel cannot announce through poll: modem lines of a
// device without TIOCMIWAIT, a draining output queue, data left unread in the queue.
constexpr int kLineCheckMs = 50;
constexpr int kDrainCheckMs = 5;
constexpr int kLeftoverCheckMs = 20;
// A transfer without a time limit still looks for an abort this often.
constexpr int kAbortCheckMs = 50;
constexpr int kInterruptRetryMs = 2;
// EV_RX80FULL: the input queue is this full, in per cent.
constexpr std::uint64_t kRx80Percent = 80;

thread_local DWORD tLastError = ERROR_SUCCESS;

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

struct Object {
    virtual ~Object() = default;
};

struct Device;

struct Event final : Object {
    int fd = -1;
    bool manualReset = true;
    std::atomic<bool> signalled{false};
    std::atomic<Device*> source{nullptr};  // the device whose pending wait completes this event

    Event(bool manual, bool initial) : manualReset(manual) {
        fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (initial) {
            set();
        }
    }
    ~Event() override {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    void set() {
        if (!signalled.exchange(true)) {
            const std::uint64_t one = 1;
            (void)!::write(fd, &one, sizeof one);
        }
    }
    void reset() {
        if (signalled.exchange(false)) {
            std::uint64_t value = 0;
            (void)!::read(fd, &value, sizeof value);
        }
    }
    // Takes the signal for a waiter: an auto-reset event is consumed by the wait.
    bool take() {
        if (!signalled.load()) {
            return false;
        }
        if (!manualReset) {
            reset();
        }
        return true;
    }
};

struct Device final : Object {
    DeviceCalls& sys;
    int fd = -1;
    int wakeFd = -1;  // wakes a pending event wait when the mask changes or data was written
    std::mutex mutex;
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    DWORD inQueue = 4096;
    DWORD mask = 0;
    unsigned maskGeneration = 0;
    std::atomic<unsigned> abortGeneration{0};
    std::atomic<bool> gone{false};
    bool hasIcount = false;           // TIOCGICOUNT answers (it need not count received bytes)
    bool hasModem = false;            // TIOCMGET answers
    serial_icounter_struct icount{};  // error counters last collected
    DWORD pendingErrors = 0;          // CE_ flags not yet collected by ClearCommError
    bool wroteSinceTxEmpty = false;
    bool rx80Fired = false;
    // Like the Windows driver's event history: what counts as new is measured from the last
    // reported event (or the mask being set), not from the start of the current wait, so
    // nothing that arrives between two waits is lost. rxBaseline is how many of the queued
    // bytes were announced already; a read lowers it by what it consumed.
    int rxBaseline = 0;
    int modemBaseline = 0;
    bool ringHigh = false;
    serial_icounter_struct modemCounts{};

    // A thread sits in TIOCMIWAIT and wakes the event wait on a modem-line change, so a listening
    // device needs no timer; a device without that ioctl is looked at every kLineCheckMs.
    std::thread modemWatch;
    std::atomic<bool> modemWatchStop{false};
    std::atomic<bool> modemWatchDone{false};
    std::atomic<bool> modemWaitWorks{false};

    struct Wait {
        bool active = false;
        OVERLAPPED* overlapped = nullptr;
        DWORD* mask = nullptr;
        Event* event = nullptr;
        unsigned generation = 0;
    } wait;

    explicit Device(DeviceCalls& calls) : sys(calls) {}

    ~Device() override {
        stopModemWatch();
        if (wait.event != nullptr) {
            wait.event->source.store(nullptr);
        }
        if (fd >= 0) {
            sys.ioctl(fd, TIOCNXCL, nullptr);
            sys.close(fd);
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    void startModemWatch() {
        modemWaitWorks = true;
        modemWatch = std::thread([this] { watchModemLines(); });
    }

    void watchModemLines() {
        const unsigned long lines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI;
        // The kernel's wait counts changes from the moment it is entered: a change between two
        // waits is caught by the driver's counters, looked at just before each wait.
        serial_icounter_struct seen{};
        const bool counted = counters(seen);
        while (!modemWatchStop.load()) {
            serial_icounter_struct now{};
            if (counted && counters(now) && modemCountsDiffer(now, seen)) {
                seen = now;
                wake();
                continue;
            }
            // NOLINTNEXTLINE(performance-no-int-to-ptr): TIOCMIWAIT takes the mask by value
            const int r = sys.ioctl(fd, TIOCMIWAIT, reinterpret_cast<void*>(lines));
            const int err = errno;
            if (r == 0) {
                if (counted) {
                    counters(seen);
                }
                wake();
                continue;
            }
            if (err == EINTR) {
                continue;
            }
            // No such ioctl: the lines are looked at on a timer instead. Anything else is a
            // device going away, which the event wait finds for itself once woken.
            modemWaitWorks = false;
            wake();
            break;
        }
        modemWatchDone = true;
    }

    static bool modemCountsDiffer(const serial_icounter_struct& a,
                                  const serial_icounter_struct& b) {
        return a.cts != b.cts || a.dsr != b.dsr || a.dcd != b.dcd || a.rng != b.rng;
    }

    void stopModemWatch() {
        if (!modemWatch.joinable()) {
            return;
        }
        modemWatchStop = true;
        // A signal sent just before the thread enters the ioctl is lost: send until it is out.
        while (!modemWatchDone.load()) {
            sys.interrupt(modemWatch.native_handle());
            std::this_thread::sleep_for(std::chrono::milliseconds(kInterruptRetryMs));
        }
        modemWatch.join();
    }

    void wake() const {
        const std::uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
    }

    int queued() const {
        int n = 0;
        return sys.ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
    }

    bool hungUp() {
        if (gone.load()) {
            return true;
        }
        pollfd p{fd, 0, 0};
        if (sys.poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            gone.store(true);
        }
        return gone.load();
    }

    bool counters(serial_icounter_struct& now) {
        if (!hasIcount) {
            return false;
        }
        if (sys.ioctl(fd, TIOCGICOUNT, &now) != 0) {
            if (errorFromErrno(errno) == ERROR_DEVICE_NOT_CONNECTED) {
                gone.store(true);
            }
            return false;
        }
        return true;
    }

    // Adds the line errors counted since the last look to pendingErrors; returns the new ones.
    DWORD collectErrors(const serial_icounter_struct& now) {
        DWORD flags = 0;
        flags |= now.frame != icount.frame ? CE_FRAME : 0;
        flags |= now.parity != icount.parity ? CE_RXPARITY : 0;
        flags |= now.overrun != icount.overrun ? CE_OVERRUN : 0;
        flags |= now.brk != icount.brk ? CE_BREAK : 0;
        flags |= now.buf_overrun != icount.buf_overrun ? CE_RXOVER : 0;
        icount = now;
        pendingErrors |= flags;
        return flags;
    }
    DWORD collectErrors() {
        serial_icounter_struct now{};
        return counters(now) ? collectErrors(now) : 0;
    }

    int modemLines() {
        int lines = 0;
        if (!hasModem) {
            return 0;
        }
        if (sys.ioctl(fd, TIOCMGET, &lines) != 0) {
            // A driver whose device was pulled fails its calls before the tty hangs up.
            if (errorFromErrno(errno) == ERROR_DEVICE_NOT_CONNECTED ||
                errorFromErrno(errno) == ERROR_FILE_NOT_FOUND) {
                gone.store(true);
            }
            return 0;
        }
        return lines;
    }

    // Called with the mutex held: what is there now is no longer news.
    void resetHistory(int count) {
        serial_icounter_struct now{};
        const bool counted = counters(now);
        resetHistory(count, modemLines(), counted ? &now : nullptr);
    }
    // The readings an evaluation used: anything that changed after them is news for the next.
    void resetHistory(int count, int lines, const serial_icounter_struct* now) {
        rxBaseline = count;
        modemBaseline = lines;
        ringHigh = (lines & TIOCM_RI) != 0;
        if (now != nullptr) {
            modemCounts = *now;
        }
    }

    // Called with the mutex held.
    void complete(DWORD events, DWORD error) {
        *wait.mask = events;
        wait.overlapped->Internal = error;
        wait.overlapped->InternalHigh = 0;
        Event* event = wait.event;
        wait = Wait{};
        event->source.store(nullptr);
        event->set();
    }

    // Modem-line events since the last report. A driver's change counters catch a pulse that is
    // over before anyone looks (a short ring); the line levels catch a driver that counts nothing.
    DWORD modemEvents(int lines, const serial_icounter_struct* now) {
        int changed = lines ^ modemBaseline;
        // A ring is its trailing edge, as the UARTs report it, seen at any look since the report.
        bool rang = ringHigh && (lines & TIOCM_RI) == 0;
        ringHigh = (lines & TIOCM_RI) != 0;
        if (now != nullptr) {
            changed |= now->cts != modemCounts.cts ? TIOCM_CTS : 0;
            changed |= now->dsr != modemCounts.dsr ? TIOCM_DSR : 0;
            changed |= now->dcd != modemCounts.dcd ? TIOCM_CD : 0;
            rang = rang || now->rng != modemCounts.rng;
        }
        DWORD events = 0;
        events |= (changed & TIOCM_CTS) != 0 ? EV_CTS : 0;
        events |= (changed & TIOCM_DSR) != 0 ? EV_DSR : 0;
        events |= (changed & TIOCM_CD) != 0 ? EV_RLSD : 0;
        events |= rang ? EV_RING : 0;
        return events;
    }

    // Looks whether the pending wait has something to report; completes it if so. Returns the
    // longest time the waiter may sleep before it must look again (-1: until poll wakes it).
    int evaluate() {
        std::lock_guard lock(mutex);
        if (!wait.active) {
            return -1;
        }
        if (hungUp()) {
            complete(0, ERROR_DEVICE_NOT_CONNECTED);
            return -1;
        }
        if (wait.generation != maskGeneration) {
            complete(0, ERROR_SUCCESS);  // a new mask ends a pending wait with no events
            return -1;
        }
        DWORD events = 0;
        // Data arrival comes from the input queue on every device: many drivers answer the
        // counter ioctl without ever counting received bytes.
        const int count = queued();
        if (count > rxBaseline) {
            events |= EV_RXCHAR;
        }
        rxBaseline = std::min(rxBaseline, count);  // a purge may have emptied the queue
        if (inQueue > 0 && static_cast<std::uint64_t>(count) * 100 >=
                               static_cast<std::uint64_t>(inQueue) * kRx80Percent) {
            if (!rx80Fired) {
                events |= EV_RX80FULL;
                rx80Fired = true;
            }
        } else {
            rx80Fired = false;
        }
        serial_icounter_struct now{};
        const bool counted = counters(now);
        if (gone.load()) {
            complete(0, ERROR_DEVICE_NOT_CONNECTED);
            return -1;
        }
        if (counted) {
            const DWORD errors = collectErrors(now);
            events |= (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) != 0 ? EV_ERR : 0;
            events |= (errors & CE_BREAK) != 0 ? EV_BREAK : 0;
            events |= (errors & CE_RXOVER) != 0 ? EV_RX80FULL : 0;
        }
        const int lines = modemLines();
        if (gone.load()) {
            complete(0, ERROR_DEVICE_NOT_CONNECTED);
            return -1;
        }
        if (hasModem) {
            events |= modemEvents(lines, counted ? &now : nullptr);
        }
        if (wroteSinceTxEmpty) {
            int out = 0;
            if (sys.ioctl(fd, TIOCOUTQ, &out) != 0 || out == 0) {
                wroteSinceTxEmpty = false;
                events |= EV_TXEMPTY;
            }
        }
        events &= mask;
        if (events != 0) {
            resetHistory(count, lines, counted ? &now : nullptr);
            complete(events, ERROR_SUCCESS);
            return -1;
        }
        int next = -1;
        auto sooner = [&next](int ms) { next = next < 0 ? ms : std::min(next, ms); };
        if (wroteSinceTxEmpty) {
            sooner(kDrainCheckMs);
        }
        if (count > 0) {
            sooner(kLeftoverCheckMs);  // poll cannot tell new data from what is already there
        }
        if (hasModem && !modemWaitWorks.load() &&
            (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) != 0) {
            sooner(kLineCheckMs);
        }
        return next;
    }
};

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

// The device behind a handle, if it is one and still there; otherwise the error to fail with.
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

// A transfer finishes inside ReadFile/WriteFile; its record's event reports the completion.
struct Transfer {
    Event* event;
    COMMTIMEOUTS timeouts;
    unsigned abortAt;  // a purge with an abort flag moves the device past this
};

Transfer beginTransfer(Device& dev, OVERLAPPED* ov) {
    Transfer transfer{ov != nullptr ? event(ov->hEvent) : nullptr, {}, 0};
    if (transfer.event != nullptr) {
        transfer.event->reset();
    }
    std::lock_guard lock(dev.mutex);
    transfer.timeouts = dev.timeouts;
    transfer.abortAt = dev.abortGeneration.load();
    return transfer;
}

BOOL finishTransfer(const Transfer& transfer, OVERLAPPED* ov, DWORD count, DWORD* reported) {
    if (reported != nullptr) {
        *reported = count;
    }
    if (ov != nullptr) {
        ov->Internal = ERROR_SUCCESS;
        ov->InternalHigh = count;
    }
    if (transfer.event != nullptr) {
        transfer.event->set();
    }
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

int msUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

class PosixSerialApi final : public SerialApi {
  public:
    explicit PosixSerialApi(DeviceCalls& calls) : sys_(calls) {}

    HANDLE CreateFileA(const char* name) override {
        const std::string path = devicePath(name);
        if (path.empty()) {
            tLastError = ERROR_FILE_NOT_FOUND;
            return INVALID_HANDLE_VALUE;
        }
        const int fd = sys_.open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            tLastError = errorFromErrno(errno);
            return INVALID_HANDLE_VALUE;
        }
        if (!isatty(fd)) {
            sys_.close(fd);
            tLastError = ERROR_GEN_FAILURE;
            return INVALID_HANDLE_VALUE;
        }
        // Exclusive like share mode 0: TIOCEXCL keeps other users out, flock also root.
        int ptyNumber = 0;
        const bool ptyMaster = sys_.ioctl(fd, TIOCGPTN, &ptyNumber) == 0;
        if (!ptyMaster && sys_.flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            sys_.close(fd);
            tLastError = errorFromErrno(err);
            return INVALID_HANDLE_VALUE;
        }
        // A port opens with an empty input queue, as the Windows serial driver opens it: bytes a
        // pseudo-terminal kept from before would otherwise run into the first message. Emptied
        // before the port is marked as held, which is what a peer may wait for before it sends.
        sys_.ioctl(fd, TCFLSH, reinterpret_cast<void*>(static_cast<long>(TCIFLUSH)));
        sys_.ioctl(fd, TIOCEXCL, nullptr);
        const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd < 0) {
            sys_.close(fd);
            tLastError = ERROR_GEN_FAILURE;
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
        tLastError = ERROR_SUCCESS;
        return dev;
    }

    DWORD GetLastError() override { return tLastError; }

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
            dev->resetHistory(dev->queued());
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
        const Transfer transfer = beginTransfer(*dev, ov);
        const COMMTIMEOUTS& t = transfer.timeouts;
        const unsigned abortAt = transfer.abortAt;
        const Clock::time_point start = Clock::now();

        // The Windows read time-outs: MAXDWORD interval with zero totals returns at once; MAXDWORD
        // interval and multiplier with a constant returns at the first byte or the constant;
        // otherwise a total limit (multiplier * count + constant; none when both are 0) and an
        // interval limit between bytes (none when 0).
        const bool atOnce = t.ReadIntervalTimeout == MAXDWORD &&
                            t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
        const bool firstByte =
            t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
            t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
        bool hasTotal = false;
        Clock::time_point totalDeadline = start;
        if (firstByte) {
            hasTotal = true;
            totalDeadline += std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
        } else if (!atOnce &&
                   (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)) {
            hasTotal = true;
            const std::uint64_t ms =
                static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                t.ReadTotalTimeoutConstant;
            totalDeadline += std::chrono::milliseconds(std::min<std::uint64_t>(ms, 1ULL << 31));
        }
        const bool hasInterval = !atOnce && !firstByte && t.ReadIntervalTimeout != 0 &&
                                 t.ReadIntervalTimeout != MAXDWORD;

        auto* out = static_cast<unsigned char*>(buffer);
        DWORD got = 0;
        Clock::time_point lastByte = start;
        DWORD error = ERROR_SUCCESS;
        while (got < count) {
            ssize_t n = 0;
            {
                // The read and the announced count move together, so a byte that arrives during
                // the read is news for the next wait.
                std::lock_guard lock(dev->mutex);
                n = sys_.read(dev->fd, out + got, count - got);
                if (n > 0) {
                    dev->rxBaseline = std::max(0, dev->rxBaseline - static_cast<int>(n));
                }
            }
            if (n > 0) {
                got += static_cast<DWORD>(n);
                lastByte = Clock::now();
                continue;
            }
            // A raw tty with VMIN = VTIME = 0 reads 0 when empty; a hung-up one reads 0 or EIO.
            if ((n == 0 && dev->hungUp()) || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                dev->gone.store(true);
                error = ERROR_DEVICE_NOT_CONNECTED;
                break;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (atOnce || (firstByte && got > 0)) {
                break;
            }
            int wait = -1;
            if (hasTotal) {
                wait = msUntil(totalDeadline);
            }
            if (hasInterval && got > 0) {
                const int interval =
                    msUntil(lastByte + std::chrono::milliseconds(t.ReadIntervalTimeout));
                wait = wait < 0 ? interval : std::min(wait, interval);
            }
            if (wait == 0) {
                break;
            }
            pollfd p{dev->fd, POLLIN, 0};
            sys_.poll(&p, 1, wait < 0 ? kAbortCheckMs : std::min(wait, kAbortCheckMs));
            if (dev->abortGeneration.load() != abortAt) {
                error = ERROR_OPERATION_ABORTED;
                break;
            }
            if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (p.revents & POLLIN) == 0) {
                dev->gone.store(true);
                error = ERROR_DEVICE_NOT_CONNECTED;
                break;
            }
        }
        if (error != ERROR_SUCCESS && got == 0) {
            return fail(error);
        }
        return finishTransfer(transfer, ov, got, read);
    }

    BOOL WriteFile(HANDLE h, const void* buffer, DWORD count, DWORD* written,
                   OVERLAPPED* ov) override {
        Device* dev = device(h);
        if (dev == nullptr) {
            return fail(ERROR_INVALID_HANDLE);
        }
        const Transfer transfer = beginTransfer(*dev, ov);
        const COMMTIMEOUTS& t = transfer.timeouts;
        const unsigned abortAt = transfer.abortAt;
        const std::uint64_t limitMs =
            static_cast<std::uint64_t>(t.WriteTotalTimeoutMultiplier) * count +
            t.WriteTotalTimeoutConstant;
        const bool hasTotal = limitMs != 0;
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(std::min<std::uint64_t>(limitMs, 1ULL << 31));

        const auto* in = static_cast<const unsigned char*>(buffer);
        DWORD put = 0;
        DWORD error = ERROR_SUCCESS;
        while (put < count) {
            const ssize_t n = sys_.write(dev->fd, in + put, count - put);
            if (n > 0) {
                put += static_cast<DWORD>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN) {
                dev->gone.store(errno == EIO || errno == ENXIO);
                error = errorFromErrno(errno);
                break;
            }
            const int wait = hasTotal ? msUntil(deadline) : kAbortCheckMs;
            if (wait == 0) {
                break;  // the write time-out: done with what went out
            }
            pollfd p{dev->fd, POLLOUT, 0};
            sys_.poll(&p, 1, std::min(wait, kAbortCheckMs));
            if (dev->abortGeneration.load() != abortAt) {
                error = ERROR_OPERATION_ABORTED;
                break;
            }
            if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                dev->gone.store(true);
                error = ERROR_DEVICE_NOT_CONNECTED;
                break;
            }
        }
        if (error != ERROR_SUCCESS) {
            return fail(error);
        }
        if (put > 0) {
            {
                std::lock_guard lock(dev->mutex);
                dev->wroteSinceTxEmpty = true;
            }
            dev->wake();
        }
        return finishTransfer(transfer, ov, put, written);
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
            tLastError = ERROR_GEN_FAILURE;
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
                tLastError = ERROR_INVALID_HANDLE;
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
                    const int next = dev->evaluate();
                    if (next >= 0) {
                        sleep = sleep < 0 ? next : std::min(sleep, next);
                    }
                    // Data already queued is not news: only an empty queue is worth a POLLIN.
                    const short want = dev->queued() == 0 ? POLLIN : 0;
                    fds.push_back({dev->fd, want, 0});
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
                tLastError = errorFromErrno(errno);
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
