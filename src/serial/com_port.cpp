#include "serial/com_port.hpp"

#include <array>
#include <cstring>
#include <utility>

#include "platform/exception_display.hpp"
#include "platform/main_thread.hpp"
#include "platform/port_names.hpp"
#include "serial/delivery_order.hpp"

namespace nira::serial {

using namespace nira::platform;

namespace {

constexpr std::array<const char*, EComPort::kMessageCount> kMessages = {
    "Спроба відкрити неіснуючий СОМ-порт",
    "Порт зайнятий іншою програмою",
    "Помилка запису в порт",
    "Помилка читання з порта",
    "Недопустимий параметр Async",
    "Помилка функції PurgeComm",
    "Не вдалося отримати статус асинхронної операції",
    "Помилка функції SetCommState",
    "Помилка функції SetCommTimeouts",
    "Помилка функції SetupComm",
    "Помилка функції ClearCommError",
    "Помилка функції GetCommModemStatus",
    "Помилка функції EscapeCommFunction",
    "Неможна змінювати властивості, доки порт відкритий",
    "Помилка звернення до системного реєстру",
};

// The flow-control characters the line-settings record names (DC1, DC3), though none is used.
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

// Strips the "\\.\" device-namespace prefix for the operator's eyes.
std::string shownPort(const std::string& port) {
    const std::string prefix = "\\\\.\\";
    return port.rfind(prefix, 0) == 0 ? port.substr(prefix.size()) : port;
}

DWORD timeoutValue(std::int32_t value) {
    return value < 0 ? MAXDWORD : static_cast<DWORD>(value);
}

}  // namespace

// ---- translations ------------------------------------------------------------------------------

DWORD EventsToMask(TLineEvents events) {
    DWORD mask = 0;
    for (const auto& delivery : kDeliveryOrder) {
        if (events.contains(delivery.event)) {
            mask |= delivery.bit;
        }
    }
    return mask;
}

TLineEvents EventsFromMask(DWORD mask) {
    TLineEvents events;
    for (const auto& delivery : kDeliveryOrder) {
        if ((mask & delivery.bit) != 0) {
            events.insert(delivery.event);
        }
    }
    return events;
}

bool IsDeviceLostError(DWORD error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_BAD_COMMAND ||
           error == ERROR_DEVICE_REMOVED;
}

std::string DeviceLostMessage(const std::string& port, bool resumes) {
    return "The device of port " + shownPort(port) + " is gone (unplugged or switched off). " +
           (resumes ? "Listening resumes by itself when it is back; Stop ends it."
                    : "Press Stop; Start works again once it is back.");
}

std::string PermissionDeniedMessage(const std::string& port) {
    return "You may not use the serial device " + shownPort(port) +
           ": your user needs the right to use serial devices (on Debian: membership of the "
           "dialout group, \"sudo adduser $USER dialout\"), then log out and in again.";
}

// ---- EComPort ----------------------------------------------------------------------------------

EComPort::EComPort(int index) : std::runtime_error(Message(index)) {}

const char* EComPort::Message(int index) {
    return index >= 0 && index < kMessageCount ? kMessages[static_cast<std::size_t>(index)] : "";
}

// ---- TComTimeouts ------------------------------------------------------------------------------

void TComTimeouts::AssignTo(TComTimeouts& target) const {
    target.readInterval_ = readInterval_;
    target.readTotalMultiplier_ = readTotalMultiplier_;
    target.readTotalConstant_ = readTotalConstant_;
    target.writeTotalMultiplier_ = writeTotalMultiplier_;
    target.writeTotalConstant_ = writeTotalConstant_;
}

void TComTimeouts::set(std::int32_t& field, std::int32_t value) {
    if (field == value) {
        return;
    }
    field = value;
    if (OwnerPort != nullptr) {
        OwnerPort->ApplyTimeouts();
    }
}

// ---- construction, open and close --------------------------------------------------------------

TBComPort::TBComPort(SerialApi& api)
    : api_(api), timeouts_(std::make_unique<TComTimeouts>()), deviceHandle_(INVALID_HANDLE_VALUE) {
    timeouts_->OwnerPort = this;
}

TBComPort::~TBComPort() {
    StopReturnTicker();
    try {
        ClosePort();
    } catch (...) {
        // The owner is going away: take the rest down without the failed device steps.
        try {
            StopWatcher();
        } catch (...) {
        }
        notifyWindow_.reset();
        CloseDevice();
        isOpen_ = false;
    }
}

bool TBComPort::OpenPort() {
    if (isOpen_) {
        return true;
    }
    OpenDevice();
    deviceLost_ = false;
    isOpen_ = true;
    ++openGeneration_;
    identity_ =
        platform::stablePortName(port_.find('/') == std::string::npos ? "/dev/" + port_ : port_,
                                 platform::serialByIdFolder());
    try {
        ApplySettings();
    } catch (...) {
        CloseDevice();
        isOpen_ = false;
        throw;
    }
    try {
        if (syncMethod_ == smWindowSync) {
            notifyWindow_ = std::make_unique<platform::NotifyWindow>(
                [this](unsigned m, std::uintptr_t w, std::intptr_t l) {
                    return LineEventWndProc(m, w, l);
                });
        }
        StartWatcher();
    } catch (...) {
        // Without a watcher nothing would ever be delivered: report the open as failed.
        watcher_.reset();
        notifyWindow_.reset();
        CloseDevice();
        isOpen_ = false;
        throw;
    }
    return isOpen_;
}

bool TBComPort::ClosePort() {
    if (!isOpen_) {
        return true;
    }
    closing_ = true;
    struct ClosingFlag {
        std::atomic<bool>& flag;
        ~ClosingFlag() { flag = false; }
    } const closingFlag{closing_};
    try {
        SetDtrLine(false);
        SetRtsLine(false);
        AbortTransfers();
    } catch (const EComPort&) {
        // A vanished device refuses the line steps; it must still let go of the port, or Stop
        // and Start would fail until the program ends. Drivers fail a pulled device's calls
        // with many codes: one that does not answer ClearCommError either is gone.
        const DWORD error = api_.GetLastError();
        if (!deviceLost_.load() && !IsDeviceLostError(error) && DeviceAnswers()) {
            throw;
        }
        deviceLost_ = true;
    }
    StopReturnTicker();
    StopWatcher();
    notifyWindow_.reset();
    CloseDevice();
    isOpen_ = false;
    return !isOpen_;
}

void TBComPort::OpenDevice() {
    const std::string path = "\\\\.\\" + port_;
    deviceHandle_ = api_.CreateFileA(path.c_str());
    openError_ = ERROR_SUCCESS;
    if (deviceHandle_ == INVALID_HANDLE_VALUE) {
        const DWORD error = api_.GetLastError();
        openError_ = error;
        if (error == ERROR_FILE_NOT_FOUND) {
            throw EComPort(cmNoSuchPort);
        }
        if (error == ERROR_ACCESS_DENIED) {
            throw EComPort(cmPortBusy);
        }
        if (error == ERROR_PRIVILEGE_NOT_HELD) {
            throw EComPort(PermissionDeniedMessage(port_));
        }
    }
}

void TBComPort::ApplySettings() {
    ApplyBuffers();
    ApplyLineSettings();
    ApplyTimeouts();
}

void TBComPort::CloseDevice() {
    if (deviceHandle_ != INVALID_HANDLE_VALUE) {
        api_.CloseHandle(deviceHandle_);
        deviceHandle_ = INVALID_HANDLE_VALUE;
    }
}

void TBComPort::ApplyBuffers() {
    if (!isOpen_) {
        return;
    }
    if (api_.SetupComm(deviceHandle_, static_cast<DWORD>(inBufSize_),
                       static_cast<DWORD>(outBufSize_)) == FALSE) {
        throw EComPort(cmSetupCommFailed);
    }
}

void TBComPort::ApplyLineSettings() {
    if (!isOpen_) {
        return;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = kBaudRates[baudRate_];
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fParity = parity_ != paNone ? 1 : 0;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.ByteSize = static_cast<BYTE>(byteSize_ + 5);
    dcb.Parity = static_cast<BYTE>(parity_);
    dcb.StopBits = static_cast<BYTE>(stopBits_);
    dcb.XonChar = kXon;
    dcb.XoffChar = kXoff;
    if (api_.SetCommState(deviceHandle_, dcb) == FALSE) {
        throw EComPort(cmSetCommStateFailed);
    }
}

void TBComPort::ApplyTimeouts() {
    if (!isOpen_) {
        return;
    }
    const COMMTIMEOUTS t{timeoutValue(timeouts_->ReadInterval()),
                         timeoutValue(timeouts_->ReadTotalMultiplier()),
                         timeoutValue(timeouts_->ReadTotalConstant()),
                         timeoutValue(timeouts_->WriteTotalMultiplier()),
                         timeoutValue(timeouts_->WriteTotalConstant())};
    if (api_.SetCommTimeouts(deviceHandle_, t) == FALSE) {
        throw EComPort(cmSetCommTimeoutsFailed);
    }
}

// ---- setters -----------------------------------------------------------------------------------

void TBComPort::SetBaudRate(TBaudRate value) {
    if (value != baudRate_) {
        baudRate_ = value;
        ApplyLineSettings();
    }
}

void TBComPort::SetByteSize(TByteSize value) {
    if (value != byteSize_) {
        byteSize_ = value;
        ApplyLineSettings();
    }
}

void TBComPort::SetParity(TParity value) {
    if (value != parity_) {
        parity_ = value;
        ApplyLineSettings();
    }
}

void TBComPort::SetStopBits(TStopBits value) {
    if (value != stopBits_) {
        stopBits_ = value;
        ApplyLineSettings();
    }
}

namespace {
// Driver queue sizes are kept even: a positive odd size loses one.
std::int32_t evenQueueSize(std::int32_t value) {
    return value > 0 && value % 2 != 0 ? value - 1 : value;
}
}  // namespace

void TBComPort::SetInBufSize(std::int32_t value) {
    if (value != inBufSize_) {
        inBufSize_ = evenQueueSize(value);
        ApplyBuffers();
    }
}

void TBComPort::SetOutBufSize(std::int32_t value) {
    if (value != outBufSize_) {
        outBufSize_ = evenQueueSize(value);
        ApplyBuffers();
    }
}

void TBComPort::SetTimeouts(const TComTimeouts& value) {
    value.AssignTo(*timeouts_);
    ApplyTimeouts();
}

void TBComPort::SetPort(const std::string& value) {
    if (isOpen_) {
        throw EComPort(cmPortOpen);
    }
    if (value != port_) {
        port_ = value;
    }
}

void TBComPort::SetSyncMethod(TSyncMethod value) {
    if (value == syncMethod_) {
        return;
    }
    if (isOpen_) {
        throw EComPort(cmPortOpen);
    }
    syncMethod_ = value;
}

// ---- reads and writes --------------------------------------------------------------------------

void TBComPort::NewOverlappedOp(TOverlappedOp*& op) {
    op = new TOverlappedOp;
    std::memset(&op->Io, 0, sizeof op->Io);
    op->Io.hEvent = api_.CreateEventA(TRUE, TRUE);
    op->OutCopy.reset();
    op->OutCopyLength = 0;
}

void TBComPort::FreeOverlappedOp(TOverlappedOp*& op) {
    if (op == nullptr) {
        return;
    }
    if (op->Io.hEvent != nullptr) {
        api_.CloseHandle(op->Io.hEvent);
    }
    delete op;
    op = nullptr;
}

std::int32_t TBComPort::StartWrite(const void* bytes, std::int32_t count, TOverlappedOp* op) {
    if (op == nullptr) {
        throw EComPort(cmBadAsync);
    }
    op->Direction = trWrite;
    op->OutCopy.reset();
    const std::size_t size = count > 0 ? static_cast<std::size_t>(count) : 0;
    op->OutCopy = std::make_unique<char[]>(size);
    if (size > 0) {
        std::memcpy(op->OutCopy.get(), bytes, size);
    }
    op->OutCopyLength = count;
    DWORD written = 0;
    if (api_.WriteFile(deviceHandle_, bytes, static_cast<DWORD>(size), &written, &op->Io) ==
            FALSE &&
        api_.GetLastError() != ERROR_IO_PENDING) {
        throw EComPort(cmWriteError);
    }
    return static_cast<std::int32_t>(written);
}

std::int32_t TBComPort::StartWriteText(const std::string& text, TOverlappedOp* op) {
    if (text.empty()) {
        return 0;
    }
    return StartWrite(text.data(), static_cast<std::int32_t>(text.size()), op);
}

std::int32_t TBComPort::StartRead(void* buffer, std::int32_t count, TOverlappedOp* op) {
    if (op == nullptr) {
        throw EComPort(cmBadAsync);
    }
    op->Direction = trRead;
    DWORD read = 0;
    if (api_.ReadFile(deviceHandle_, buffer, static_cast<DWORD>(count), &read, &op->Io) == FALSE &&
        api_.GetLastError() != ERROR_IO_PENDING) {
        throw EComPort(cmReadError);
    }
    return static_cast<std::int32_t>(read);
}

std::int32_t TBComPort::StartReadText(std::string& text, std::int32_t count, TOverlappedOp* op) {
    text.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count <= 0) {
        return 0;
    }
    return StartRead(text.data(), count, op);
}

std::int32_t TBComPort::AwaitOp(TOverlappedOp* op) {
    if (op == nullptr) {
        throw EComPort(cmBadAsync);
    }
    DWORD transferred = 0;
    const DWORD wait = api_.WaitForSingleObject(op->Io.hEvent, INFINITE);
    if (wait != WAIT_OBJECT_0 ||
        api_.GetOverlappedResult(deviceHandle_, &op->Io, &transferred, FALSE) == FALSE) {
        throw EComPort(op->Direction == trRead ? cmReadError : cmWriteError);
    }
    return static_cast<std::int32_t>(transferred);
}

namespace {
// Frees the transfer record however the transfer ends.
class OpGuard {
  public:
    OpGuard(TBComPort& port, TOverlappedOp*& op) : port_(port), op_(op) {}
    ~OpGuard() { port_.FreeOverlappedOp(op_); }
    OpGuard(const OpGuard&) = delete;
    OpGuard& operator=(const OpGuard&) = delete;

