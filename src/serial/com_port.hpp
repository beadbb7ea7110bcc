#pragma once
// The serial port component: one serial line's settings, opening and configuring the device,
// overlapped reads and writes, and a watcher thread that turns line events into the component's
// events on the thread its delivery mode names.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/notify_window.hpp"
#include "platform/registry.hpp"
#include "platform/serial_api.hpp"
#include "platform/thread.hpp"
#include "serial/device_return.hpp"

namespace nira::serial {

using platform::DWORD;
using platform::HANDLE;

// ---- enumerations; each ordinal is what the component stores and hands to the device --------

enum TBaudRate {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
};
inline constexpr int kBaudRateCount = 15;
// Bits per second by TBaudRate ordinal.
inline constexpr DWORD kBaudRates[kBaudRateCount] = {110,   300,   600,    1200,   2400,
                                                     4800,  9600,  14400,  19200,  38400,
                                                     56000, 57600, 115200, 128000, 256000};

enum TByteSize { bs5, bs6, bs7, bs8 };
enum TParity { paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits { sb1, sb1_5, sb2 };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };
enum TTransferKind : std::uint8_t { trWrite, trRead };

// A set over an enumeration of at most 16 values.
template <typename E>
class Set {
  public:
    constexpr Set() = default;
    constexpr Set(std::initializer_list<E> items) {
        for (E e : items) {
            insert(e);
        }
    }
    constexpr void insert(E e) { bits_ |= bit(e); }
    constexpr bool contains(E e) const { return (bits_ & bit(e)) != 0; }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr bool operator==(const Set&) const = default;

  private:
    static constexpr std::uint16_t bit(E e) {
        return static_cast<std::uint16_t>(1U << static_cast<unsigned>(e));
    }
    std::uint16_t bits_ = 0;
};

enum TLineEvent { leRxChar, leTxEmpty, leRing, leCTS, leDSR, leRLSD, leError, leRx80Full };
using TLineEvents = Set<TLineEvent>;
enum TComError { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
using TComErrors = Set<TComError>;
enum TLineSignal { lsCTS, lsDSR, lsRing, lsRLSD };
using TLineSignals = Set<TLineSignal>;

// The translations between line events and event-mask bits (other bits are dropped).
DWORD EventsToMask(TLineEvents events);
TLineEvents EventsFromMask(DWORD mask);
inline constexpr TLineEvents kAllLineEvents{leRxChar, leTxEmpty, leRing,  leCTS,
                                            leDSR,    leRLSD,    leError, leRx80Full};

// ---- failures ----------------------------------------------------------------------------------

class EComPort : public std::runtime_error {
  public:
    // One of the component's fifteen fixed messages, by index.
    explicit EComPort(int index);
    // A sentence of its own, for what the fixed messages cannot say (the device went away, the
    // user may not use it).
    explicit EComPort(const std::string& message) : std::runtime_error(message) {}
    static const char* Message(int index);
    static constexpr int kMessageCount = 15;
};

// Indices of the messages, in the order the component keeps them.
enum ComPortMessage {
    cmNoSuchPort = 0,
    cmPortBusy = 1,
    cmWriteError = 2,
    cmReadError = 3,
    cmBadAsync = 4,
    cmPurgeFailed = 5,
    cmAsyncStatus = 6,
    cmSetCommStateFailed = 7,
    cmSetCommTimeoutsFailed = 8,
    cmSetupCommFailed = 9,
    cmClearCommErrorFailed = 10,
    cmModemStatusFailed = 11,
    cmEscapeFailed = 12,
    cmPortOpen = 13,
    cmRegistryFailed = 14,
};

class TBComPort;

// ---- time-outs ---------------------------------------------------------------------------------

class TComTimeouts {
  public:
    TComTimeouts() = default;
    // Copies the five values straight into `target`, without its setters and applying nothing.
    void AssignTo(TComTimeouts& target) const;

    std::int32_t ReadInterval() const { return readInterval_; }
    std::int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
    std::int32_t ReadTotalConstant() const { return readTotalConstant_; }
    std::int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
    std::int32_t WriteTotalConstant() const { return writeTotalConstant_; }
    void SetReadInterval(std::int32_t value) { set(readInterval_, value); }
    void SetReadTotalMultiplier(std::int32_t value) { set(readTotalMultiplier_, value); }
    void SetReadTotalConstant(std::int32_t value) { set(readTotalConstant_, value); }
    void SetWriteTotalMultiplier(std::int32_t value) { set(writeTotalMultiplier_, value); }
    void SetWriteTotalConstant(std::int32_t value) { set(writeTotalConstant_, value); }

    TBComPort* OwnerPort = nullptr;  // not owned

  private:
    void set(std::int32_t& field, std::int32_t value);

