// The serial side through the exports, with the system's serial device replaced by an in-memory
// line whose far end is the bridge or text supply emulator. The input scripts the calls and what
// happens on the line: answers garbled, cut, flooded, delayed or never sent, a device that
// refuses a setting, vanishes or comes back. Time on the line is virtual, so a time-out costs
// nothing. Rules: replies and head types are terminated within their buffers, only documented
// codes come back, and no port is left open after a failed open or after Close.
#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "MavoZARP.h"
#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "fuzz_input.h"
#include "platform/serial_device.h"
#include "platform/sleep.h"
#include "serial/bridge_emulator.h"
#include "serial/text_supply_emulator.h"

namespace {

constexpr char kPortPath[] = "/dev/fuzz-line";
constexpr char kMissingPath[] = "/dev/fuzz-missing";

using Answers = std::vector<std::vector<uint8_t>>;

// What the line does to the answers, as the input sets it.
struct LineFaults {
    bool silent = false;
    uint8_t garbleMask = 0;  // XORed into one byte of every answer
    size_t garbleAt = 0;
    size_t cutBy = 0;        // bytes dropped from the end of every answer
    size_t floodBy = 0;      // bytes of noise after every answer
    uint32_t delayMs = 0;    // until an answer starts to arrive
    SerialDevice::Refusal refuseNextOpen = SerialDevice::Refusal::kNone;
};

struct Arrival {
    uint64_t at;
    uint8_t byte;
};

// The in-memory line. One device path; while it is open a second open fails, as on the system.
struct Line {
    uint64_t now = 0;  // milliseconds
    bool present = true;
    std::set<SerialDevice::Handle> open;
    std::set<SerialDevice::Handle> dead;  // open handles of a device that vanished
    std::deque<Arrival> input;
    LineFaults faults;
    SerialDevice::Timeouts timeouts{};
    std::function<Answers(std::span<const uint8_t>)> peer;

    bool Usable(SerialDevice::Handle handle) const {
        return present && open.count(handle) != 0 && dead.count(handle) == 0;
    }

    void Deliver(std::vector<uint8_t> answer) {
        if (faults.silent) return;
        if (!answer.empty() && faults.garbleMask != 0) {
            answer[faults.garbleAt % answer.size()] ^= faults.garbleMask;
        }
        answer.resize(answer.size() - std::min(faults.cutBy, answer.size()));
        for (size_t i = 0; i < faults.floodBy; ++i) answer.push_back(static_cast<uint8_t>(i * 37));
        uint64_t at = now + faults.delayMs;
        if (!input.empty()) at = std::max(at, input.back().at);
        for (const uint8_t byte : answer) input.push_back({at, byte});
    }

    size_t Waiting() const {
        return static_cast<size_t>(std::count_if(input.begin(), input.end(),
                                                 [&](const Arrival &a) { return a.at <= now; }));
    }
};

Line line;

}  // namespace

