// The serial API on Windows: straight through to the system.
#include "platform/serial_api.hpp"

namespace nira::platform {

namespace {

class Win32SerialApi final : public SerialApi {
  public:
    HANDLE CreateFileA(const char* path) override {
        return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    }
    DWORD GetLastError() override { return ::GetLastError(); }
    BOOL CloseHandle(HANDLE h) override { return ::CloseHandle(h); }
    BOOL SetupComm(HANDLE h, DWORD in, DWORD out) override { return ::SetupComm(h, in, out); }
    BOOL SetCommState(HANDLE h, const DCB& dcb) override {
        DCB copy = dcb;
        return ::SetCommState(h, &copy);
    }
    BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& t) override {
        COMMTIMEOUTS copy = t;
        return ::SetCommTimeouts(h, &copy);
    }
    BOOL SetCommMask(HANDLE h, DWORD mask) override { return ::SetCommMask(h, mask); }
    BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) override {
        return ::WaitCommEvent(h, mask, ov);
    }
    BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status) override {
        return ::ClearCommError(h, errors, status);
    }
    BOOL GetCommModemStatus(HANDLE h, DWORD* status) override {
        return ::GetCommModemStatus(h, status);
    }
    BOOL EscapeCommFunction(HANDLE h, DWORD function) override {
        return ::EscapeCommFunction(h, function);
    }
    BOOL PurgeComm(HANDLE h, DWORD flags) override { return ::PurgeComm(h, flags); }
    BOOL ReadFile(HANDLE h, void* buffer, DWORD count, DWORD* read, OVERLAPPED* ov) override {
        return ::ReadFile(h, buffer, count, read, ov);
    }
    BOOL WriteFile(HANDLE h, const void* buffer, DWORD count, DWORD* written,
                   OVERLAPPED* ov) override {
        return ::WriteFile(h, buffer, count, written, ov);
    }
    BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* transferred, BOOL wait) override {
        return ::GetOverlappedResult(h, ov, transferred, wait);
    }
    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override {
        return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
    }
    BOOL SetEvent(HANDLE h) override { return ::SetEvent(h); }
    DWORD WaitForSingleObject(HANDLE h, DWORD ms) override { return ::WaitForSingleObject(h, ms); }
    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD ms) override {
        return ::WaitForMultipleObjects(count, handles, FALSE, ms);
    }
    void Sleep(DWORD ms) override { ::Sleep(ms); }
};

}  // namespace

SerialApi& systemSerialApi() {
    static Win32SerialApi api;
    return api;
}

}  // namespace nira::platform
