// Test support: a scripted in-process device under the port table. It records
// every call and serves queued input one byte per read, as a real port does.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "port/device.h"

namespace testsupport {

struct FakeDeviceState {
    int openResultHandle = 0x100;  // handle given by the next open (0 = fail)
    int openError = OPEN_ERROR_NO_DEVICE;  // the reason a failing open gives
    int lost = 0;                  // what the device says when asked whether it is gone
    int configureResult = PORT_OK;
    int writeResult = PORT_OK;
    std::deque<unsigned char> input;
    std::vector<std::string> calls;  // "open 1", "close 256", "configure 256 9600 8 0 1", ...
    std::vector<unsigned char> written;
    int writeCalls = 0;
    int lastWriteLength = -1;
};

// Installs the fake for PortRequest; the destructor puts the platform device back.
class FakeDevice {
public:
    FakeDevice();
    ~FakeDevice();
    FakeDeviceState& state();
};

}  // namespace testsupport
