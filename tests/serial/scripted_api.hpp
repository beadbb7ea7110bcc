#pragma once
// A serial API double: records every call with its arguments, returns scripted results, and
// lets a test complete the watcher's pending event waits with the masks it chooses.

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_api.hpp"

namespace nira::testing {

using namespace nira::platform;

class ScriptedSerialApi final : public SerialApi {
  public:
    // ---- script ----
    DWORD createError = ERROR_SUCCESS;  // CreateFileA fails with this when set
    DWORD errorWord = 0;                // what ClearCommError reports (then cleared)
    DWORD inQueue = 0;                  // cbInQue
    DWORD modemStatus = 0;
    std::string incoming;  // what ReadFile hands out
    // The next `count` calls of `name` fail (return FALSE / invalid).
    void failNext(const std::string& name, int count = 1) {
        std::lock_guard lock(mutex_);
        failures_[name] = count;
    }
    // The device is pulled: from now on its calls fail with `error` (CloseHandle aside), and a
    // pending event wait ends with it.
    void pull(DWORD error) {
        {
            std::lock_guard lock(mutex_);
            pulledWith_ = error;
            if (pending_.overlapped != nullptr) {
                pending_.overlapped->Internal = error;
                events_[pending_.overlapped->hEvent].signalled = true;
                pending_ = {};
            }
        }
        cv_.notify_all();
    }
    // Completes the watcher's current (or next) event wait with `mask`.
    void raiseEvents(DWORD mask) {
        {
            std::lock_guard lock(mutex_);
            commEvents_.push_back(mask);
        }
        cv_.notify_all();
    }

    // ---- record ----
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clearCalls() {
        std::lock_guard lock(mutex_);
        calls_.clear();
        dcbs_.clear();
        timeouts_.clear();
    }
    std::vector<DCB> dcbs() const {
        std::lock_guard lock(mutex_);
        return dcbs_;
    }
    std::vector<COMMTIMEOUTS> timeouts() const {
        std::lock_guard lock(mutex_);
        return timeouts_;
    }
    std::string written() const {
        std::lock_guard lock(mutex_);
        return written_;
    }
    int openDevices() const {
        std::lock_guard lock(mutex_);
        return openDevices_;
    }
    int openEvents() const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(events_.size());
    }
    bool waitPending() const {
        std::lock_guard lock(mutex_);
        return pending_.overlapped != nullptr;
    }

    static DWORD flagWord(const DCB& dcb) {
        DWORD word = 0;
        std::memcpy(&word, reinterpret_cast<const char*>(&dcb) + 8, sizeof word);
        return word;
    }

