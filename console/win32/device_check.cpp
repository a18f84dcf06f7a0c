// Checks the Windows device layer's settings on the kernel32 structures, without
// a serial port: the flag word of the device control block (first flag byte 0x93,
// reserved bits kept), the fields taken from the line settings, the fields left
// alone, and the time-outs. Prints each mismatch; exits 0 when all hold.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "port/device_win32.h"

namespace {

int failures = 0;

void Expect(bool ok, const char* what, unsigned long got, unsigned long want) {
    if (ok) return;
    ++failures;
    std::printf("FAIL %s: got 0x%lx, want 0x%lx\n", what, got, want);
}

void ExpectEqual(unsigned long got, unsigned long want, const char* what) { Expect(got == want, what, got, want); }

// The flag bits sit in the DWORD that follows DCBlength and BaudRate.
const std::size_t FlagOffset = 2 * sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == FlagOffset + sizeof(DWORD), "DCB flag word where expected");

DWORD FlagWord(const DCB& dcb) {
    DWORD flags = 0;
    std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + FlagOffset, sizeof flags);
    return flags;
}

DCB Filled(unsigned char fill) {
    DCB dcb;
    std::memset(&dcb, fill, sizeof dcb);
    return dcb;
}

// Every byte outside BaudRate, the flag word, ByteSize, Parity and StopBits must
// be as GetCommState left it.
void ExpectOtherFieldsKept(const DCB& before, const DCB& after, const char* what) {
    DCB a = before;
    DCB b = after;
    a.BaudRate = b.BaudRate = 0;
    std::memset(reinterpret_cast<unsigned char*>(&a) + FlagOffset, 0, sizeof(DWORD));
    std::memset(reinterpret_cast<unsigned char*>(&b) + FlagOffset, 0, sizeof(DWORD));
    a.ByteSize = b.ByteSize = 0;
    a.Parity = b.Parity = 0;
    a.StopBits = b.StopBits = 0;
    bool same = std::memcmp(&a, &b, sizeof a) == 0;
    Expect(same, what, same ? 0 : 1, 0);
}

void CheckFlags() {
    const LineSettings line = {9600, 8, 0, 1};
    // From all bits clear: only the bits the console sets (0x93 and RTS enabled).
    DCB clear = Filled(0x00);
    DCB cleared = clear;
    ApplyLineSettings(cleared, line);
    ExpectEqual(FlagWord(cleared) & 0xFF, 0x93, "first flag byte from zero");
    ExpectEqual(FlagWord(cleared), 0x00001093, "flag word from zero");
    ExpectOtherFieldsKept(clear, cleared, "other fields kept (zero)");
    // From all bits set: the same first byte, the reserved bits 15..31 kept.
    DCB set = Filled(0xFF);
    DCB applied = set;
    ApplyLineSettings(applied, line);
    ExpectEqual(FlagWord(applied) & 0xFF, 0x93, "first flag byte from ones");
    ExpectEqual(FlagWord(applied), 0xFFFF9093, "flag word from ones");
    ExpectOtherFieldsKept(set, applied, "other fields kept (ones)");
    ExpectEqual(applied.fDtrControl, DTR_CONTROL_ENABLE, "fDtrControl");
    ExpectEqual(applied.fRtsControl, RTS_CONTROL_ENABLE, "fRtsControl");
}

void CheckLine(const LineSettings& line, DWORD baud, BYTE byteSize, BYTE parity, BYTE stopBits) {
    DCB dcb = Filled(0x5A);
    ApplyLineSettings(dcb, line);
    char what[64];
    std::snprintf(what, sizeof what, "BaudRate for %d", line.baudRate);
    ExpectEqual(dcb.BaudRate, baud, what);
    std::snprintf(what, sizeof what, "ByteSize for %d data bits", line.dataBits);
    ExpectEqual(dcb.ByteSize, byteSize, what);
    std::snprintf(what, sizeof what, "Parity for code %d", line.parity);
    ExpectEqual(dcb.Parity, parity, what);
    std::snprintf(what, sizeof what, "StopBits for %d stop bits", line.stopBits);
    ExpectEqual(dcb.StopBits, stopBits, what);
}

void CheckTimeouts() {
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0x5A, sizeof timeouts);
    ApplyPortTimeouts(timeouts);
    ExpectEqual(timeouts.ReadIntervalTimeout, MAXDWORD, "ReadIntervalTimeout");
    ExpectEqual(timeouts.ReadTotalTimeoutMultiplier, 0, "ReadTotalTimeoutMultiplier");
    ExpectEqual(timeouts.ReadTotalTimeoutConstant, 0, "ReadTotalTimeoutConstant");
    ExpectEqual(timeouts.WriteTotalTimeoutMultiplier, 10, "WriteTotalTimeoutMultiplier");
    ExpectEqual(timeouts.WriteTotalTimeoutConstant, 1000, "WriteTotalTimeoutConstant");
}

}  // namespace

int main() {
    CheckFlags();
    CheckLine({2400, 8, 0, 1}, 2400, 8, NOPARITY, ONESTOPBIT);
    CheckLine({19200, 7, 1, 2}, 19200, 7, ODDPARITY, TWOSTOPBITS);
    CheckLine({4800, 7, 2, 1}, 4800, 7, EVENPARITY, ONESTOPBIT);
    CheckLine({115200, 8, 0, 2}, 115200, 8, NOPARITY, TWOSTOPBITS);
    CheckTimeouts();
    // A port number outside 1..9 names no device: no handle, nothing opened.
    int error = 0;
    ExpectEqual(static_cast<unsigned long>(PlatformDevice.open(0, &error)), 0, "open(0)");
    ExpectEqual(static_cast<unsigned long>(PlatformDevice.open(10, &error)), 0, "open(10)");
    std::printf(failures == 0 ? "device check: all passed\n" : "device check: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
