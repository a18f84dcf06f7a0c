#include "tests/support/fake_device.h"

namespace testsupport {

namespace {

FakeDeviceState fake;

std::string Num(long long v) { return std::to_string(v); }

DeviceHandle FakeOpen(int k, int* error) {
    fake.calls.push_back("open " + Num(k));
    *error = fake.openResultHandle == 0 ? fake.openError : OPEN_ERROR_NONE;
    return fake.openResultHandle;
}

void FakeClose(DeviceHandle h) { fake.calls.push_back("close " + Num(h)); }

int FakeConfigure(DeviceHandle h, const LineSettings& s) {
    fake.calls.push_back("configure " + Num(h) + " " + Num(s.baudRate) + " " + Num(s.dataBits) + " " +
                         Num(s.parity) + " " + Num(s.stopBits));
    return fake.configureResult;
}

void FakeRaise(DeviceHandle h) { fake.calls.push_back("dtr+rts " + Num(h)); }

int FakeWrite(DeviceHandle h, const unsigned char* data, int length) {
    fake.calls.push_back("write " + Num(h) + " " + Num(length));
    ++fake.writeCalls;
    fake.lastWriteLength = length;
    fake.written.insert(fake.written.end(), data, data + length);
    return fake.writeResult;
}

int FakeRead(DeviceHandle, unsigned char* byte) {
    if (fake.input.empty()) return 0;
    *byte = fake.input.front();
    fake.input.pop_front();
    return 1;
}

void FakeSetRts(DeviceHandle h, int enable) { fake.calls.push_back("rts " + Num(h) + " " + Num(enable)); }

int FakeLost(DeviceHandle) { return fake.lost; }

// Every handle shares the one input queue; the wait never sleeps.
int FakeWait(const DeviceHandle*, int count, int, int* ready) {
    int total = 0;
    for (int i = 0; i < count; ++i) {
        ready[i] = !fake.input.empty() || fake.lost ? 1 : 0;
        total += ready[i];
    }
    return total;
}

const DeviceOps FakeOps = {FakeOpen, FakeClose,  FakeConfigure, FakeRaise, FakeWrite,
                           FakeRead, FakeSetRts, FakeLost,      FakeWait};

}  // namespace

FakeDevice::FakeDevice() {
    fake = FakeDeviceState();
    PortUseDevice(&FakeOps);
}

FakeDevice::~FakeDevice() { PortUseDevice(nullptr); }

FakeDeviceState& FakeDevice::state() { return fake; }

}  // namespace testsupport