    // ---- SerialApi ----
    HANDLE CreateFileA(const char* path) override {
        std::lock_guard lock(mutex_);
        record("CreateFileA " + std::string(path));
        if (createError != ERROR_SUCCESS || failing("CreateFileA")) {
            lastError_ = createError != ERROR_SUCCESS ? createError : ERROR_GEN_FAILURE;
            return INVALID_HANDLE_VALUE;
        }
        ++openDevices_;
        return kDevice;
    }
    DWORD GetLastError() override {
        std::lock_guard lock(mutex_);
        return lastError_;
    }
    BOOL CloseHandle(HANDLE h) override {
        std::lock_guard lock(mutex_);
        if (h == kDevice) {
            record("CloseHandle device");
            --openDevices_;
            return TRUE;
        }
        return events_.erase(h) == 1 ? TRUE : FALSE;
    }
    BOOL SetupComm(HANDLE h, DWORD in, DWORD out) override {
        return deviceCall(h, "SetupComm " + std::to_string(in) + " " + std::to_string(out),
                          "SetupComm");
    }
    BOOL SetCommState(HANDLE h, const DCB& dcb) override {
        std::lock_guard lock(mutex_);
        dcbs_.push_back(dcb);
        return deviceCallLocked(h, "SetCommState", "SetCommState");
    }
    BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& t) override {
        std::lock_guard lock(mutex_);
        timeouts_.push_back(t);
        return deviceCallLocked(h, "SetCommTimeouts", "SetCommTimeouts");
    }
    BOOL SetCommMask(HANDLE h, DWORD mask) override {
        std::lock_guard lock(mutex_);
        const BOOL ok = deviceCallLocked(h, "SetCommMask " + hex(mask), "SetCommMask");
        if (pending_.overlapped != nullptr) {
            complete(0);
        }
        cv_.notify_all();
        return ok;
    }
    BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) override {
        std::lock_guard lock(mutex_);
        if (deviceCallLocked(h, "WaitCommEvent", "WaitCommEvent") == FALSE) {
            return FALSE;
        }
        events_[ov->hEvent].signalled = false;
        pending_ = {mask, ov};
        lastError_ = ERROR_IO_PENDING;
        return FALSE;
    }
    BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status) override {
        std::lock_guard lock(mutex_);
        if (deviceCallLocked(h, "ClearCommError", "ClearCommError") == FALSE) {
            return FALSE;
        }
        *errors = errorWord;
        errorWord = 0;
        *status = COMSTAT{};
        status->cbInQue = inQueue;
        return TRUE;
    }
    BOOL GetCommModemStatus(HANDLE h, DWORD* status) override {
        std::lock_guard lock(mutex_);
        *status = modemStatus;
        return deviceCallLocked(h, "GetCommModemStatus", "GetCommModemStatus");
    }
    BOOL EscapeCommFunction(HANDLE h, DWORD function) override {
        return deviceCall(h, "EscapeCommFunction " + std::to_string(function),
                          "EscapeCommFunction");
    }
    BOOL PurgeComm(HANDLE h, DWORD flags) override {
        return deviceCall(h, "PurgeComm " + std::to_string(flags), "PurgeComm");
    }
    BOOL ReadFile(HANDLE h, void* buffer, DWORD count, DWORD* read, OVERLAPPED* ov) override {
        std::lock_guard lock(mutex_);
        if (deviceCallLocked(h, "ReadFile " + std::to_string(count), "ReadFile") == FALSE) {
            return FALSE;
        }
        const std::size_t n = std::min<std::size_t>(count, incoming.size());
        std::memcpy(buffer, incoming.data(), n);
        incoming.erase(0, n);
        inQueue = static_cast<DWORD>(incoming.size());
        *read = static_cast<DWORD>(n);
        ov->Internal = 0;
        ov->InternalHigh = n;
        events_[ov->hEvent].signalled = true;
        return TRUE;
    }
    BOOL WriteFile(HANDLE h, const void* buffer, DWORD count, DWORD* written,
                   OVERLAPPED* ov) override {
        std::lock_guard lock(mutex_);
        if (deviceCallLocked(h, "WriteFile " + std::to_string(count), "WriteFile") == FALSE) {
            return FALSE;
        }
        written_.append(static_cast<const char*>(buffer), count);
        *written = count;
        ov->Internal = 0;
        ov->InternalHigh = count;
        events_[ov->hEvent].signalled = true;
        return TRUE;
    }
    BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* transferred, BOOL wait) override {
        std::lock_guard lock(mutex_);
        if (deviceCallLocked(h, wait != FALSE ? "GetOverlappedResult wait" : "",
                             "GetOverlappedResult") == FALSE) {
            return FALSE;
        }
        *transferred = static_cast<DWORD>(ov->InternalHigh);
        return ov->Internal == 0 ? TRUE : FALSE;
    }
    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override {
        std::lock_guard lock(mutex_);
        auto* handle = reinterpret_cast<HANDLE>(nextEvent_++);
        events_[handle] = {manualReset != FALSE, initialState != FALSE};
        return handle;
    }
    BOOL SetEvent(HANDLE h) override {
        {
            std::lock_guard lock(mutex_);
            auto it = events_.find(h);
            if (it == events_.end()) {
                return FALSE;
            }
            it->second.signalled = true;
        }
        cv_.notify_all();
        return TRUE;
    }
    DWORD WaitForSingleObject(HANDLE h, DWORD ms) override {
        return WaitForMultipleObjects(1, &h, ms);
    }
    DWORD WaitForMultipleObjects(DWORD n, const HANDLE* handles, DWORD ms) override {
        std::unique_lock lock(mutex_);
        if (failing("WaitForMultipleObjects")) {
            return WAIT_FAILED;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (pending_.overlapped != nullptr && !commEvents_.empty()) {
                const DWORD mask = commEvents_.front();
                commEvents_.pop_front();
                complete(mask);
            }
            for (DWORD i = 0; i < n; ++i) {
                auto it = events_.find(handles[i]);
                if (it == events_.end()) {
                    return WAIT_FAILED;
                }
                if (it->second.signalled) {
                    return WAIT_OBJECT_0 + i;
                }
            }
            if (ms != INFINITE) {
                if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
                    return WAIT_TIMEOUT;
                }
            } else {
                cv_.wait(lock);
            }
        }
    }
    void Sleep(DWORD) override {}

    static inline const HANDLE kDevice = reinterpret_cast<HANDLE>(0xDE71CE);

  private:
    struct Event {
        bool manual = true;
        bool signalled = false;
    };
    struct Pending {
        DWORD* mask = nullptr;
        OVERLAPPED* overlapped = nullptr;
    };

    static std::string hex(DWORD v) {
        char b[16];
        std::snprintf(b, sizeof b, "0x%04X", static_cast<unsigned>(v));
        return b;
    }
    void record(const std::string& call) {
        if (!call.empty()) {
            calls_.push_back(call);
        }
    }
    bool failing(const std::string& name) {
        auto it = failures_.find(name);
        if (it == failures_.end() || it->second == 0) {
            return false;
        }
        --it->second;
        return true;
    }
    BOOL deviceCall(HANDLE h, const std::string& call, const std::string& name) {
        std::lock_guard lock(mutex_);
        return deviceCallLocked(h, call, name);
    }
    BOOL deviceCallLocked(HANDLE h, const std::string& call, const std::string& name) {
        record(call);
        if (h != kDevice) {
            lastError_ = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        if (pulledWith_ != ERROR_SUCCESS) {
            lastError_ = pulledWith_;
            return FALSE;
        }
        if (failing(name)) {
            lastError_ = ERROR_GEN_FAILURE;
            return FALSE;
        }
        return TRUE;
    }
    void complete(DWORD mask) {
        *pending_.mask = mask;
        pending_.overlapped->Internal = 0;
        events_[pending_.overlapped->hEvent].signalled = true;
        pending_ = {};
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> calls_;
    std::vector<DCB> dcbs_;
    std::vector<COMMTIMEOUTS> timeouts_;
    std::string written_;
    std::map<std::string, int> failures_;
    std::map<HANDLE, Event> events_;
    std::deque<DWORD> commEvents_;
    Pending pending_;
    DWORD lastError_ = ERROR_SUCCESS;
    DWORD pulledWith_ = ERROR_SUCCESS;
    int openDevices_ = 0;
    std::uintptr_t nextEvent_ = 0xE0001;
};

}  // namespace nira::testing
