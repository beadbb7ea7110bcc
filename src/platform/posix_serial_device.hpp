#pragma once
// The inner parts of the POSIX serial backend, shared by its files: Windows error codes from
// errno, the objects behind handles (devices and events), a device's emulation of the
// communication events behind WaitCommEvent, and the transfers with their time-out rules.
#include <linux/serial.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/posix_device_calls.hpp"
#include "platform/serial_api.hpp"

namespace nira::platform::posix::detail {

using Clock = std::chrono::steady_clock;

// A transfer without a time limit still looks for an abort this often.
constexpr int kAbortCheckMs = 50;

// The calling thread's last error, as GetLastError gives it.
DWORD lastError();
void setLastError(DWORD error);
// Sets the last error and returns FALSE, as a failing call does.
BOOL fail(DWORD error);
// The errno of a modem-line call on a device that has no modem lines.
bool noModemLines(int err);
DWORD errorFromErrno(int err);
// Milliseconds left until `deadline`, never below 0.
int msUntil(Clock::time_point deadline);

struct Object {
    virtual ~Object() = default;
};

struct Device;

struct Event final : Object {
    int fd = -1;
    bool manualReset = true;
    std::atomic<bool> signalled{false};
    std::atomic<Device*> source{nullptr};  // the device whose pending wait completes this event

    Event(bool manual, bool initial);
    ~Event() override;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    void set();
    void reset();
    // Takes the signal for a waiter: an auto-reset event is consumed by the wait.
    bool take();
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
    bool masked = false;  // an event mask was set since the open
    int modemBaseline = 0;
    bool ringHigh = false;
    serial_icounter_struct modemCounts{};
    // Looks in a row whose status calls failed on a tty that has not hung up: the second one
    // confirms the loss.
    int failedLooks = 0;

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
    ~Device() override;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // The modem-line thread: started at open for a device with modem lines.
    void startModemWatch();
    void watchModemLines();
    static bool modemCountsDiffer(const serial_icounter_struct& a, const serial_icounter_struct& b);
    void stopModemWatch();
    void wake() const;
    int queued() const;
    bool hungUp();
    // A status call that fails as a pulled device's do sets `*failed`; it marks the device gone
    // only when the tty has hung up too: one failed USB transfer is not a pulled adapter.
    bool counters(serial_icounter_struct& now, bool* failed = nullptr);
    // Adds the line errors counted since the last look to pendingErrors; returns the new ones.
    DWORD collectErrors(const serial_icounter_struct& now);
    DWORD collectErrors();
    int modemLines(bool* failed = nullptr);
    // Called with the mutex held: what is there now is no longer news.
    void resetHistory(int count);
    // The readings an evaluation used: anything that changed after them is news for the next.
    void resetHistory(int count, int lines, const serial_icounter_struct* now);
    // Called with the mutex held.
    void complete(DWORD events, DWORD error);
    // Modem-line events since the last report. A driver's change counters catch a pulse that is
    // over before anyone looks (a short ring); the line levels catch a driver that counts nothing.
    DWORD modemEvents(int lines, const serial_icounter_struct* now);
    // What one look at a pending wait decided for the waiter's next sleep.
    struct Look {
        int sleepMs = -1;         // the longest sleep before the next look (-1: until woken)
        bool watchInput = false;  // poll for input: the queue was empty at the look
    };
    // Looks whether the pending wait has something to report; completes it if so. The queue is
    // looked at once: bytes that land after the look wake the poll that the look asked for.
    Look evaluate();
};

Object* object(HANDLE h);
Device* device(HANDLE h);
Event* event(HANDLE h);
// The device behind a handle, if it is one and still there; otherwise the error to fail with.
DWORD liveDevice(HANDLE h, Device*& dev);
// "COM5", "\\.\ttyUSB0", "/dev/ttyS0": the device file a port name stands for.
std::string devicePath(const char* name);

// ReadFile and WriteFile on a device, with the Windows time-out rules; they finish before they
// return and report the completion through the record's event.
BOOL readFile(DeviceCalls& sys, Device& dev, void* buffer, DWORD count, DWORD* read,
              OVERLAPPED* ov);
BOOL writeFile(DeviceCalls& sys, Device& dev, const void* buffer, DWORD count, DWORD* written,
               OVERLAPPED* ov);

}  // namespace nira::platform::posix::detail
