#include "port/port.h"

#include <cstring>

#include "port/device.h"
#include "port/net_url.h"

PortRecord PortTable[PORT_COUNT];

namespace {

const DeviceOps* device = &PlatformDevice;

// The handle of the most recent successful open; the next open closes it, so at
// most one device stays open even though forgetting a record does not close it.
DeviceHandle rememberedHandle = 0;
// The backend that handle belongs to: the network device for a network port name,
// else the device layer in use.
const DeviceOps* rememberedOps = nullptr;

int lastOpenError = OPEN_ERROR_NONE;

// Names set with PortSetDeviceName; an empty name means the usual device.
char deviceNames[PORT_COUNT][PORT_NAME_BYTES];

// The backend each record's handle belongs to (nullptr: the device layer in use).
// Kept per record, since ports opened beside each other may differ.
const DeviceOps* recordOps[PORT_COUNT];

const DeviceOps& OpsOf(const PortRecord& record) {
    const DeviceOps* ops = recordOps[&record - PortTable];
    return ops != nullptr ? *ops : *device;
}

PortRecord* RecordFor(int portId) {
    if (portId < PORT_FIRST_ID || portId > PORT_LAST_ID) return nullptr;
    return &PortTable[portId - PORT_FIRST_ID];
}

void EmptyRecord(PortRecord& record) {
    recordOps[&record - PortTable] = nullptr;
    record.handle = 0;
    record.transmitLength = 0;
    record.receiveCount = 0;
    record.receiveHead = 0;
    record.receiveTail = 0;
}

int Resolve(PortResolveArgs* args) {
    if (args == nullptr || args->portId == nullptr) return PORT_BAD_REQUEST;
    if (args->comPort >= 1 && args->comPort <= PORT_COUNT) {
        *args->portId = 1000 + args->comPort;
        return PORT_OK;
    }
    *args->portId = -1;
    return PORT_BAD_REQUEST;
}

// `beside`: leave the device PORT_OPEN keeps alone and do not become it.
int Open(int portId, PortRecord& record, const PortParams* params, bool beside) {
    if (params == nullptr) return PORT_BAD_REQUEST;
    if (!beside && rememberedHandle != 0) {
        (rememberedOps != nullptr ? *rememberedOps : *device).close(rememberedHandle);
        // A record still naming the closed handle (reopening a record without
        // forgetting it first) must not keep it: it would write to a dead handle.
        for (PortRecord& other : PortTable) {
            if (other.handle == rememberedHandle && recordOps[&other - PortTable] == rememberedOps) {
                other.handle = 0;
                recordOps[&other - PortTable] = nullptr;
            }
        }
        rememberedHandle = 0;
        rememberedOps = nullptr;
    }
    LineSettings line;
    line.baudRate = params->baudRate;
    line.parity = params->parity == 1 ? 1 : params->parity == 2 ? 2 : 0;
    line.dataBits = params->dataBits == 7 ? 7 : 8;
    line.stopBits = params->stopBits == 50 ? 2 : 1;
    record.dataBits = line.dataBits;
    if (record.handle == 0) {
        int error = OPEN_ERROR_OTHER;
        char url[PORT_NAME_BYTES];
        const DeviceOps* ops = PortNetworkName(portId - 1000, url, sizeof url) == 1 ? &NetworkDevice : device;
        DeviceHandle handle = ops->open(portId - 1000, &error);
        if (handle == 0) {
            lastOpenError = error != OPEN_ERROR_NONE ? error : OPEN_ERROR_OTHER;
            return PORT_OPEN_FAILED;
        }
        lastOpenError = OPEN_ERROR_NONE;
        if (!beside) {
            rememberedHandle = handle;
            rememberedOps = ops;
        }
        record.handle = handle;
        recordOps[&record - PortTable] = ops;
    }
    const DeviceOps& ops = OpsOf(record);
    if (ops.configure(record.handle, line) != PORT_OK) return PORT_IO_ERROR;
    ops.raiseDtrRts(record.handle);
    return PORT_OK;
}

int Write(PortRecord& record, const PortWriteArgs* args) {
    if (args == nullptr || args->length < 0) return PORT_BAD_REQUEST;
    if (args->length > PORT_TX_BYTES) return PORT_TOO_LONG;
    if (args->length > 0) std::memcpy(record.transmitBuffer, args->data, static_cast<size_t>(args->length));
    record.transmitLength = args->length;
    // A record with no device never reaches the device layer: handle 0 is "none",
    // not a descriptor to write to.
    if (record.handle == 0) return PORT_IO_ERROR;
    return OpsOf(record).write(record.handle, record.transmitBuffer, args->length);
}

int ReadByte(PortRecord& record, const PortReadArgs* args) {
    if (args == nullptr || args->byte == nullptr) return PORT_BAD_REQUEST;
    unsigned char byte = 0;
    if (record.handle != 0 && OpsOf(record).readByte(record.handle, &byte) == 1) {
        if (record.receiveCount < PORT_RX_BYTES) {
            if (record.dataBits == 7) byte &= 0x7F;
            record.receiveRing[record.receiveHead] = byte;
            record.receiveHead = (record.receiveHead + 1) % PORT_RX_BYTES;
            ++record.receiveCount;
        }
    }
    if (record.receiveCount == 0) return PORT_NO_DATA;
    *args->byte = record.receiveRing[record.receiveTail];
    record.receiveTail = (record.receiveTail + 1) % PORT_RX_BYTES;
    --record.receiveCount;
    return PORT_OK;
}

int SetRts(PortRecord& record, const PortRtsArgs* args) {
    if (args == nullptr) return PORT_BAD_REQUEST;
    if (record.handle != 0) OpsOf(record).setRts(record.handle, args->code == 1 ? 0 : 1);
    return PORT_OK;
}

}  // namespace

