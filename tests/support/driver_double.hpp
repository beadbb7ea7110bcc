#pragma once
// A pseudo-terminal that answers the serial ioctls the way a given kernel driver does. Bytes,
// poll, FIONREAD and hang-up are the real pty's; the counters (TIOCGICOUNT), the modem lines
// (TIOCMGET/TIOCMBIS/TIOCMBIC) and the modem-line wait (TIOCMIWAIT) are played here.
#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/posix_device_calls.hpp"
#include "pty_pair.hpp"

namespace nira::testing {

// The kernel's struct termios2, which cannot meet <termios.h> in one translation unit.
struct KernelTermios2 {
    unsigned c_iflag, c_oflag, c_cflag, c_lflag;
    unsigned char c_line;
    unsigned char c_cc[19];
    unsigned c_ispeed, c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44);
inline constexpr unsigned long kTcGets2 = _IOR('T', 0x2A, KernelTermios2);
inline constexpr unsigned long kTcSets2 = _IOW('T', 0x2B, KernelTermios2);

struct Personality {
    const char* name;
    bool icount;       // TIOCGICOUNT answers
    int icountErrno;   // what it fails with otherwise
    bool countsRx;     // the rx counter moves as bytes arrive
    bool modemLines;   // TIOCMGET/TIOCMBIS/TIOCMBIC answer
    bool countsModem;  // the cts/dsr/dcd/rng counters move on line changes
    bool modemWait;    // TIOCMIWAIT answers
    int modemGetUs;    // TIOCMGET's time: a USB control transfer on some adapters
    unsigned maxRate;  // above it the driver keeps the old rate (0: any rate is made)
    bool rateTable;    // the driver takes the nearest rate of its table
};

// What the Linux drivers do, from their sources:
// - 8250/16550 (serial_core): get_icount reports rx/tx, the line errors and cts/dsr/rng/dcd
//   (uart_handle_cts_change and friends count; rng on the ring's trailing edge); TIOCMIWAIT is
//   uart_wait_modem_status.
// - ftdi_sio: usb_serial_generic_get_icount; ftdi_process_packet adds each packet's length to rx
//   and counts modem-status changes from the status bytes; generic TIOCMIWAIT.
// - cp210x: usb_serial_generic_get_icount, but the generic read path never adds to rx; modem
//   changes are counted from the event-insertion stream; generic TIOCMIWAIT.
// - cdc-acm: acm_tty_get_icount fills dsr/rng/dcd and the line errors only (no rx, tx, cts);
//   TIOCMIWAIT waits for a serial-state notification; CTS always reads as on.
// - pl2303, ch341: no get_icount, so TIOCGICOUNT fails; modem lines and the generic TIOCMIWAIT
//   (their counts stay inside the driver).
// - pty: no get_icount (EINVAL), no tiocmget (ENOTTY), no modem wait.
// ftdi_sio and cp210x ask the adapter for the modem lines over USB (a control transfer, a
// millisecond or so); the others answer TIOCMGET from what the driver last heard.
// Rates: the 8250 with the usual 1.8432 MHz clock makes at most 115200, and serial_core keeps the
// old rate for one above; pl2303 types without divisors take the nearest rate of their table
// (pl2303_encode_baud_rate); both then read back what they made.
inline const Personality kPersonalities[] = {
    {"uart8250", true, 0, true, true, true, true, 0, 115200, false},
    {"ftdi_sio", true, 0, true, true, true, true, 1000, 0, false},
    {"cp210x", true, 0, false, true, true, true, 1000, 0, false},
    {"cdc_acm", true, 0, false, true, true, true, 0, 0, false},
    {"pl2303", false, EINVAL, false, true, false, true, 0, 0, true},
    {"ch341", false, EINVAL, false, true, false, true, 0, 0, false},
    {"pty", false, EINVAL, false, false, false, false, 0, 0, false},
};

class DriverDouble final : public platform::posix::DeviceCalls {
  public:
    explicit DriverDouble(const Personality& p) : p_(p), pty_(std::make_unique<PtyPair>()) {}

    const std::string& path() const { return pty_->path(); }
    const Personality& personality() const { return p_; }

    // Bytes from the device; they count as received the moment they are in the queue.
    void send(const std::string& bytes) {
        {
            std::lock_guard lock(mutex_);
            if (p_.countsRx) {
                counts_.rx += static_cast<int>(bytes.size());
            }
        }
        pty_->send(bytes);
    }
    std::string receive(int ms = 2000) const { return pty_->receive(ms); }

    enum class LineError { Frame, Parity, Overrun, Break };
    // A byte received with a line error: the byte goes on, the counter moves.
    void sendWithError(char byte, LineError error) {
        {
            std::lock_guard lock(mutex_);
            int* counter = error == LineError::Frame    ? &counts_.frame
                           : error == LineError::Parity ? &counts_.parity
                           : error == LineError::Break  ? &counts_.brk
                                                        : &counts_.overrun;
            ++*counter;
        }
        send(std::string(1, byte));
    }

