#include "transport/nxp_bridge.h"

#include <algorithm>
#include <initializer_list>
#include <new>
#include <vector>

#include "base/failure_message.h"

namespace NXP {

namespace {

constexpr uint8_t kDataLine = 0x10;
constexpr uint8_t kClockLine = 0x20;
constexpr uint8_t kReadBit = 0x01;
// Internal register 3 sets up the GPIO pins that carry the two lines.
constexpr uint8_t kPortConfigurationRegister = 0x03;
constexpr uint8_t kLineConfigurationBits = 0x0F;

constexpr uint8_t kStart = 'S';
constexpr uint8_t kStop = 'P';
constexpr uint8_t kGpioWrite = 'O';
constexpr uint8_t kGpioRead = 'I';
constexpr uint8_t kRegisterWrite = 'W';
constexpr uint8_t kRegisterRead = 'R';

// A register write frame holds 4 bytes beside its command and data, a register read 7 beside its
// command.
constexpr size_t kWriteFrameOverhead = 4;
constexpr size_t kReadFrameOverhead = 7;

constexpr size_t kTranscriptBound = 255;
// Enough clock pulses to walk a stuck device through the rest of any byte and its acknowledge.
constexpr unsigned kClearBusPulses = 17;

// The probe reads register 0 with no stop after it; a bridge answers with the register's reset
// value.
constexpr uint8_t kProbe[] = {kRegisterRead, 0x00};
constexpr uint8_t kProbeAnswer = 0xF0;

using Frame = std::vector<uint8_t>;

Frame NewFrame(size_t capacity, const char *allocationFailure) {
    try {
        Frame frame;
        frame.reserve(capacity);
        return frame;
    } catch (const std::bad_alloc &) {
        RaiseFailure(allocationFailure);
    }
}

void Send(const Bridge &bridge, const Frame &frame) {
    SerialPort::WriteBytes(*bridge.line, frame.data(), static_cast<uint32_t>(frame.size()));
}

void SendFrame(const Bridge &bridge, std::initializer_list<uint8_t> bytes,
               const char *allocationFailure) {
    Frame frame = NewFrame(bytes.size(), allocationFailure);
    frame.insert(frame.end(), bytes);
    Send(bridge, frame);
}

uint8_t AskByte(const Bridge &bridge, std::initializer_list<uint8_t> bytes,
                const char *allocationFailure) {
    SendFrame(bridge, bytes, allocationFailure);
    return SerialPort::ReadBytes(*bridge.line, 1).front();
}

// The low `count` bytes of `value`, most significant first.
void AppendMostSignificantFirst(Frame &frame, uint32_t value, uint8_t count) {
    for (int shift = 8 * (count - 1); shift >= 0; shift -= 8) {
        frame.push_back(static_cast<uint8_t>(value >> shift));
    }
}

bool ValidCommandCount(uint8_t count) { return count == 1 || count == 2; }
bool ValidDataCount(uint8_t count) { return count == 1 || count == 2 || count == 4; }

void SetLine(const Bridge &bridge, uint8_t line, bool high) {
    *bridge.gpioShadow =
        static_cast<uint8_t>(high ? *bridge.gpioShadow | line : *bridge.gpioShadow & ~line);
    WriteGPIO(bridge);
}

void Data(const Bridge &bridge, bool high) { SetLine(bridge, kDataLine, high); }
void Clock(const Bridge &bridge, bool high) { SetLine(bridge, kClockLine, high); }

// Looks at the data line without taking the port state into the shadow.
bool SenseData(const Bridge &bridge) { return (ReadGPIO(bridge) & kDataLine) != 0; }

char BitLetter(bool one) { return one ? '1' : '0'; }

}  // namespace

bool AnswersProbe(SerialPort::Line &line) {
    SerialPort::WriteBytes(line, kProbe, sizeof kProbe);
    return SerialPort::ReadBytes(line, 1)[0] == kProbeAnswer;
}

Bridge BridgeOn(SerialPort::Line &line) {
    // It belongs to no port: whichever bridge is driven next starts from the state the last one
    // left. Every call runs under the library's lock, so it needs none of its own.
    static uint8_t sharedGpioShadow = 0;
    return Bridge{&line, &sharedGpioShadow};
}

void Write(const Bridge &bridge, uint8_t address, uint16_t command, uint8_t commandNumberOfBytes,
           uint32_t data, uint8_t dataNumberOfBytes) {
    Frame frame = NewFrame(size_t{commandNumberOfBytes} + dataNumberOfBytes + kWriteFrameOverhead,
                           "NXP::Write: memory could not be allocated");
    if (!ValidCommandCount(commandNumberOfBytes)) {
        RaiseFailure("NXP::Write: invalid number of command bytes");
    }
    if (!ValidDataCount(dataNumberOfBytes)) {
        RaiseFailure("NXP.Write: invalid number of data bytes");
    }
    frame.push_back(kStart);
    frame.push_back(address & static_cast<uint8_t>(~kReadBit));
    frame.push_back(static_cast<uint8_t>(commandNumberOfBytes + dataNumberOfBytes));
    AppendMostSignificantFirst(frame, command, commandNumberOfBytes);
    AppendMostSignificantFirst(frame, data, dataNumberOfBytes);
    frame.push_back(kStop);
    Send(bridge, frame);
}

uint32_t Read(const Bridge &bridge, uint8_t address, uint16_t command,
              uint8_t commandNumberOfBytes, uint8_t dataNumberOfBytes, bool alternative) {
    if (alternative) {
        // Checked before the start goes out, so a refused read leaves no transfer open on the bus.
        if (!ValidCommandCount(commandNumberOfBytes)) {
            RaiseFailure("NXP::Read: invalid number of command bytes");
        }
        Frame commandBytes;
        AppendMostSignificantFirst(commandBytes, command, commandNumberOfBytes);
        // The address goes out once, in its reading form, and the command bytes follow it.
        std::string transcript = GpioStart(bridge);
        transcript += GpioWriteByte(bridge, address | kReadBit);
        transcript += GpioReadAck(bridge);
        for (const uint8_t byte : commandBytes) {
            transcript += GpioWriteByte(bridge, byte);
            transcript += GpioReadAck(bridge);
        }
        for (unsigned i = 1; i <= dataNumberOfBytes; ++i) {
            transcript += GpioReadByte(bridge);
            if (i < dataNumberOfBytes) transcript += GpioMasterAck(bridge);
        }
        transcript += GpioStop(bridge);
        return DecodeTranscript(transcript);
    }

    Frame frame = NewFrame(size_t{commandNumberOfBytes} + kReadFrameOverhead,
                           "NXP::Read: memory could not be allocated");
    if (!ValidCommandCount(commandNumberOfBytes)) {
        RaiseFailure("NXP::Read: invalid number of command bytes");
    }
    frame.push_back(kStart);
    frame.push_back(address & static_cast<uint8_t>(~kReadBit));
    frame.push_back(commandNumberOfBytes);
    AppendMostSignificantFirst(frame, command, commandNumberOfBytes);
    frame.push_back(kStart);
    frame.push_back(address | kReadBit);
    frame.push_back(dataNumberOfBytes);
    frame.push_back(kStop);
    Send(bridge, frame);

    uint32_t result = 0;
    for (const uint8_t byte : SerialPort::ReadBytes(*bridge.line, dataNumberOfBytes)) {
        result = (result << 8) | byte;
    }
    return result;
}

void WriteGPIO(const Bridge &bridge) {
    SendFrame(bridge, {kGpioWrite, *bridge.gpioShadow, kStop},
              "NXP::WriteGPIO: memory could not be allocated");
}

uint8_t ReadGPIO(const Bridge &bridge) {
    return AskByte(bridge, {kGpioRead, kStop}, "NXP::ReadGPIO: memory could not be allocated");
}

void WriteRegister(const Bridge &bridge, uint8_t value) {
    SendFrame(bridge, {kRegisterWrite, kPortConfigurationRegister, value, kStop},
              "NXP::WriteRegister: memory could not be allocated");
}

uint8_t ReadRegister(const Bridge &bridge) {
    return AskByte(bridge, {kRegisterRead, kPortConfigurationRegister, kStop},
                   "NXP::ReadRegister: memory could not be allocated");
}

std::string GpioStart(const Bridge &bridge) {
    WriteRegister(bridge, ReadRegister(bridge) & static_cast<uint8_t>(~kLineConfigurationBits));
    // The other pins keep the state the port reports.
    *bridge.gpioShadow = ReadGPIO(bridge) | kDataLine;
    WriteGPIO(bridge);
    Clock(bridge, true);
    Data(bridge, false);
    Clock(bridge, false);
    return "S";
}

std::string GpioStop(const Bridge &bridge) {
    Data(bridge, false);
    Clock(bridge, true);
    Data(bridge, true);
    return "P";
}

std::string GpioMasterAck(const Bridge &bridge) {
    Data(bridge, false);
    Clock(bridge, true);
    Clock(bridge, false);
    Data(bridge, true);
    return "M";
}

std::string GpioReadAck(const Bridge &bridge) {
    Data(bridge, true);
    Clock(bridge, true);
    const bool released = SenseData(bridge);
    Clock(bridge, false);
    return released ? "N" : "A";
}

std::string GpioWriteByte(const Bridge &bridge, uint8_t value) {
    std::string piece = ">";
    for (int bit = 7; bit >= 0; --bit) {
        const bool one = ((value >> bit) & 1) != 0;
        Data(bridge, one);
        Clock(bridge, true);
        Clock(bridge, false);
        piece += BitLetter(one);
    }
    Data(bridge, true);
    return piece;
}

std::string GpioReadByte(const Bridge &bridge) {
    std::string piece = "<";
    Data(bridge, true);
    for (int bit = 0; bit < 8; ++bit) {
        Clock(bridge, true);
        piece += BitLetter(SenseData(bridge));
        Clock(bridge, false);
    }
    return piece;
}

void ClearBus(const Bridge &bridge) {
    GpioStop(bridge);
    for (unsigned pulse = 0; pulse < kClearBusPulses && !SenseData(bridge); ++pulse) {
        Clock(bridge, false);
        Clock(bridge, true);
    }
    GpioStart(bridge);
    GpioStop(bridge);
}

uint32_t DecodeTranscript(const std::string &transcript) {
    uint32_t result = 0;
    bool reading = false;
    const size_t end = std::min(transcript.size(), kTranscriptBound);
    for (size_t i = 0; i < end && transcript[i] != 'P'; ++i) {
        const char letter = transcript[i];
        if (letter == '<') {
            reading = true;
        } else if (reading && (letter == '0' || letter == '1')) {
            result = (result << 1) | (letter == '1' ? 1u : 0u);
        }
    }
    return result;
}

}  // namespace NXP
