// Windows serial devices through kernel32. COM port k is the device named "Comk",
// opened by that plain name. A handle is the kernel handle's value; a successful
// CreateFileA never returns 0, so 0 stays free for "no device".
#include "port/device_win32.h"

#include <mmsystem.h>

namespace {

HANDLE KernelHandle(DeviceHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// Failures in a row, per open handle; a pulled adapter makes every queue query and ReadFile
// fail. A tap listens on two devices at once, so each keeps its own count.
struct FailureCount {
    DeviceHandle handle;
    int failures;
};
FailureCount readFailures[PORT_COUNT] = {};

// The count of `handle`, or a free slot for it; nullptr when all are taken.
FailureCount* FailuresOf(DeviceHandle handle) {
    FailureCount* free = nullptr;
    for (FailureCount& slot : readFailures) {
        if (slot.handle == handle) return &slot;
        if (slot.handle == 0 && free == nullptr) free = &slot;
    }
    if (free != nullptr) {
        free->handle = handle;
        free->failures = 0;
    }
    return free;
}

// Sleep(1) lasts a timer period, 15.6 ms unless the process asks for 1 ms; the
// request holds until the process ends. Asked for once, by the first open.
void UseFineTimer() {
    static LONG asked = 0;
    if (InterlockedExchange(&asked, 1) == 0) (void)timeBeginPeriod(1);
}

DeviceHandle Win32Open(int k, int* error) {
    if (k < 1 || k > 9) {
        *error = OPEN_ERROR_NO_DEVICE;
        return 0;
    }
    char usual[5] = {'C', 'o', 'm', static_cast<char>('0' + k), '\0'};
    const char* name = PortDeviceName(k);
    if (name == nullptr) name = usual;
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = OpenErrorForSystemError(GetLastError());
        return 0;
    }
    *error = OPEN_ERROR_NONE;
    UseFineTimer();
    DeviceHandle opened = reinterpret_cast<DeviceHandle>(handle);
    FailureCount* count = FailuresOf(opened);
    if (count != nullptr) count->failures = 0;
    return opened;
}

void Win32Close(DeviceHandle handle) {
    if (handle == 0) return;
    for (FailureCount& slot : readFailures) {
        if (slot.handle == handle) slot = FailureCount{0, 0};
    }
    (void)CloseHandle(KernelHandle(handle));
}

// Only the two Set calls decide: a device that cannot report its state or its
// time-outs (some adapter drivers, a pseudo-terminal behind Wine) still gets the
// whole line set from the settings and the time-outs from zero, and the open goes
// on to DTR and RTS.
int Win32Configure(DeviceHandle handle, const LineSettings& line) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(KernelHandle(handle), &dcb)) {
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
    }
    ApplyLineSettings(dcb, line);
    int result = PORT_OK;
    if (!SetCommState(KernelHandle(handle), &dcb)) result = PORT_IO_ERROR;

    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    if (!GetCommTimeouts(KernelHandle(handle), &timeouts)) ZeroMemory(&timeouts, sizeof timeouts);
    ApplyPortTimeouts(timeouts);
    if (!SetCommTimeouts(KernelHandle(handle), &timeouts)) result = PORT_IO_ERROR;
    return result;
}

void Win32RaiseDtrRts(DeviceHandle handle) {
    // Both fail where the device has no modem lines (a pseudo-terminal behind
    // Wine); the line works without them.
    (void)EscapeCommFunction(KernelHandle(handle), SETDTR);
    (void)EscapeCommFunction(KernelHandle(handle), SETRTS);
}

// One synchronous WriteFile, also for 0 bytes. The write time-outs end a write
// that cannot finish; fewer bytes written than asked counts as a failure.
int Win32Write(DeviceHandle handle, const unsigned char* data, int length) {
    if (length < 0) return PORT_IO_ERROR;
    DWORD written = 0;
    if (!WriteFile(KernelHandle(handle), data, static_cast<DWORD>(length), &written, nullptr)) {
        return PORT_IO_ERROR;
    }
    return written == static_cast<DWORD>(length) ? PORT_OK : PORT_IO_ERROR;
}