    // A modem input (TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RI) goes to `on`.
    void setLine(int line, bool on) {
        {
            std::lock_guard lock(mutex_);
            const bool was = (inputs_ & line) != 0;
            if (was == on) {
                return;
            }
            inputs_ = on ? inputs_ | line : inputs_ & ~line;
            if (p_.countsModem || p_.modemWait) {
                // The driver's own counts: what TIOCMIWAIT waits on, what TIOCGICOUNT may show.
                if (line == TIOCM_CTS) {
                    ++hidden_.cts;
                } else if (line == TIOCM_DSR) {
                    ++hidden_.dsr;
                } else if (line == TIOCM_CD) {
                    ++hidden_.dcd;
                } else if (line == TIOCM_RI && (!on || !p_.countsModem)) {
                    ++hidden_.rng;  // UARTs count a ring's trailing edge; pl2303 any change
                }
            }
        }
        cv_.notify_all();
    }
    int outputs() const {
        std::lock_guard lock(mutex_);
        return outputs_;
    }

    // The adapter is pulled: the pty hangs up and the driver's calls fail with EIO.
    void vanish() {
        {
            std::lock_guard lock(mutex_);
            vanished_ = true;
        }
        cv_.notify_all();
        pty_->closeMaster();
    }
    // Plugged back in; it comes up at a new path as a pty does.
    void replug() {
        std::lock_guard lock(mutex_);
        pty_ = std::make_unique<PtyPair>();
        vanished_ = false;
        inputs_ = 0;
    }

    // Runs once, inside the next read that finds the queue empty after bytes were read: the
    // moment between the last read and whatever the reader does next.
    void onDrainedRead(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        drainedHook_ = std::move(hook);
    }

    // Runs once, inside the next look at the input queue (FIONREAD) that finds it empty on a
    // thread other than this caller's: the moment between a waiter's look and its sleep.
    void onEmptyQueueLook(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        emptyLookHook_ = std::move(hook);
        hookArmer_ = std::this_thread::get_id();
    }

    int modemWaitsEntered() const {
        std::lock_guard lock(mutex_);
        return modemWaits_;
    }
    // Whether someone is in the modem-line wait now.
    bool modemWaiting() const {
        std::lock_guard lock(mutex_);
        return waiting_ > 0;
    }

    // ---- DeviceCalls ----
    int open(const char* path, int flags) override {
        {
            std::lock_guard lock(mutex_);
            if (refuseOpen_ != 0) {
                return failWith(refuseOpen_);
            }
        }
        return ::open(path, flags);
    }
    // The next `calls` status calls (TIOCGICOUNT, TIOCMGET) fail with EIO while the tty stays
    // fine: a USB control transfer that failed once, the adapter still there.
    void failStatusCalls(int calls) {
        std::lock_guard lock(mutex_);
        failingStatusCalls_ = calls;
    }
    // How many status calls one look at the device makes on this personality.
    int statusCallsPerLook() const { return (p_.icount ? 1 : 0) + (p_.modemLines ? 1 : 0); }

