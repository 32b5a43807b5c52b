#include "api/serial_supplies.h"

#include "api/return_codes.h"
#include "base/failure_message.h"
#include "platform/api_lock.h"
#include "platform/sleep.h"
#include "transport/nxp_bridge.h"
#include "transport/serial_port.h"
#include "transport/text_supply.h"

namespace {

constexpr int kProbeAttempts = 3;
constexpr uint32_t kSettleMs = 10;

// Holds the library's lock for one step; `held` is false when the wait failed.
class StepLock {
public:
    StepLock() : held(ApiLockAcquire()) {}
    ~StepLock() {
        if (held) ApiLockRelease();
    }
    StepLock(const StepLock &) = delete;
    StepLock &operator=(const StepLock &) = delete;
    const bool held;
};

// An open port for the length of one probe.
class ProbePort {
public:
    ProbePort(const char *name, uint32_t baud) {
        try {
            port = SerialPort::Open(name, baud);
        } catch (...) {
            port = SerialPort::kInvalidHandle;
        }
    }
    ~ProbePort() {
        if (port != SerialPort::kInvalidHandle) SerialPort::Close(port);
    }
    ProbePort(const ProbePort &) = delete;
    ProbePort &operator=(const ProbePort &) = delete;
    SerialPort::Handle port;
};

// After a probe's answer: let the line settle and drop what follows it.
void Settle(SerialPort::Handle port) {
    SleepMilliseconds(kSettleMs);
    SerialPort::FlushInputQueue(port);
}

// A probe's question and the test of its answer, run on a port opened for it.
template <class Ask>
bool Probe(const char *portName, uint32_t baud, Ask ask) {
    StepLock lock;
    if (!lock.held) return false;
    ProbePort probe(portName, baud);
    if (probe.port == SerialPort::kInvalidHandle) return false;
    bool answer = false;
    try {
        answer = ask(probe.port);
        Settle(probe.port);
    } catch (...) {
        // A failure before the answer means no; after it the answer stands.
    }
    return answer;
}

// A supply's table and the transport its head reaches the bus through, if it has a head.
struct SerialKind {
    uint32_t baud;
    DeviceTable &(*table)();
    Transport (*transportOn)(SerialPort::Handle port);
};

Transport BridgeTransportOn(SerialPort::Handle port) { return NXP::BridgeOn(port); }
Transport NoTransport(SerialPort::Handle) { return NullTransport{}; }

constexpr SerialKind kBridgeKind{
    .baud = NXP::kBaud, .table = BridgeTable, .transportOn = BridgeTransportOn};
constexpr SerialKind kTextKind{
    .baud = TextSupply::kBaud, .table = TextTable, .transportOn = NoTransport};

int32_t OpenDevice(const char *portName, MavoZARP_Handle *openedDevice, const SerialKind &kind) {
    StepLock lock;
    if (!lock.held) return MAVOZARP_STATUS_LOCK_FAILED;
    SerialPort::Handle port;
    try {
        port = SerialPort::Open(portName, kind.baud);
    } catch (const FailureMessage &failure) {
        return MapFailureMessage(failure.text);
    } catch (...) {
        return MAVOZARP_STATUS_SERIAL_ERROR;
    }
    *openedDevice = port;
    if (port == SerialPort::kInvalidHandle) return MAVOZARP_STATUS_SERIAL_ERROR;
    // A full table refuses the port rather than lose track of it. The number of the port just
    // closed must not reach the host: the system may give it to another file later.
    if (!kind.table().Append(port, kind.transportOn(port))) {
        SerialPort::Close(port);
        *openedDevice = SerialPort::kInvalidHandle;
        return MAVOZARP_STATUS_SERIAL_ERROR;
    }
    try {
        Settle(port);
    } catch (...) {
        // The port is filed; stale input is dropped again before every later write.
    }
    return MAVOZARP_STATUS_SUCCESS;
}

}  // namespace

bool ProbeBridge(const char *portName) { return Probe(portName, NXP::kBaud, NXP::AnswersProbe); }

bool ProbeTextSupply(const char *portName) {
    return Probe(portName, TextSupply::kBaud, TextSupply::Identifies);
}

int32_t OpenBridgeDevice(const char *portName, MavoZARP_Handle *openedDevice) {
    return OpenDevice(portName, openedDevice, kBridgeKind);
}

int32_t OpenTextDevice(const char *portName, MavoZARP_Handle *openedDevice) {
    return OpenDevice(portName, openedDevice, kTextKind);
}

int32_t OpenSerialPort(const char *portName, MavoZARP_Handle *openedDevice) {
    for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
        if (ProbeBridge(portName)) return OpenBridgeDevice(portName, openedDevice);
    }
    for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
        if (ProbeTextSupply(portName)) return OpenTextDevice(portName, openedDevice);
    }
    return MAVOZARP_STATUS_SERIAL_ERROR;
}

int32_t QueryTextHeadType(DeviceHandle port, char *headType) {
    try {
        TextSupply::QueryHeadType(port, headType, MAVOZARP_BUFFER_SIZE);
        return MAVOZARP_STATUS_SUCCESS;
    } catch (...) {
        return MAVOZARP_STATUS_OTHER_ERROR;
    }
}
