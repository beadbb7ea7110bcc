// The component's transfers (overlapped reads and writes, the modem lines) and the deliveries of
// line events to their handlers.
#include <cstring>

#include "platform/exception_display.hpp"
#include "serial/com_port.hpp"
#include "serial/delivery_order.hpp"

namespace nira::serial {

using namespace nira::platform;

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

}  // namespace nira::serial
