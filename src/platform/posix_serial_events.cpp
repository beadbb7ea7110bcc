// A device's emulation of the communication events: what counts as new since the last report,
// the modem-line thread, and the look a pending WaitCommEvent takes whenever its waiter wakes.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix_serial_device.hpp"

namespace nira::platform::posix::detail {

namespace {

// How often a wait looks again at what the kernel cannot announce through poll: modem lines of a
// device without TIOCMIWAIT, a draining output queue, data left unread in the queue.
constexpr int kLineCheckMs = 50;
constexpr int kDrainCheckMs = 5;
constexpr int kLeftoverCheckMs = 20;
constexpr int kInterruptRetryMs = 2;
constexpr int kConsistentReadTries = 3;
// Looks in a row with failed status calls that make a loss.
constexpr int kFailedLooksForLoss = 2;
// EV_RX80FULL: the input queue is this full, in per cent.
constexpr std::uint64_t kRx80Percent = 80;

}  // namespace

Device::~Device() {
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

void Device::startModemWatch() {
    modemWaitWorks = true;
    modemWatch = std::thread([this] { watchModemLines(); });
}

void Device::watchModemLines() {
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

bool Device::modemCountsDiffer(const serial_icounter_struct& a, const serial_icounter_struct& b) {
    return a.cts != b.cts || a.dsr != b.dsr || a.dcd != b.dcd || a.rng != b.rng;
}

void Device::stopModemWatch() {
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

void Device::wake() const {
    const std::uint64_t one = 1;
    (void)!::write(wakeFd, &one, sizeof one);
}

int Device::queued() const {
    int n = 0;
    return sys.ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

bool Device::hungUp() {
    if (gone.load()) {
        return true;
    }
    pollfd p{fd, 0, 0};
    if (sys.poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        gone.store(true);
    }
    return gone.load();
}

bool Device::counters(serial_icounter_struct& now, bool* failed) {
    if (!hasIcount) {
        return false;
    }
    if (sys.ioctl(fd, TIOCGICOUNT, &now) != 0) {
        if (errorFromErrno(errno) == ERROR_DEVICE_NOT_CONNECTED && !hungUp() && failed != nullptr) {
            *failed = true;
        }
        return false;
    }
    return true;
}

// Adds the line errors counted since the last look to pendingErrors; returns the new ones.
DWORD Device::collectErrors(const serial_icounter_struct& now) {
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

DWORD Device::collectErrors() {
    serial_icounter_struct now{};
    return counters(now) ? collectErrors(now) : 0;
}

int Device::modemLines(bool* failed) {
    int lines = 0;
    if (!hasModem) {
        return 0;
    }
    if (sys.ioctl(fd, TIOCMGET, &lines) != 0) {
        // A driver whose device was pulled fails its calls before the tty hangs up; so does one
        // USB transfer that failed on an adapter that is still there.
        const DWORD error = errorFromErrno(errno);
        if ((error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_FILE_NOT_FOUND) && !hungUp() &&
            failed != nullptr) {
            *failed = true;
        }
        return 0;
    }
    return lines;
}

// Called with the mutex held: what is there now is no longer news.
void Device::resetHistory(int count) {
    serial_icounter_struct now{};
    const bool counted = counters(now);
    resetHistory(count, modemLines(), counted ? &now : nullptr);
}

// The readings an evaluation used: anything that changed after them is news for the next.
void Device::resetHistory(int count, int lines, const serial_icounter_struct* now) {
    rxBaseline = count;
    modemBaseline = lines;
    ringHigh = (lines & TIOCM_RI) != 0;
    if (now != nullptr) {
        modemCounts = *now;
    }
}

// Called with the mutex held.
void Device::complete(DWORD events, DWORD error) {
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
DWORD Device::modemEvents(int lines, const serial_icounter_struct* now) {
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

// Looks whether the pending wait has something to report; completes it if so.
Device::Look Device::evaluate() {
    std::lock_guard lock(mutex);
    // A completed wait has set its event, which the waiter polls anyway.
    const Look done;
    if (!wait.active) {
        return done;
    }
    if (hungUp()) {
        complete(0, ERROR_DEVICE_NOT_CONNECTED);
        return done;
    }
    if (wait.generation != maskGeneration) {
        complete(0, ERROR_SUCCESS);  // a new mask ends a pending wait with no events
        return done;
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
    bool failed = false;
    const bool counted = counters(now, &failed);
    if (gone.load()) {
        complete(0, ERROR_DEVICE_NOT_CONNECTED);
        return done;
    }
    if (counted) {
        const DWORD errors = collectErrors(now);
        events |= (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) != 0 ? EV_ERR : 0;
        events |= (errors & CE_BREAK) != 0 ? EV_BREAK : 0;
        events |= (errors & CE_RXOVER) != 0 ? EV_RX80FULL : 0;
    }
    int lines = modemLines(&failed);
    // Reading the lines can take a USB transfer; a change counted meanwhile would be news again
    // at the next look against counters read before it. Read both again until they agree.
    serial_icounter_struct again{};
    for (int tries = 0; counted && hasModem && tries < kConsistentReadTries &&
                        counters(again, &failed) && modemCountsDiffer(again, now);
         ++tries) {
        now.cts = again.cts;
        now.dsr = again.dsr;
        now.dcd = again.dcd;
        now.rng = again.rng;
        lines = modemLines(&failed);
    }
    failedLooks = failed ? failedLooks + 1 : 0;
    // Bytes already queued are news first: read and answered before a loss is told.
    if (gone.load() || (failedLooks >= kFailedLooksForLoss && (events & mask & EV_RXCHAR) == 0)) {
        gone.store(true);
        complete(0, ERROR_DEVICE_NOT_CONNECTED);
        return done;
    }
    if (failed) {
        // The readings are not to be trusted: no line changes from them, and a look again soon
        // tells a passing failure from a device going away.
        events &= EV_RXCHAR | EV_RX80FULL;
    } else if (hasModem) {
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
        if (failed) {
            rxBaseline = count;  // the line readings failed: measured from the last good ones
        } else {
            resetHistory(count, lines, counted ? &now : nullptr);
        }
        complete(events, ERROR_SUCCESS);
        return done;
    }
    // Data already queued is not news, and poll cannot tell it from new data: only a queue
    // that was empty at this look is worth a POLLIN, otherwise the queue is looked at again.
    Look next;
    next.watchInput = count == 0;
    auto sooner = [&next](int ms) {
        next.sleepMs = next.sleepMs < 0 ? ms : std::min(next.sleepMs, ms);
    };
    if (wroteSinceTxEmpty) {
        sooner(kDrainCheckMs);
    }
    if (count > 0) {
        sooner(kLeftoverCheckMs);
    }
    if (hasModem && !modemWaitWorks.load() && (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) != 0) {
        sooner(kLineCheckMs);
    }
    if (failed) {
        sooner(kLineCheckMs);
    }
    return next;
}
}  // namespace nira::platform::posix::detail