int PortLastOpenError() { return lastOpenError; }

int PortSetDeviceName(int k, const char* name) {
    if (k < 1 || k > PORT_COUNT) return -1;
    char* slot = deviceNames[k - 1];
    if (name == nullptr || name[0] == '\0') {
        slot[0] = '\0';
        return 0;
    }
    size_t n = std::strlen(name);
    if (n >= PORT_NAME_BYTES) return -1;
    std::memcpy(slot, name, n + 1);
    return 0;
}

const char* PortDeviceName(int k) {
    if (k < 1 || k > PORT_COUNT || deviceNames[k - 1][0] == '\0') return nullptr;
    return deviceNames[k - 1];
}

int PortDeviceLost(int portId) {
    PortRecord* record = RecordFor(portId);
    if (record == nullptr || record->handle == 0) return 0;
    return OpsOf(*record).lost(record->handle);
}

int PortNetworkName(int k, char* out, int size) {
    const char* name = PortDeviceName(k);
    char mapped[PORT_NAME_BYTES];
    if (name == nullptr) {
        if (PlatformMappedName(k, mapped, sizeof mapped) != 0) return 0;
        name = mapped;
    }
    NetAddress address;
    if (NetParseUrl(name, &address) == NET_URL_NOT_URL) return 0;
    size_t n = std::strlen(name);
    if (size <= 0 || n >= static_cast<size_t>(size)) return 0;
    std::memcpy(out, name, n + 1);
    return 1;
}

int PortOpenBeside(int portId, const PortParams* params) {
    PortRecord* record = RecordFor(portId);
    if (record == nullptr) return PORT_BAD_ID;
    return Open(portId, *record, params, true);
}

void PortClose(int portId) {
    PortRecord* record = RecordFor(portId);
    if (record == nullptr) return;
    if (record->handle != 0) {
        const DeviceOps& ops = OpsOf(*record);
        if (record->handle == rememberedHandle && &ops == (rememberedOps != nullptr ? rememberedOps : device)) {
            rememberedHandle = 0;
            rememberedOps = nullptr;
        }
        ops.close(record->handle);
    }
    EmptyRecord(*record);
}

