#include "transport/nxp_bridge.h"

#include <algorithm>
#include <initializer_list>
#include <new>
#include <vector>

#include "base/failure_message.h"

namespace NXP {

namespace {

// The last state written to the GPIO port. It belongs to no port: whichever bridge is driven next
// starts from it. Every call runs under the library's lock, so it needs none of its own.
uint8_t gpioShadow = 0;

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

void Send(SerialPort::Handle port, const Frame &frame) {
    SerialPort::WriteBytes(port, frame.data(), static_cast<uint32_t>(frame.size()));
}

void SendFrame(SerialPort::Handle port, std::initializer_list<uint8_t> bytes,
               const char *allocationFailure) {
    Frame frame = NewFrame(bytes.size(), allocationFailure);
    frame.insert(frame.end(), bytes);
    Send(port, frame);
}

uint8_t AskByte(SerialPort::Handle port, std::initializer_list<uint8_t> bytes,
                const char *allocationFailure) {
    SendFrame(port, bytes, allocationFailure);
    return SerialPort::ReadBytes(port, 1).front();
}

// The low `count` bytes of `value`, most significant first.
void AppendMostSignificantFirst(Frame &frame, uint32_t value, uint8_t count) {
    for (int shift = 8 * (count - 1); shift >= 0; shift -= 8) {
        frame.push_back(static_cast<uint8_t>(value >> shift));
    }
}

bool ValidCommandCount(uint8_t count) { return count == 1 || count == 2; }
bool ValidDataCount(uint8_t count) { return count == 1 || count == 2 || count == 4; }

void SetLine(SerialPort::Handle port, uint8_t line, bool high) {
    gpioShadow = static_cast<uint8_t>(high ? gpioShadow | line : gpioShadow & ~line);
    WriteGPIO(port);
}

void Data(SerialPort::Handle port, bool high) { SetLine(port, kDataLine, high); }
void Clock(SerialPort::Handle port, bool high) { SetLine(port, kClockLine, high); }

// Looks at the data line without taking the port state into the shadow.
bool SenseData(SerialPort::Handle port) { return (ReadGPIO(port) & kDataLine) != 0; }

char BitLetter(bool one) { return one ? '1' : '0'; }

}  // namespace

void Write(SerialPort::Handle port, uint8_t address, uint16_t command, uint8_t commandNumberOfBytes,
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
    Send(port, frame);
}

uint32_t Read(SerialPort::Handle port, uint8_t address, uint16_t command,
              uint8_t commandNumberOfBytes, uint8_t dataNumberOfBytes, bool alternative) {
    if (alternative) {
        // Checked before the start goes out, so a refused read leaves no transfer open on the bus.
        if (!ValidCommandCount(commandNumberOfBytes)) {
            RaiseFailure("NXP::Read: invalid number of command bytes");
        }
        Frame commandBytes;
        AppendMostSignificantFirst(commandBytes, command, commandNumberOfBytes);
        // The address goes out once, in its reading form, and the command bytes follow it.
        std::string transcript = GpioStart(port);
        transcript += GpioWriteByte(port, address | kReadBit);
        transcript += GpioReadAck(port);
        for (const uint8_t byte : commandBytes) {
            transcript += GpioWriteByte(port, byte);
            transcript += GpioReadAck(port);
        }
        for (unsigned i = 1; i <= dataNumberOfBytes; ++i) {
            transcript += GpioReadByte(port);
            if (i < dataNumberOfBytes) transcript += GpioMasterAck(port);
        }
        transcript += GpioStop(port);
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
    Send(port, frame);

    uint32_t result = 0;
    for (const uint8_t byte : SerialPort::ReadBytes(port, dataNumberOfBytes)) {
        result = (result << 8) | byte;
    }
    return result;
}

void WriteGPIO(SerialPort::Handle port) {
    SendFrame(port, {kGpioWrite, gpioShadow, kStop},
              "NXP::WriteGPIO: memory could not be allocated");
}

uint8_t ReadGPIO(SerialPort::Handle port) {
    return AskByte(port, {kGpioRead, kStop}, "NXP::ReadGPIO: memory could not be allocated");
}

void WriteRegister(SerialPort::Handle port, uint8_t value) {
    SendFrame(port, {kRegisterWrite, kPortConfigurationRegister, value, kStop},
              "NXP::WriteRegister: memory could not be allocated");
}

uint8_t ReadRegister(SerialPort::Handle port) {
    return AskByte(port, {kRegisterRead, kPortConfigurationRegister, kStop},
                   "NXP::ReadRegister: memory could not be allocated");
}

std::string GpioStart(SerialPort::Handle port) {
    WriteRegister(port, ReadRegister(port) & static_cast<uint8_t>(~kLineConfigurationBits));
    // The other pins keep the state the port reports.
    gpioShadow = ReadGPIO(port) | kDataLine;
    WriteGPIO(port);
    Clock(port, true);
    Data(port, false);
    Clock(port, false);
    return "S";
}

std::string GpioStop(SerialPort::Handle port) {
    Data(port, false);
    Clock(port, true);
    Data(port, true);
    return "P";
}

std::string GpioMasterAck(SerialPort::Handle port) {
    Data(port, false);
    Clock(port, true);
    Clock(port, false);
    Data(port, true);
    return "M";
}

std::string GpioReadAck(SerialPort::Handle port) {
    Data(port, true);
    Clock(port, true);
    const bool released = SenseData(port);
    Clock(port, false);
    return released ? "N" : "A";
}

std::string GpioWriteByte(SerialPort::Handle port, uint8_t value) {
    std::string piece = ">";
    for (int bit = 7; bit >= 0; --bit) {
        const bool one = ((value >> bit) & 1) != 0;
        Data(port, one);
        Clock(port, true);
        Clock(port, false);
        piece += BitLetter(one);
    }
    Data(port, true);
    return piece;
}

std::string GpioReadByte(SerialPort::Handle port) {
    std::string piece = "<";
    Data(port, true);
    for (int bit = 0; bit < 8; ++bit) {
        Clock(port, true);
        piece += BitLetter(SenseData(port));
        Clock(port, false);
    }
    return piece;
}

void ClearBus(SerialPort::Handle port) {
    GpioStop(port);
    for (unsigned pulse = 0; pulse < kClearBusPulses && !SenseData(port); ++pulse) {
        Clock(port, false);
        Clock(port, true);
    }
    GpioStart(port);
    GpioStop(port);
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
