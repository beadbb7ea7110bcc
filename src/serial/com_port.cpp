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

std::string AnotherDeviceMessage(const std::string& port, const std::string& other) {
    return "Port " + shownPort(port) + " is back as another device (" + other +
           "); still waiting for the receiver's adapter.";
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
    return_.closing();
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
        return_.closed();
    }
}

bool TBComPort::OpenPort() {
    if (isOpen_) {
        return true;
    }
    OpenDevice();
    deviceLost_ = false;
    isOpen_ = true;
    // Taken before the watcher starts: its loss report says whether the device is waited for.
    return_.opened(platform::identifyPort(port_, platform::serialByIdFolder()), port_);
    try {
        ApplySettings();
    } catch (...) {
        CloseDevice();
        isOpen_ = false;
        return_.closed();
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
        return_.closed();
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
    // From here nothing the old opening left for the main thread runs: not inside Stop (ending
    // the watcher may run calls it waits for), not after.
    return_.closing();
    StopWatcher();
    notifyWindow_.reset();
    CloseDevice();
    isOpen_ = false;
    return_.closed();
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

// ---- the loss of a device and its return (the policy is DeviceReturn's) ---------------------

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

void TBComPort::TellFailure(const std::exception_ptr& error) {
    if (OnWatcherFailure) {
        OnWatcherFailure(this, error);
    } else {
        platform::handleApplicationException(error);
    }
}

DWORD TBComPort::ResumeOn(const std::string& name) {
    const std::string path = "\\\\.\\" + name;
    const HANDLE handle = api_.CreateFileA(path.c_str());
    if (handle == INVALID_HANDLE_VALUE) {
        return api_.GetLastError();
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
    return ERROR_SUCCESS;
}

}  // namespace nira::serial
