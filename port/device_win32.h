// The Windows device layer's line settings as plain functions on the kernel32
// structures, so they can be checked without a serial port.
#pragma once

#include <windows.h>

#include "port/device.h"

// Applies the console's line settings to a device control block read with
// GetCommState: binary mode, parity checking on, DTR and RTS enabled, no
// hardware or XON/XOFF flow control, no error or NUL handling, no abort on
// error; baud rate, byte size, parity and stop bits from `line`. The reserved
// flag bits and every other field keep their values.
void ApplyLineSettings(DCB& dcb, const LineSettings& line);

// Read time-outs that make ReadFile return at once with what has arrived; a
// write of n bytes is bounded by 10 n + 1000 ms.
void ApplyPortTimeouts(COMMTIMEOUTS& timeouts);

// The PortOpenError for what GetLastError said after a failed CreateFileA.
int OpenErrorForSystemError(DWORD error);
