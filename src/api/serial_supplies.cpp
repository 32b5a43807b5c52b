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

// An open port for the length of one probe, which owns its line meanwhile.
class ProbePort {
public:
    ProbePort(const char *name, uint32_t baud) {
        try {
            line = SerialPort::Open(name, baud);
        } catch (...) {
            line = SerialPort::Line{};
        }
    }
    ~ProbePort() {
        if (line.handle != SerialPort::kInvalidHandle) SerialPort::Close(line);
    }
    ProbePort(const ProbePort &) = delete;
    ProbePort &operator=(const ProbePort &) = delete;
    SerialPort::Line line;
};

// After a probe's answer: let the line settle and drop what follows it.
void Settle(const SerialPort::Line &line) {
    SleepMilliseconds(kSettleMs);
    SerialPort::FlushInputQueue(line);
}

// A probe's question and the test of its answer, run on a port opened for it.
template <class Ask>
bool Probe(const char *portName, uint32_t baud, Ask ask) {
    StepLock lock;
    if (!lock.held) return false;
    ProbePort probe(portName, baud);
    if (probe.line.handle == SerialPort::kInvalidHandle) return false;
    bool answer = false;
    try {
        answer = ask(probe.line);
        Settle(probe.line);
    } catch (...) {
        // A failure before the answer means no; after it the answer stands.
    }
    return answer;
}

// A supply's table and the transport its head reaches the bus through, if it has a head.
struct SerialKind {
    uint32_t baud;
    DeviceTable &(*table)();
    Transport (*transportOn)(SerialPort::Line &line);
};

Transport BridgeTransportOn(SerialPort::Line &line) { return NXP::BridgeOn(line); }
Transport NoTransport(SerialPort::Line &) { return NullTransport{}; }

constexpr SerialKind kBridgeKind{
    .baud = NXP::kBaud, .table = BridgeTable, .transportOn = BridgeTransportOn};
constexpr SerialKind kTextKind{
    .baud = TextSupply::kBaud, .table = TextTable, .transportOn = NoTransport};

int32_t OpenDevice(const char *portName, MavoZARP_Handle *openedDevice, const SerialKind &kind) {
    StepLock lock;
    if (!lock.held) return MAVOZARP_STATUS_LOCK_FAILED;
    SerialPort::Line line;
    try {
        line = SerialPort::Open(portName, kind.baud);
    } catch (const FailureMessage &failure) {
        return MapFailureMessage(failure.text);
    } catch (...) {
        return MAVOZARP_STATUS_SERIAL_ERROR;
    }
    *openedDevice = line.handle;
    if (line.handle == SerialPort::kInvalidHandle) return MAVOZARP_STATUS_SERIAL_ERROR;
    // A full table refuses the port rather than lose track of it. The number of the port just
    // closed must not reach the host: the system may give it to another file later.
    DeviceSlot *slot = kind.table().Append(line.handle);
    if (slot == nullptr) {
        SerialPort::Close(line);
        *openedDevice = SerialPort::kInvalidHandle;
        return MAVOZARP_STATUS_SERIAL_ERROR;
    }
    slot->serialLine = line;
    slot->transport = kind.transportOn(slot->serialLine);
    try {
        Settle(slot->serialLine);
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

int32_t QueryTextHeadType(SerialPort::Line &line, char *headType) {
    try {
        TextSupply::QueryHeadType(line, headType, MAVOZARP_BUFFER_SIZE);
        return MAVOZARP_STATUS_SUCCESS;
    } catch (...) {
        return MAVOZARP_STATUS_OTHER_ERROR;
    }
}