    // Opens fail with `err` (0: they work), as for a device this user may not use.
    void refuseOpens(int err) {
        std::lock_guard lock(mutex_);
        refuseOpen_ = err;
    }
    int close(int fd) override { return ::close(fd); }
    int flock(int fd, int operation) override {
        return platform::posix::systemDeviceCalls().flock(fd, operation);
    }
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        return ::poll(fds, count, timeoutMs);
    }
    ssize_t write(int fd, const void* buffer, std::size_t count) override {
        return ::write(fd, buffer, count);
    }
    ssize_t read(int fd, void* buffer, std::size_t count) override {
        const ssize_t n = ::read(fd, buffer, count);
        const int err = errno;
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            if (n > 0) {
                readSomething_ = true;
            } else if (readSomething_ && drainedHook_) {
                hook = std::move(drainedHook_);
                drainedHook_ = nullptr;
            }
        }
        if (hook) {
            hook();
            waitQueued(fd);
        }
        errno = err;
        return n;
    }
    void interrupt(pthread_t thread) override {
        {
            std::lock_guard lock(mutex_);
            interrupted_.insert(thread);
        }
        cv_.notify_all();
    }

    int ioctl(int fd, unsigned long request, void* argument) override {
        std::unique_lock lock(mutex_);
        switch (request) {
            case TIOCGICOUNT:
                if (!p_.icount) {
                    return failWith(p_.icountErrno);
                }
                if (vanished_ || takeStatusFailure()) {
                    return failWith(EIO);
                }
                *static_cast<serial_icounter_struct*>(argument) = shown();
                return 0;
            case TIOCMGET:
                if (!p_.modemLines) {
                    return failWith(ENOTTY);
                }
                if (p_.modemGetUs > 0) {
                    lock.unlock();
                    std::this_thread::sleep_for(std::chrono::microseconds(p_.modemGetUs));
                    lock.lock();
                }
                if (vanished_ || takeStatusFailure()) {
                    return failWith(EIO);
                }
                *static_cast<int*>(argument) = inputs_ | outputs_ | ctsAlwaysOn();
                return 0;
            case TIOCMBIS:
            case TIOCMBIC:
                if (!p_.modemLines) {
                    return failWith(ENOTTY);
                }
                if (vanished_) {
                    return failWith(EIO);
                }
                outputs_ = request == TIOCMBIS ? outputs_ | *static_cast<int*>(argument)
                                               : outputs_ & ~*static_cast<int*>(argument);
                return 0;
            case TIOCMIWAIT:
                return modemWait(lock,
                                 static_cast<int>(reinterpret_cast<std::uintptr_t>(argument)));
            case kTcSets2:
                lock.unlock();
                return setLine(fd, *static_cast<KernelTermios2*>(argument));
            case FIONREAD: {
                lock.unlock();
                const int r = ::ioctl(fd, request, argument);
                const int err = errno;
                if (r == 0 && *static_cast<int*>(argument) == 0) {
                    runEmptyLookHook(fd);
                }
                errno = err;
                return r;
            }
            default:
                lock.unlock();
                return ::ioctl(fd, request, argument);
        }
    }

  private:
    // The rate the driver makes of the one asked for.
    int setLine(int fd, KernelTermios2 wanted) const {
        KernelTermios2 old{};
        if (::ioctl(fd, kTcGets2, &old) != 0) {
            return -1;
        }
        if (p_.maxRate != 0 && wanted.c_ospeed > p_.maxRate) {
            wanted.c_ospeed = old.c_ospeed;
            wanted.c_ispeed = old.c_ispeed;
        }
        if (p_.rateTable) {
            static constexpr unsigned kTable[] = {
                75,     150,    300,    600,     1200,    1800,    2400,   3600,   4800,
                7200,   9600,   14400,  19200,   28800,   38400,   57600,  115200, 230400,
                460800, 614400, 921600, 1228800, 2457600, 3000000, 6000000};
            unsigned nearest = kTable[0];
            for (const unsigned rate : kTable) {
                const auto off = [&](unsigned r) {
                    return r > wanted.c_ospeed ? r - wanted.c_ospeed : wanted.c_ospeed - r;
                };
                nearest = off(rate) < off(nearest) ? rate : nearest;
            }
            wanted.c_ospeed = nearest;
            wanted.c_ispeed = nearest;
        }
        return ::ioctl(fd, kTcSets2, &wanted);
    }
    void runEmptyLookHook(int fd) {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            if (emptyLookHook_ && std::this_thread::get_id() != hookArmer_) {
                hook = std::move(emptyLookHook_);
                emptyLookHook_ = nullptr;
            }
        }
        if (hook) {
            hook();
            waitQueued(fd);
        }
    }
    // Called with the mutex held.
    bool takeStatusFailure() {
        if (failingStatusCalls_ <= 0) {
            return false;
        }
        --failingStatusCalls_;
        return true;
    }
    static int failWith(int err) {
        errno = err;
        return -1;
    }
    int ctsAlwaysOn() const { return std::string(p_.name) == "cdc_acm" ? TIOCM_CTS : 0; }
    serial_icounter_struct shown() const {
        serial_icounter_struct c = counts_;
        if (p_.countsModem) {
            c.cts = hidden_.cts;
            c.dsr = hidden_.dsr;
            c.dcd = hidden_.dcd;
            c.rng = hidden_.rng;
        }
        if (std::string(p_.name) == "cdc_acm") {
            c.cts = 0;
        }
        return c;
    }
    int modemWait(std::unique_lock<std::mutex>& lock, int lines) {
        if (!p_.modemWait) {
            return failWith(ENOTTY);
        }
        ++modemWaits_;
        const serial_icounter_struct start = hidden_;
        const pthread_t self = pthread_self();
        ++waiting_;
        struct Leaving {
            int& waiting;
            ~Leaving() { --waiting; }
        } const leaving{waiting_};
        for (;;) {
            if (interrupted_.erase(self) != 0) {
                return failWith(EINTR);
            }
            if (vanished_) {
                return failWith(EIO);
            }
            if (((lines & TIOCM_CTS) != 0 && hidden_.cts != start.cts) ||
                ((lines & TIOCM_DSR) != 0 && hidden_.dsr != start.dsr) ||
                ((lines & TIOCM_CD) != 0 && hidden_.dcd != start.dcd) ||
                ((lines & TIOCM_RI) != 0 && hidden_.rng != start.rng)) {
                return 0;
            }
            cv_.wait(lock);
        }
    }
    // Until the bytes a hook sent are in the port's input queue.
    static void waitQueued(int fd) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        int n = 0;
        while ((::ioctl(fd, FIONREAD, &n) != 0 || n == 0) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    const Personality p_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::unique_ptr<PtyPair> pty_;
    serial_icounter_struct counts_{};  // what TIOCGICOUNT shows of rx and the errors
    serial_icounter_struct hidden_{};  // the driver's modem counts
    int inputs_ = 0;
    int outputs_ = 0;
    bool vanished_ = false;
    int refuseOpen_ = 0;
    int failingStatusCalls_ = 0;
    bool readSomething_ = false;
    std::function<void()> drainedHook_;
    std::function<void()> emptyLookHook_;
    std::thread::id hookArmer_;
    std::set<pthread_t> interrupted_;
    int modemWaits_ = 0;
    int waiting_ = 0;
};

}  // namespace nira::testing