    std::int32_t readInterval_ = -1;
    std::int32_t readTotalMultiplier_ = 0;
    std::int32_t readTotalConstant_ = 0;
    std::int32_t writeTotalMultiplier_ = 100;
    std::int32_t writeTotalConstant_ = 1000;
};

// ---- one overlapped transfer -------------------------------------------------------------------

struct TOverlappedOp {
    platform::OVERLAPPED Io{};
    TTransferKind Direction = trWrite;
    std::unique_ptr<char[]> OutCopy;  // copy of the bytes of the last write started with it
    std::int32_t OutCopyLength = 0;
};

// ---- the watcher -------------------------------------------------------------------------------

class TComThread final : public platform::Thread {
  public:
    explicit TComThread(TBComPort& port);
    ~TComThread() override;

    TBComPort* WatchedPort;
    TLineEvents LastEvents;
    HANDLE StopSignal = nullptr;
    unsigned Watch = 0;    // its number: a report of an older watcher is not told
    bool Resumes = false;  // a loss is waited for (what its loss report says)

    // Hand LastEvents over: the deliveries in their fixed order, or one sent message each.
    void DispatchEvents();
    void ForwardToWindow();

  protected:
    void execute() override;

  private:
    void watch();
    [[noreturn]] void failWatch(DWORD error);
    bool deviceGone() const;
    void endSteps(platform::OVERLAPPED& overlapped);
};

// ---- the component -----------------------------------------------------------------------------

class TBComPort {
  public:
    using TNotifyEvent = std::function<void(TBComPort* Sender)>;
    using TRxCharEvent = std::function<void(TBComPort* Sender, std::int32_t Count)>;
    using TComSignalEvent = std::function<void(TBComPort* Sender, bool State)>;
    using TComErrorEvent = std::function<void(TBComPort* Sender, TComErrors Errors)>;
    // The watcher ended by a failure (a handler raised, or the device went away). Runs on the
    // main thread; unassigned, the failure goes to the application's exception display.
    using TWatcherFailureEvent = std::function<void(TBComPort* Sender, std::exception_ptr Error)>;

    explicit TBComPort(platform::SerialApi& api = platform::systemSerialApi());
    ~TBComPort();
    TBComPort(const TBComPort&) = delete;
    TBComPort& operator=(const TBComPort&) = delete;

    bool OpenPort();
    bool ClosePort();
    bool IsOpen() const { return isOpen_; }
    // The device went away while open (the watcher ended because of it).
    bool DeviceLost() const { return deviceLost_.load(); }
    // ClosePort is under way: a transfer it cuts short is no failure.
    bool Closing() const { return closing_.load(); }

    // How often a lost device is looked for.
    static constexpr std::chrono::seconds kReturnLook = DeviceReturn::kLook;