int PortWaitReadable(const int* portIds, int count, int timeoutMs, int* ready) {
    // The open ports, grouped by backend: each backend waits on its own handles.
    struct Group {
        const DeviceOps* ops;
        int size;
        DeviceHandle handles[PORT_COUNT];
        int port[PORT_COUNT];  // which of the `count` ports each handle is
    };
    Group groups[PORT_COUNT];
    int groupCount = 0;
    int already = 0;
    for (int i = 0; i < count; ++i) {
        ready[i] = 0;
        PortRecord* record = RecordFor(portIds[i]);
        if (record == nullptr || record->handle == 0) continue;
        if (record->receiveCount > 0) {
            ready[i] = 1;  // bytes kept from an earlier read
            ++already;
        }
        const DeviceOps* ops = &OpsOf(*record);
        int g = 0;
        while (g < groupCount && groups[g].ops != ops) ++g;
        if (g == groupCount) {
            groups[groupCount].ops = ops;
            groups[groupCount++].size = 0;
        }
        if (groups[g].size < PORT_COUNT) {
            groups[g].handles[groups[g].size] = record->handle;
            groups[g].port[groups[g].size++] = i;
        }
    }
    if (groupCount == 0) {
        // Nothing open: the platform device sleeps the time out.
        if (already == 0 && device->waitReadable != nullptr) (void)device->waitReadable(nullptr, 0, timeoutMs, nullptr);
        return already;
    }
    // One backend waits the whole time in one call; several take turns, the first
    // resting up to 1 ms a round, until one has something or the time is up.
    bool single = groupCount == 1;
    int rounds = single || timeoutMs <= 0 ? 1 : timeoutMs;
    for (int round = 0; round < rounds; ++round) {
        int total = already;
        for (int g = 0; g < groupCount; ++g) {
            Group& group = groups[g];
            int answers[PORT_COUNT] = {};
            if (group.ops->waitReadable == nullptr) {
                // A backend that cannot wait: each of its ports may have something.
                for (int j = 0; j < group.size; ++j) answers[j] = 1;
            } else {
                int wait = already > 0 ? 0 : single ? timeoutMs : (g == 0 && total == 0 ? 1 : 0);
                (void)group.ops->waitReadable(group.handles, group.size, wait, answers);
            }
            for (int j = 0; j < group.size; ++j) {
                if (answers[j] != 0 && ready[group.port[j]] == 0) {
                    ready[group.port[j]] = 1;
                    ++total;
                }
            }
        }
        if (total > 0) return total;
    }
    return 0;
}

void PortUseDevice(const DeviceOps* ops) { device = ops != nullptr ? ops : &PlatformDevice; }

int PortRequest(int portId, int operation, void* args) {
    if (operation == PORT_INIT) {
        for (PortRecord& record : PortTable) EmptyRecord(record);
        return PORT_OK;
    }
    if (operation == PORT_RESOLVE) return Resolve(static_cast<PortResolveArgs*>(args));
    if (operation < 0 || operation > PORT_FORGET) return PORT_BAD_REQUEST;
    PortRecord* record = RecordFor(portId);
    if (record == nullptr) return PORT_BAD_ID;
    switch (operation) {
        case PORT_OPEN: return Open(portId, *record, static_cast<const PortParams*>(args), false);
        case PORT_WRITE: return Write(*record, static_cast<const PortWriteArgs*>(args));
        case PORT_READ_BYTE: return ReadByte(*record, static_cast<const PortReadArgs*>(args));
        case PORT_SET_RTS: return SetRts(*record, static_cast<const PortRtsArgs*>(args));
        default: EmptyRecord(*record); return PORT_OK;  // PORT_FORGET
    }
}