// The system's serial device, played by the in-memory line.
namespace SerialDevice {

const std::string_view kComPrefix;
const size_t kMaxPathLength = 4096;

Handle OpenExclusive(const char *path) {
    if (std::strcmp(path, kPortPath) != 0 || !line.present || !line.open.empty()) {
        return kInvalidHandle;
    }
    const Handle handle = 3;
    line.open.insert(handle);
    line.dead.erase(handle);
    line.input.clear();
    return handle;
}

Refusal SetQueueSizes(Handle, uint32_t, uint32_t) {
    return line.faults.refuseNextOpen == Refusal::kQueueSizes ? Refusal::kQueueSizes
                                                              : Refusal::kNone;
}

Refusal SetLineSettings(Handle, uint32_t) {
    const Refusal refusal = line.faults.refuseNextOpen;
    return refusal == Refusal::kReadLineSettings || refusal == Refusal::kWriteLineSettings
               ? refusal
               : Refusal::kNone;
}

Refusal SetTimeouts(Handle, const Timeouts &timeouts) {
    const Refusal refusal = std::exchange(line.faults.refuseNextOpen, Refusal::kNone);
    if (refusal == Refusal::kReadTimeouts || refusal == Refusal::kWriteTimeouts) return refusal;
    line.timeouts = timeouts;
    return Refusal::kNone;
}

// Like a system that keeps the time-outs, the line applies those SetTimeouts gave it.
uint32_t Read(Handle device, const Timeouts &, uint8_t *buffer, uint32_t count) {
    if (!line.Usable(device)) return 0;
    const uint64_t deadline =
        line.now + uint64_t{line.timeouts.readTotalMultiplier} * count + line.timeouts.readTotalConstant;
    uint32_t taken = 0;
    while (taken < count && !line.input.empty()) {
        const uint64_t at = std::max(line.input.front().at, line.now);
        if (at > deadline) break;
        if (taken > 0 && at > line.now + line.timeouts.readInterval) {
            line.now += line.timeouts.readInterval;
            return taken;
        }
        line.now = at;
        buffer[taken++] = line.input.front().byte;
        line.input.pop_front();
    }
    if (taken < count) line.now = std::max(line.now, deadline);
    return taken;
}

std::optional<uint32_t> Write(Handle device, const Timeouts &, const uint8_t *bytes,
                              uint32_t count) {
    if (!line.Usable(device)) return std::nullopt;
    for (std::vector<uint8_t> &answer : line.peer(std::span(bytes, count))) {
        line.Deliver(std::move(answer));
    }
    return count;
}

uint32_t BytesWaiting(Handle device) {
    return line.Usable(device) ? static_cast<uint32_t>(line.Waiting()) : 0;
}

bool AwaitBytesWaiting(Handle device, uint32_t count, uint32_t milliseconds) {
    if (count == 0) return true;
    if (line.Usable(device) && count <= line.input.size() &&
        line.input[count - 1].at <= line.now + milliseconds) {
        line.now = std::max(line.now, line.input[count - 1].at);
        return true;
    }
    line.now += milliseconds;
    return false;
}

bool Close(Handle device) { return line.open.erase(device) != 0; }

}  // namespace SerialDevice

void SleepMilliseconds(uint32_t milliseconds) { line.now += milliseconds; }

namespace {

constexpr int32_t kDocumented[] = {
    MAVOZARP_STATUS_SUCCESS,       MAVOZARP_STATUS_UNKNOWN_HANDLE, MAVOZARP_STATUS_INVALID_HEAD,
    MAVOZARP_STATUS_INVALID_COMMAND, MAVOZARP_STATUS_INVALID_DATA, MAVOZARP_STATUS_I2C_ERROR,
    MAVOZARP_STATUS_SERIAL_ERROR,  MAVOZARP_STATUS_OTHER_ERROR,
};

void CheckDocumented(int32_t status) { CheckStatusAmong(status, kDocumented); }

const char *const kHeadPresets[] = {"kora-band2", "picox-640", "vfk", "vfn", "pico00"};
const char *const kCommands[] = {"?HTYPE", "?P", "PCMD=1.5", "?TMAIN", "?FF", "?HID", "MATCH=1",
                                 "?PCMD", "?C", "CCMD=2", "SHCMD=1", "?TBRF"};

struct Session {
    std::vector<MavoZARP_Handle> devices;

    MavoZARP_Handle Pick(FuzzInput &input) const {
        if (devices.empty() || input.Byte() % 8 == 0) return static_cast<MavoZARP_Handle>(input.Byte());
        return devices[input.Byte() % devices.size()];
    }

    void Open(FuzzInput &input) {
        const char *path = input.Byte() % 8 == 0 ? kMissingPath : kPortPath;
        const size_t openBefore = line.open.size();
        MavoZARP_Handle device = 12345;
        const int32_t status = MavoZARP_OpenSerialPort(path, &device);
        FUZZ_CHECK(status == MAVOZARP_STATUS_SUCCESS || status == MAVOZARP_STATUS_SERIAL_ERROR);
        if (status != MAVOZARP_STATUS_SUCCESS) {
            FUZZ_CHECK(line.open.size() == openBefore);
            return;
        }
        FUZZ_CHECK(line.open.count(device) == 1);
        devices.push_back(device);
    }