// Counts a failed call on the device (adapter pulled) or clears the run after a
// good one.
void CountResult(DeviceHandle handle, bool ok) {
    FailureCount* count = FailuresOf(handle);
    if (count == nullptr) return;
    count->failures = ok ? 0 : count->failures + 1;
}

// The number of bytes in the input queue, or -1 when the device cannot be asked.
long Waiting(DeviceHandle handle) {
    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    if (!ClearCommError(KernelHandle(handle), &errors, &status)) return -1;
    return static_cast<long>(status.cbInQue);
}

enum { READ_REST_MS = 1 };

// The input queue is asked first and ReadFile called only when a byte waits:
// under Wine a serial ReadFile is a round trip to its server, the queue query is
// not. When no byte is there the read rests 1 ms before answering "no data", so
// the receive side, which asks again at once until its window closes, sleeps
// rather than spinning a core; a byte that arrived meanwhile is taken by the next
// read, within the millisecond. The handle stays synchronous with the time-outs it
// was opened with: a comm event wait could not be bounded to 1 ms on it. The rest
// is 1 ms only with the timer at 1 ms, which the open asks for. A failing query or
// read (adapter pulled) counts as a failure and rests too.
int Win32ReadByte(DeviceHandle handle, unsigned char* byte) {
    long waiting = Waiting(handle);
    CountResult(handle, waiting >= 0);
    if (waiting > 0) {
        DWORD got = 0;
        BOOL ok = ReadFile(KernelHandle(handle), byte, 1, &got, nullptr);
        CountResult(handle, ok != 0);
        if (ok && got == 1) return 1;
    }
    Sleep(READ_REST_MS);
    return 0;
}

// A working port answers the queue query and ReadFile at once; a run of failures
// means the device is gone.
int Win32Lost(DeviceHandle handle) {
    FailureCount* count = FailuresOf(handle);
    return count != nullptr && count->failures >= 3 ? 1 : 0;
}

// The handles are synchronous, so there is nothing to block on for several at
// once: the input queues are asked, with a 1 ms rest between rounds, until one
// has a byte or the time is up. A device that cannot be asked (pulled) is ready:
// its read fails and says so.
int Win32WaitReadable(const DeviceHandle* handles, int count, int timeoutMs, int* ready) {
    ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int total = 0;
        for (int i = 0; i < count; ++i) {
            ready[i] = Waiting(handles[i]) != 0 ? 1 : 0;
            total += ready[i];
        }
        if (total > 0 || GetTickCount64() >= end) return total;
        Sleep(1);
    }
}

void Win32SetRts(DeviceHandle handle, int enable) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(KernelHandle(handle), &dcb)) return;
    dcb.fRtsControl = enable ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    (void)SetCommState(KernelHandle(handle), &dcb);
}

}  // namespace

// Windows keeps its COM names: nothing maps a COM port to a network server.
int PlatformMappedName(int, char*, int) { return -1; }

int OpenErrorForSystemError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
            return OPEN_ERROR_NO_DEVICE;
        case ERROR_ACCESS_DENIED:  // what Windows says for a COM port another program holds
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return OPEN_ERROR_BUSY;
        default:
            return OPEN_ERROR_OTHER;
    }
}

void ApplyLineSettings(DCB& dcb, const LineSettings& line) {
    dcb.BaudRate = static_cast<DWORD>(line.baudRate);
    // First flag byte: 1 1 0 0 01 0 1 from fBinary up, i.e. 0x93.
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = static_cast<BYTE>(line.dataBits == 7 ? 7 : 8);
    dcb.Parity = static_cast<BYTE>(line.parity == 1 ? ODDPARITY : line.parity == 2 ? EVENPARITY : NOPARITY);
    dcb.StopBits = static_cast<BYTE>(line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT);
}

void ApplyPortTimeouts(COMMTIMEOUTS& timeouts) {
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 1000;
}

const DeviceOps PlatformDevice = {Win32Open,     Win32Close,  Win32Configure, Win32RaiseDtrRts, Win32Write,
                                  Win32ReadByte, Win32SetRts, Win32Lost,      Win32WaitReadable};
