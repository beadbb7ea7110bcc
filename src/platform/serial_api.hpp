#pragma once
// The operating-system calls the serial component makes, with the meaning of the Windows serial
// API. One interface, three implementations: Win32 (pass-through), POSIX (termios, poll and the
// serial ioctls) and a scripted double in the tests.

#include "platform/win_types.hpp"

namespace nira::platform {

class SerialApi {
  public:
    virtual ~SerialApi() = default;

    // Opens a device for overlapped, exclusive reading and writing (GENERIC_READ | GENERIC_WRITE,
    // share mode 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED). INVALID_HANDLE_VALUE on failure.
    virtual HANDLE CreateFileA(const char* path) = 0;
    virtual DWORD GetLastError() = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;

    virtual BOOL SetupComm(HANDLE device, DWORD inQueue, DWORD outQueue) = 0;
    virtual BOOL SetCommState(HANDLE device, const DCB& dcb) = 0;
    virtual BOOL SetCommTimeouts(HANDLE device, const COMMTIMEOUTS& timeouts) = 0;
    virtual BOOL SetCommMask(HANDLE device, DWORD mask) = 0;
    virtual BOOL WaitCommEvent(HANDLE device, DWORD* mask, OVERLAPPED* overlapped) = 0;
    virtual BOOL ClearCommError(HANDLE device, DWORD* errors, COMSTAT* status) = 0;
    virtual BOOL GetCommModemStatus(HANDLE device, DWORD* status) = 0;
    virtual BOOL EscapeCommFunction(HANDLE device, DWORD function) = 0;
    virtual BOOL PurgeComm(HANDLE device, DWORD flags) = 0;
    virtual BOOL ReadFile(HANDLE device, void* buffer, DWORD count, DWORD* read,
                          OVERLAPPED* overlapped) = 0;
    virtual BOOL WriteFile(HANDLE device, const void* buffer, DWORD count, DWORD* written,
                           OVERLAPPED* overlapped) = 0;
    virtual BOOL GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* transferred,
                                     BOOL wait) = 0;

    // Unnamed events.
    virtual HANDLE CreateEventA(BOOL manualReset, BOOL initialState) = 0;
    virtual BOOL SetEvent(HANDLE event) = 0;
    virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
    // Any one of the handles (the first signalled in order wins); waiting for all is not offered.
    virtual DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles,
                                         DWORD milliseconds) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
};

// The backend of the system the program runs on.
SerialApi& systemSerialApi();

}  // namespace nira::platform