    void Initialize(FuzzInput &input) {
        char headType[MAVOZARP_BUFFER_SIZE + kGuard];
        // A failure may leave the host's text as it was: an empty one.
        std::memset(headType, kSentinel, sizeof headType);
        headType[0] = '\0';
        CheckDocumented(MavoZARP_InitializeHandle(Pick(input), headType));
        CheckText(headType);
    }

    void Send(FuzzInput &input) {
        const std::string command = FuzzedCommand(input, kCommands);
        char reply[MAVOZARP_BUFFER_SIZE + kGuard];
        std::memset(reply, kSentinel, sizeof reply);
        CheckDocumented(MavoZARP_SendCommand(Pick(input), command.c_str(), reply));
        CheckText(reply);
    }

    void Close(FuzzInput &input) {
        const MavoZARP_Handle device = Pick(input);
        const int32_t status = MavoZARP_Close(device);
        CheckDocumented(status);
        if (std::erase(devices, device) != 0) FUZZ_CHECK(line.open.count(device) == 0);
    }

    // Every device closed again, and nothing left open on the line.
    void End() {
        for (const MavoZARP_Handle device : devices) MavoZARP_Close(device);
        FUZZ_CHECK(line.open.empty());
    }
};

void ChangeLine(FuzzInput &input) {
    LineFaults &faults = line.faults;
    switch (input.Byte() % 9) {
        case 0:
            faults.silent = !faults.silent;
            break;
        case 1:
            faults.garbleMask = input.Byte();
            faults.garbleAt = input.Byte();
            break;
        case 2:
            faults.cutBy = input.Byte() % 8;
            break;
        case 3:
            faults.floodBy = input.Byte() % 2 == 0 ? input.Byte() : 2048 + input.Byte() * 8;
            break;
        case 4:
            faults.delayMs = input.Byte() * 4;
            break;
        case 5:
            faults = LineFaults{};
            break;
        case 6:
            // The device vanishes: its open handles are dead for good, its input gone.
            line.present = false;
            line.dead = line.open;
            line.input.clear();
            break;
        case 7:
            line.present = true;
            break;
        default:
            faults.refuseNextOpen = static_cast<SerialDevice::Refusal>(1 + input.Byte() % 5);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The head factory's two diagnostic lines per identification are no use here.
    FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    line = Line{};
    // The far end: a bridge with a head behind it, or a text supply.
    std::unique_ptr<sim::BridgeEmulator> bridge;
    std::unique_ptr<sim::TextSupplyEmulator> text;
    const uint8_t peer = input.Byte();
    if (peer % 2 == 0) {
        bridge = std::make_unique<sim::BridgeEmulator>();
        const char *preset = kHeadPresets[(peer / 2) % std::size(kHeadPresets)];
        bridge->WithBus([&](sim::I2cBus &bus) {
            sim::VirtualSupply parts(bus);
            sim::FindHeadPreset(preset)->apply(parts);
        });
        line.peer = [&](std::span<const uint8_t> piece) { return bridge->Receive(piece); };
    } else {
        text = std::make_unique<sim::TextSupplyEmulator>();
        line.peer = [&](std::span<const uint8_t> piece) { return text->Receive(piece); };
    }
    Session session;
    while (!input.Empty()) {
        switch (input.Byte() % 6) {
            case 0:
                session.Open(input);
                break;
            case 1:
                session.Initialize(input);
                break;
            case 2:
            case 3:
                session.Send(input);
                break;
            case 4:
                session.Close(input);
                break;
            default:
                ChangeLine(input);
                break;
        }
    }
    session.End();
    return 0;
}
