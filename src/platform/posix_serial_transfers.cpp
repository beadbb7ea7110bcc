// ReadFile and WriteFile: they finish before they return, within the Windows time-out rules,
// move the announced count by what they read, and report through the record's event.
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix_serial_device.hpp"

namespace nira::platform::posix::detail {

namespace {

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
    setLastError(ERROR_SUCCESS);
    return TRUE;
}

// The Windows read time-outs, as its serial driver takes them: MAXDWORD interval with zero totals
// returns at once; MAXDWORD interval with other totals returns as soon as any byte is there,
// waiting for one at most the total (the constant alone when the multiplier is MAXDWORD);
// otherwise a total limit (multiplier * count + constant; none when both are 0) and an interval
// limit between bytes (none when 0).
struct ReadLimits {
    bool atOnce = false;
    bool firstByte = false;
    bool hasTotal = false;
    Clock::time_point totalDeadline;
    bool hasInterval = false;
    std::chrono::milliseconds interval{0};

    // How long the read may wait for more, having `got` bytes, the last at `lastByte`; -1: no
    // limit.
    int msLeft(DWORD got, Clock::time_point lastByte) const {
        int wait = hasTotal ? msUntil(totalDeadline) : -1;
        if (hasInterval && got > 0) {
            const int gap = msUntil(lastByte + interval);
            wait = wait < 0 ? gap : std::min(wait, gap);
        }
        return wait;
    }
};

ReadLimits readLimits(const COMMTIMEOUTS& t, DWORD count, Clock::time_point start) {
    ReadLimits limits;
    limits.atOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                    t.ReadTotalTimeoutConstant == 0;
    limits.firstByte = t.ReadIntervalTimeout == MAXDWORD && !limits.atOnce &&
                       t.ReadTotalTimeoutConstant != MAXDWORD;
    limits.totalDeadline = start;
    if (limits.firstByte && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        limits.hasTotal = true;
        limits.totalDeadline += std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    } else if (!limits.atOnce &&
               (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)) {
        limits.hasTotal = true;
        const std::uint64_t ms = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                                 t.ReadTotalTimeoutConstant;
        limits.totalDeadline += std::chrono::milliseconds(std::min<std::uint64_t>(ms, 1ULL << 31));
    }
    limits.hasInterval = !limits.atOnce && !limits.firstByte && t.ReadIntervalTimeout != 0 &&
                         t.ReadIntervalTimeout != MAXDWORD;
    limits.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
    return limits;
}

}  // namespace

BOOL readFile(DeviceCalls& sys, Device& dev, void* buffer, DWORD count, DWORD* read,
              OVERLAPPED* ov) {
    const Transfer transfer = beginTransfer(dev, ov);
    const COMMTIMEOUTS& t = transfer.timeouts;
    const unsigned abortAt = transfer.abortAt;
    const Clock::time_point start = Clock::now();

    const ReadLimits limits = readLimits(t, count, start);

    auto* out = static_cast<unsigned char*>(buffer);
    DWORD got = 0;
    Clock::time_point lastByte = start;
    DWORD error = ERROR_SUCCESS;
    while (got < count) {
        ssize_t n = 0;
        {
            // The read and the announced count move together, so a byte that arrives during
            // the read is news for the next wait.
            std::lock_guard lock(dev.mutex);
            n = sys.read(dev.fd, out + got, count - got);
            if (n > 0) {
                dev.rxBaseline = std::max(0, dev.rxBaseline - static_cast<int>(n));
            }
        }
        if (n > 0) {
            got += static_cast<DWORD>(n);
            lastByte = Clock::now();
            continue;
        }
        // A raw tty with VMIN = VTIME = 0 reads 0 when empty; a hung-up one reads 0 or EIO.
        if ((n == 0 && dev.hungUp()) || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            dev.gone.store(true);
            error = ERROR_DEVICE_NOT_CONNECTED;
            break;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (limits.atOnce || (limits.firstByte && got > 0)) {
            break;
        }
        const int wait = limits.msLeft(got, lastByte);
        if (wait == 0) {
            break;
        }
        pollfd p{dev.fd, POLLIN, 0};
        sys.poll(&p, 1, wait < 0 ? kAbortCheckMs : std::min(wait, kAbortCheckMs));
        if (dev.abortGeneration.load() != abortAt) {
            error = ERROR_OPERATION_ABORTED;
            break;
        }
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (p.revents & POLLIN) == 0) {
            dev.gone.store(true);
            error = ERROR_DEVICE_NOT_CONNECTED;
            break;
        }
    }
    if (error != ERROR_SUCCESS && got == 0) {
        return fail(error);
    }
    return finishTransfer(transfer, ov, got, read);
}

BOOL writeFile(DeviceCalls& sys, Device& dev, const void* buffer, DWORD count, DWORD* written,
               OVERLAPPED* ov) {
    const Transfer transfer = beginTransfer(dev, ov);
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
        const ssize_t n = sys.write(dev.fd, in + put, count - put);
        if (n > 0) {
            put += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            dev.gone.store(errno == EIO || errno == ENXIO);
            error = errorFromErrno(errno);
            break;
        }
        const int wait = hasTotal ? msUntil(deadline) : kAbortCheckMs;
        if (wait == 0) {
            break;  // the write time-out: done with what went out
        }
        pollfd p{dev.fd, POLLOUT, 0};
        sys.poll(&p, 1, std::min(wait, kAbortCheckMs));
        if (dev.abortGeneration.load() != abortAt) {
            error = ERROR_OPERATION_ABORTED;
            break;
        }
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            dev.gone.store(true);
            error = ERROR_DEVICE_NOT_CONNECTED;
            break;
        }
    }
    if (error != ERROR_SUCCESS) {
        return fail(error);
    }
    if (put > 0) {
        {
            std::lock_guard lock(dev.mutex);
            dev.wroteSinceTxEmpty = true;
        }
        dev.wake();
    }
    return finishTransfer(transfer, ov, put, written);
}

}  // namespace nira::platform::posix::detail