    // Properties.
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate value);
    TByteSize ByteSize() const { return byteSize_; }
    void SetByteSize(TByteSize value);
    std::int32_t InBufSize() const { return inBufSize_; }
    void SetInBufSize(std::int32_t value);
    std::int32_t OutBufSize() const { return outBufSize_; }
    void SetOutBufSize(std::int32_t value);
    TParity Parity() const { return parity_; }
    void SetParity(TParity value);
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& value);
    TSyncMethod SyncMethod() const { return syncMethod_; }
    void SetSyncMethod(TSyncMethod value);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits value);
    TComTimeouts& Timeouts() { return *timeouts_; }
    void SetTimeouts(const TComTimeouts& value);

    // Events.
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComErrorEvent OnError;
    TNotifyEvent OnRing;
    TComSignalEvent OnRLSDChange;
    TNotifyEvent OnRx80Full;
    TRxCharEvent OnRxChar;
    TNotifyEvent OnTxEmpty;
    TWatcherFailureEvent OnWatcherFailure;
    // A lost device came back and listening went on by itself (main thread).
    TNotifyEvent OnDeviceBack;
    // A look for a lost device failed for another reason than the look before it (the system's
    // error: not there, held by another program, not this user's to open...). Main thread.
    std::function<void(TBComPort* Sender, DWORD error)> OnLookFailed;

    // While on, a lost device is looked for once a second and listened to again when the same
    // device is back: under its /dev/serial/by-id identity, whatever name the system gave it, or
    // under the chosen name when that leads to the same device. A name back as another device is
    // said once and left alone. A pseudo-terminal reached only by its number is not waited for:
    // its number goes to the next program that asks. The component stays open meanwhile; Stop
    // ends the waiting.
    void SetResumeAfterLoss(bool on) { resumeAfterLoss_ = on; }
    bool ResumeAfterLoss() const { return resumeAfterLoss_; }
    // Whether a lost device is being waited for now.
    bool AwaitingReturn() const {
        return return_.state() == DeviceReturn::State::Lost && return_.resumes();
    }
    // One look for a lost device (what the once-a-second timed call runs, on the main thread).
    // True when it is back and listened to again.
    bool LookForLostDevice() { return return_.look(); }
    // The identity of the device opened last (its /dev/serial/by-id link), if it has one.
    const std::string& DeviceIdentity() const { return return_.identity().link; }
    // What the last look found under the chosen name instead of the lost device, if anything.
    const std::string& StrangerDevice() const { return return_.stranger(); }
    // The name the device is listened to under: the chosen one, or its by-id link when it came
    // back under another name.
    const std::string& NameInUse() const { return return_.nameInUse(); }
    // The system's error of the last attempt to open the device (ERROR_SUCCESS if it opened).
    DWORD OpenError() const { return openError_; }

    // State that is not a property.
    HANDLE DeviceHandle() const { return deviceHandle_; }
    platform::ThreadPriority WatcherPriority() const { return watcherPriority_; }
    TLineEvents WatchedEvents() const { return watchedEvents_; }
    const TComThread* Watcher() const { return watcher_.get(); }
    platform::SerialApi& Api() const { return api_; }

    // Reads and writes.
    void NewOverlappedOp(TOverlappedOp*& op);
    void FreeOverlappedOp(TOverlappedOp*& op);
    std::int32_t StartWrite(const void* bytes, std::int32_t count, TOverlappedOp* op);
    std::int32_t StartWriteText(const std::string& text, TOverlappedOp* op);
    std::int32_t StartRead(void* buffer, std::int32_t count, TOverlappedOp* op);
    std::int32_t StartReadText(std::string& text, std::int32_t count, TOverlappedOp* op);
    std::int32_t AwaitOp(TOverlappedOp* op);
    std::int32_t WriteText(const std::string& text);
    std::int32_t ReadText(std::string& text, std::int32_t count);
    DWORD BytesWaiting();
    TLineSignals ModemSignals();
    void SetDtrLine(bool on);
    void SetRtsLine(bool on);
    void AbortTransfers();

    // The eight deliveries.
    void DeliverError();
    void DeliverRxChar();
    void DeliverTxEmpty();
    void DeliverRing();
    void DeliverCTSChange();
    void DeliverDSRChange();
    void DeliverRLSDChange();
    void DeliverRx80Full();

    // The hidden window's procedure in window delivery mode.
    std::intptr_t LineEventWndProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    platform::NotifyWindow* NotifyWindow() const { return notifyWindow_.get(); }

    // Apply steps (they act only while open).
    void ApplyBuffers();
    void ApplyLineSettings();
    void ApplyTimeouts();

    // Called by the watcher numbered `watch` when it ends by a failure: handed to the main
    // thread, where it is told unless the port was closed or listens through another watcher.
    void PostWatcherFailure(const std::exception_ptr& error, unsigned watch) {
        return_.postFailure(error, watch);
    }
    // Hands a failure to OnWatcherFailure, or else to the application's exception display.
    void TellFailure(const std::exception_ptr& error);
    // Called by the watcher when a wait fails because the device is gone.
    void MarkDeviceLost() { deviceLost_.store(true); }
    // Whether the device still answers a status call (ClearCommError).
    bool DeviceAnswers();

  private:
    friend class DeviceReturn;

    void OpenDevice();
    void ApplySettings();
    void CloseDevice();
    // A lost device's handle goes at once; the component stays open until Stop.
    void ReleaseLostDevice();
    // Opens `name` and listens on it as OpenPort does, for a device that came back. Returns
    // ERROR_SUCCESS or why not.
    DWORD ResumeOn(const std::string& name);
    void StartWatcher();
    void StopWatcher();
    void deliverSignal(const TComSignalEvent& handler, TLineSignal signal);

    platform::SerialApi& api_;
    TBaudRate baudRate_ = br9600;
    TByteSize byteSize_ = bs8;
    std::int32_t inBufSize_ = 2048;
    std::int32_t outBufSize_ = 2048;
    TParity parity_ = paNone;
    std::string port_ = "COM2";
    TSyncMethod syncMethod_ = smThreadSync;
    TStopBits stopBits_ = sb1;
    std::unique_ptr<TComTimeouts> timeouts_;

    bool isOpen_ = false;
    std::atomic<bool> deviceLost_{false};
    std::atomic<bool> closing_{false};
    HANDLE deviceHandle_;
    platform::ThreadPriority watcherPriority_ = platform::ThreadPriority::Normal;
    TLineEvents watchedEvents_ = kAllLineEvents;
    std::unique_ptr<TComThread> watcher_;
    std::unique_ptr<platform::NotifyWindow> notifyWindow_;

    bool resumeAfterLoss_ = false;
    DWORD openError_{};
    // The loss-and-return policy: last, so it goes first (its timed look and its reports).
    DeviceReturn return_{*this};
};

inline constexpr unsigned WM_LINEEVENT = platform::kWmUser + 1;

// Whether a failed device call's error means the device is no longer there (unplugged).
bool IsDeviceLostError(DWORD error);
// What the operator is told when the device of `port` went away while listening.
// `resumes`: the component listens again by itself when the device is back.
std::string DeviceLostMessage(const std::string& port, bool resumes = false);
// What the operator is told when the system refuses `port` to this user.
std::string PermissionDeniedMessage(const std::string& port);
// What the operator is told when `port`'s name is back but leads to another device (`other`).
std::string AnotherDeviceMessage(const std::string& port, const std::string& other);

// Replaces `list` by the names of the serial ports the system knows, sorted as texts without
// regard to letter case. Fails with cmRegistryFailed, leaving `list` as it was.
void ListSerialPorts(std::vector<std::string>& list,
                     platform::RegistryApi& registry = platform::systemRegistry());

}  // namespace nira::serial