  private:
    TBComPort& port_;
    TOverlappedOp*& op_;
};
}  // namespace

std::int32_t TBComPort::WriteText(const std::string& text) {
    TOverlappedOp* op = nullptr;
    NewOverlappedOp(op);
    const OpGuard guard(*this, op);
    StartWriteText(text, op);
    return AwaitOp(op);
}

std::int32_t TBComPort::ReadText(std::string& text, std::int32_t count) {
    TOverlappedOp* op = nullptr;
    NewOverlappedOp(op);
    const OpGuard guard(*this, op);
    StartReadText(text, count, op);
    const std::int32_t n = AwaitOp(op);
    text.resize(static_cast<std::size_t>(n));
    return n;
}

DWORD TBComPort::BytesWaiting() {
    DWORD errors = 0;
    COMSTAT status{};
    if (api_.ClearCommError(deviceHandle_, &errors, &status) == FALSE) {
        throw EComPort(cmClearCommErrorFailed);
    }
    return status.cbInQue;
}

TLineSignals TBComPort::ModemSignals() {
    DWORD status = 0;
    if (api_.GetCommModemStatus(deviceHandle_, &status) == FALSE) {
        throw EComPort(cmModemStatusFailed);
    }
    TLineSignals signals;
    if ((status & MS_CTS_ON) != 0) {
        signals.insert(lsCTS);
    }
    if ((status & MS_DSR_ON) != 0) {
        signals.insert(lsDSR);
    }
    if ((status & MS_RING_ON) != 0) {
        signals.insert(lsRing);
    }
    if ((status & MS_RLSD_ON) != 0) {
        signals.insert(lsRLSD);
    }
    return signals;
}

void TBComPort::SetDtrLine(bool on) {
    if (api_.EscapeCommFunction(deviceHandle_, on ? SETDTR : CLRDTR) == FALSE) {
        throw EComPort(cmEscapeFailed);
    }
}

void TBComPort::SetRtsLine(bool on) {
    if (api_.EscapeCommFunction(deviceHandle_, on ? SETRTS : CLRRTS) == FALSE) {
        throw EComPort(cmEscapeFailed);
    }
}

void TBComPort::AbortTransfers() {
    if (api_.PurgeComm(deviceHandle_, PURGE_TXABORT | PURGE_RXABORT) == FALSE) {
        throw EComPort(cmPurgeFailed);
    }
}

// ---- deliveries --------------------------------------------------------------------------------

void TBComPort::DeliverError() {
    DWORD flags = 0;
    COMSTAT status{};
    if (api_.ClearCommError(deviceHandle_, &flags, &status) == FALSE) {
        throw EComPort(cmClearCommErrorFailed);
    }
    TComErrors errors;
    if ((flags & CE_FRAME) != 0) {
        errors.insert(ceFrame);
    }
    if ((flags & CE_RXPARITY) != 0 && parity_ != paNone) {
        errors.insert(ceRxParity);
    }
    if ((flags & CE_OVERRUN) != 0) {
        errors.insert(ceOverrun);
    }
    if ((flags & CE_BREAK) != 0) {
        errors.insert(ceBreak);
    }
    if ((flags & CE_IOE) != 0) {
        errors.insert(ceIO);
    }
    if ((flags & CE_MODE) != 0) {
        errors.insert(ceMode);
    }
    if ((flags & CE_RXOVER) != 0) {
        errors.insert(ceRxOver);
    }
    if ((flags & CE_TXFULL) != 0) {
        errors.insert(ceTxFull);
    }
    if (!errors.empty() && OnError) {
        OnError(this, errors);
    }
}

void TBComPort::DeliverRxChar() {
    const auto count = static_cast<std::int32_t>(BytesWaiting());
    if (count > 0 && OnRxChar) {
        OnRxChar(this, count);
    }
}

void TBComPort::DeliverTxEmpty() {
    if (OnTxEmpty) {
        OnTxEmpty(this);
    }
}

void TBComPort::DeliverRing() {
    if (OnRing) {
        OnRing(this);
    }
}

void TBComPort::deliverSignal(const TComSignalEvent& handler, TLineSignal signal) {
    if (handler) {
        const bool state = ModemSignals().contains(signal);
        handler(this, state);
    }
}

void TBComPort::DeliverCTSChange() {
    deliverSignal(OnCTSChange, lsCTS);
}
void TBComPort::DeliverDSRChange() {
    deliverSignal(OnDSRChange, lsDSR);
}
void TBComPort::DeliverRLSDChange() {
    deliverSignal(OnRLSDChange, lsRLSD);
}

void TBComPort::DeliverRx80Full() {
    if (OnRx80Full) {
        OnRx80Full(this);
    }
}

std::intptr_t TBComPort::LineEventWndProc(unsigned message, std::uintptr_t wParam,
                                          std::intptr_t lParam) {
    if (message != WM_LINEEVENT) {
        return NotifyWindow::DefWindowProcA(message, wParam, lParam);
    }
    if (platform::InSendMessage()) {
        platform::ReplyMessage(0);
    }
    if (!isOpen_) {
        return 0;
    }
    try {
        for (const auto& delivery : kDeliveryOrder) {
            if (wParam == delivery.bit) {
                (this->*delivery.deliver)();
            }
        }
    } catch (...) {
        platform::handleApplicationException(std::current_exception());
    }
    return 0;
}

bool TBComPort::DeviceAnswers() {
    DWORD errors = 0;
    COMSTAT status{};
    return api_.ClearCommError(deviceHandle_, &errors, &status) != FALSE;
}

void TBComPort::ReleaseLostDevice() {
    // The watcher waits here for the report and touches the device no more; the kernel gives
    // an adapter its name back only when its last holder lets go, so let go before telling.
    notifyWindow_.reset();
    CloseDevice();
}

void TBComPort::PostWatcherFailure(const std::exception_ptr& error) {
    // The port outlives its watcher; the report may run after the port is gone.
    std::weak_ptr<char> alive = alive_;
    const unsigned generation = openGeneration_;
    platform::MainThreadQueue::instance().post([this, alive, generation, error] {
        if (!alive.expired() && isOpen_ && generation == openGeneration_) {
            ReportWatcherFailure(error);
        }
    });
}

void TBComPort::ReportWatcherFailure(const std::exception_ptr& error) {
    const bool lost = deviceLost_.load();
    if (lost) {
        ReleaseLostDevice();
        permissionTold_ = false;
        lookError_ = ERROR_SUCCESS;
        if (resumeAfterLoss_) {
            StartReturnTicker();
        }
        // A box still up for an earlier loss tells this one too.
        if (reporting_) {
            return;
        }
    }
    struct Reporting {
        bool& flag;
        bool was;
        ~Reporting() { flag = was; }
    } const reporting{reporting_, reporting_};
    reporting_ = reporting_ || lost;
    TellFailure(error);
}

void TBComPort::TellFailure(const std::exception_ptr& error) {
    if (OnWatcherFailure) {
        OnWatcherFailure(this, error);
    } else {
        platform::handleApplicationException(error);
    }
}

void TBComPort::StartReturnTicker() {
    if (returnTicker_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(tickerMutex_);
        tickerStop_ = false;
    }
    std::weak_ptr<char> alive = alive_;
    returnTicker_ = std::thread([this, alive] {
        std::unique_lock lock(tickerMutex_);
        while (!tickerWake_.wait_for(lock, kReturnLook, [this] { return tickerStop_; })) {
            // One look at a time: a main thread that is busy does not get a pile of them.
            if (lookPending_.exchange(true)) {
                continue;
            }
            platform::MainThreadQueue::instance().post([this, alive] {
                if (!alive.expired()) {
                    lookPending_ = false;
                    LookForLostDevice();
                }
            });
        }
    });
}

void TBComPort::StopReturnTicker() {
    if (!returnTicker_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(tickerMutex_);
        tickerStop_ = true;
    }
    tickerWake_.notify_all();
    returnTicker_.join();
    lookPending_ = false;
}

bool TBComPort::LookForLostDevice() {
    if (!isOpen_ || !deviceLost_.load() || deviceHandle_ != INVALID_HANDLE_VALUE) {
        return false;
    }
    // The chosen name wins; the identity stands in only when that name is gone.
    DWORD error = ResumeOn(port_);
    if (error == ERROR_FILE_NOT_FOUND && !identity_.empty()) {
        error = ResumeOn(identity_);
    }
    if (error == ERROR_SUCCESS) {
        return true;
    }
    if (error != lookError_) {
        lookError_ = error;
        if (OnLookFailed) {
            OnLookFailed(this, error);
        }
    }
    return false;
}

DWORD TBComPort::ResumeOn(const std::string& name) {
    const std::string path = "\\\\.\\" + name;
    const HANDLE handle = api_.CreateFileA(path.c_str());
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = api_.GetLastError();
        if (error == ERROR_PRIVILEGE_NOT_HELD && !permissionTold_) {
            // Back, but not ours to open: said once, and the waiting goes on.
            permissionTold_ = true;
            TellFailure(std::make_exception_ptr(EComPort(PermissionDeniedMessage(port_))));
        }
        return error;
    }
    deviceHandle_ = handle;
    try {
        ApplySettings();
        if (syncMethod_ == smWindowSync) {
            notifyWindow_ = std::make_unique<platform::NotifyWindow>(
                [this](unsigned m, std::uintptr_t w, std::intptr_t l) {
                    return LineEventWndProc(m, w, l);
                });
        }
        deviceLost_ = false;
        StartWatcher();
    } catch (...) {
        // Not ready yet (a device still coming up): let go and look again.
        watcher_.reset();
        notifyWindow_.reset();
        deviceLost_ = true;
        CloseDevice();
        return ERROR_GEN_FAILURE;
    }
    StopReturnTicker();
    if (OnDeviceBack) {
        OnDeviceBack(this);
    }
    return ERROR_SUCCESS;
}

}  // namespace nira::serial
