// Fuzz target over the receive path and the trace rendering: whatever the line
// sends after a frame, the transaction ends, stays inside its buffers and leaves
// trace lines a panel can draw.
//
// The line is an in-process device that delivers the fuzz input once the frame is
// written; when the input runs out it closes the receive window at once, so an
// iteration costs microseconds instead of the 100 ms a real window takes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/transaction.h"
#include "port/device.h"

namespace {

const uint8_t* lineData = nullptr;
size_t lineSize = 0;
size_t linePos = 0;
bool frameWritten = false;

DeviceHandle LineOpen(int, int* error) {
    *error = OPEN_ERROR_NONE;
    return 1;
}
void LineClose(DeviceHandle) {}
int LineConfigure(DeviceHandle, const LineSettings&) { return PORT_OK; }
void LineRaise(DeviceHandle) {}
int LineWrite(DeviceHandle, const unsigned char*, int) {
    frameWritten = true;
    return PORT_OK;
}
int LineRead(DeviceHandle, unsigned char* byte) {
    if (frameWritten && linePos < lineSize) {
        *byte = lineData[linePos++];
        return 1;
    }
    countdown.store(0);  // the window ends as soon as the line falls silent
    return 0;
}
void LineRts(DeviceHandle, int) {}
int LineLost(DeviceHandle) { return 0; }

const DeviceOps Line = {LineOpen, LineClose, LineConfigure, LineRaise, LineWrite, LineRead, LineRts, LineLost, nullptr};

void Check(bool ok) {
    if (!ok) std::abort();
}

void CheckTrace(const TraceLines& set) {
    for (const auto& line : set.line) Check(std::memchr(line, '\0', TRACE_LINE_BYTES) != nullptr &&
                                            std::strlen(line) <= 80);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool opened = false;
    if (!opened) {
        PortUseDevice(&Line);
        PortRequest(0, PORT_INIT, nullptr);
        PortParams params = {9600, 0, 8, 1};
        PortRequest(1001, PORT_OPEN, &params);
        openPortId = 1001;
        opened = true;
    }
    if (size == 0) return 0;

    // The trace rendering on its own, on the raw bytes.
    TraceLines set;
    FormatTrace(data, static_cast<int>(size), set);
    CheckTrace(set);

    // A whole transaction: the first byte picks the reply flag and the data bits.
    PortParams params = {9600, 0, (data[0] & 2) ? 7 : 8, 1};
    PortRequest(1001, PORT_FORGET, nullptr);
    PortRequest(1001, PORT_OPEN, &params);
    lineData = data + 1;
    lineSize = size - 1;
    linePos = 0;
    frameWritten = false;
    {
        TransactionGuard guard;
        std::memcpy(MessageBuffer, "FE", 3);
        replyExpected.store(data[0] & 1);
        RunTransaction();
    }
    Check(replyExpected.load() == 0);
    Check(ReplyLength >= 0 && ReplyLength <= REPLY_BYTES);
    Check(checksumError.load() == 0 || checksumError.load() == 1);
    CheckTrace(TxTrace);
    CheckTrace(RxTrace);
    return 0;
}
