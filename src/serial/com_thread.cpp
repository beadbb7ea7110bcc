// The watcher thread: it waits for the device's line events and hands them over on the thread
// the component's delivery mode names.
#include "platform/exception_display.hpp"
#include "platform/main_thread.hpp"
#include "serial/com_port.hpp"
#include "serial/delivery_order.hpp"

namespace nira::serial {

using namespace nira::platform;

namespace {
// A completed wait that fails this many times in a row is not a passing hiccup.
constexpr int kMaxFailedWaits = 100;
}  // namespace

// ---- the watcher -------------------------------------------------------------------------------

void TBComPort::StartWatcher() {
    auto thread = std::make_unique<TComThread>(*this);
    thread->StopSignal = api_.CreateEventA(TRUE, FALSE);
    thread->setPriority(watcherPriority_);
    thread->Watch = return_.nextWatch();
    thread->Resumes = return_.resumes();
    api_.SetCommMask(deviceHandle_, EventsToMask(watchedEvents_));
    watcher_ = std::move(thread);
    watcher_->start();
}

void TBComPort::StopWatcher() {
    if (!watcher_) {
        return;
    }
    api_.SetEvent(watcher_->StopSignal);
    api_.Sleep(0);
    watcher_.reset();
}

TComThread::TComThread(TBComPort& port) : WatchedPort(&port) {}

TComThread::~TComThread() {
    terminateAndWait();
    if (StopSignal != nullptr) {
        WatchedPort->Api().CloseHandle(StopSignal);
        StopSignal = nullptr;
    }
}

void TComThread::execute() {
    try {
        watch();
    } catch (...) {
        // A handler on this thread whose transfer Stop cut short is part of stopping.
        if (WatchedPort->Closing() ||
            WatchedPort->Api().WaitForSingleObject(StopSignal, 0) == WAIT_OBJECT_0) {
            throw;
        }
        // Ending quietly would leave the operator looking at a listening window that no longer
        // analyses anything: the failure is reported on the main thread.
        // Whatever call failed first, a device that is gone is the cause worth telling.
        std::exception_ptr error = std::current_exception();
        if (!WatchedPort->DeviceLost() && deviceGone()) {
            WatchedPort->MarkDeviceLost();
            error =
                std::make_exception_ptr(EComPort(DeviceLostMessage(WatchedPort->Port(), Resumes)));
        }
        // Handed over without waiting: the report may show a message box for as long as the
        // operator leaves it there, and a device that comes back meanwhile gets a new watcher.
        WatchedPort->PostWatcherFailure(error, Watch);
        throw;
    }
}

void TComThread::watch() {
    SerialApi& api = WatchedPort->Api();
    const HANDLE device = WatchedPort->DeviceHandle();
    OVERLAPPED overlapped{};
    overlapped.hEvent = api.CreateEventA(TRUE, TRUE);
    struct EventCloser {
        SerialApi& api;
        OVERLAPPED& o;
        ~EventCloser() {
            if (o.hEvent != nullptr) {
                api.CloseHandle(o.hEvent);
            }
        }
    } closer{api, overlapped};
    const HANDLE waitList[2] = {StopSignal, overlapped.hEvent};
    DWORD mask = 0;
    int failedWaits = 0;
    DWORD result = WAIT_OBJECT_0 + 1;
    do {
        if (api.WaitCommEvent(device, &mask, &overlapped) == FALSE &&
            api.GetLastError() != ERROR_IO_PENDING) {
            // No wait was started: waiting on would only see the last wait's result again.
            failWatch(api.GetLastError());
        }
        result = api.WaitForMultipleObjects(2, waitList, INFINITE);
        if (result != WAIT_OBJECT_0 + 1) {
            break;
        }
        DWORD unused = 0;
        if (api.GetOverlappedResult(device, &overlapped, &unused, FALSE) == FALSE) {
            // A failed wait passes, unless the device is gone: then every later wait fails
            // at once too, and the watcher must end rather than spin.
            DWORD errors = 0;
            COMSTAT status{};
            if (api.ClearCommError(device, &errors, &status) == FALSE) {
                failWatch(api.GetLastError());
            }
            if (++failedWaits >= kMaxFailedWaits) {
                failWatch(ERROR_GEN_FAILURE);
            }
            continue;
        }
        failedWaits = 0;
        LastEvents = EventsFromMask(mask);
        switch (WatchedPort->SyncMethod()) {
            case smThreadSync:
                MainThreadQueue::instance().synchronize([this] { DispatchEvents(); });
                break;
            case smWindowSync:
                ForwardToWindow();
                break;
            case smNone:
                DispatchEvents();
                break;
        }
    } while (result == WAIT_OBJECT_0 + 1);
    endSteps(overlapped);
}

// A device that no longer answers a status call is gone, whatever code its driver fails with
// (ERROR_GEN_FAILURE, ERROR_ACCESS_DENIED, ERROR_OPERATION_ABORTED after a surprise removal).
bool TComThread::deviceGone() const {
    return !WatchedPort->DeviceAnswers();
}

void TComThread::failWatch(DWORD error) {
    if (IsDeviceLostError(error) || deviceGone()) {
        WatchedPort->MarkDeviceLost();
        throw EComPort(DeviceLostMessage(WatchedPort->Port(), Resumes));
    }
    throw EComPort(cmReadError);
}

void TComThread::endSteps(OVERLAPPED& overlapped) {
    SerialApi& api = WatchedPort->Api();
    const HANDLE device = WatchedPort->DeviceHandle();
    api.SetCommMask(device, 0);
    // The driver may still write the wait's record and mask, which live in this frame: let the
    // pending wait finish (the new mask ends it) before leaving.
    DWORD unused = 0;
    api.GetOverlappedResult(device, &overlapped, &unused, TRUE);
    api.PurgeComm(device, PURGE_TXCLEAR | PURGE_RXCLEAR);
    api.CloseHandle(overlapped.hEvent);
    overlapped.hEvent = nullptr;
    // The stop signal is closed by the destructor, after the thread has ended: the main thread
    // may still be setting it when the loop ends by a failed wait.
}

void TComThread::DispatchEvents() {
    TBComPort& port = *WatchedPort;
    for (const auto& delivery : kDeliveryOrder) {
        if (LastEvents.contains(delivery.event)) {
            (port.*delivery.deliver)();
        }
    }
}

void TComThread::ForwardToWindow() {
    platform::NotifyWindow* window = WatchedPort->NotifyWindow();
    if (window == nullptr) {
        return;
    }
    for (const auto& delivery : kDeliveryOrder) {
        if (LastEvents.contains(delivery.event)) {
            window->SendMessageA(WM_LINEEVENT, delivery.bit, 0);
        }
    }
}

}  // namespace nira::serial
