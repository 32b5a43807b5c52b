// SerialPort on real pseudo-terminals: the bytes on the line, the failure texts, the waits, and
// that failed opens leave nothing behind.
#include "transport/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <string>
#include <thread>

#include "base/failure_message.h"
#include "platform/serial_device.h"
#include "support/pty.h"
#include "support/descriptors.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr const char *kWaitTimeout = "SerialPort::WaitInputQueue: timeout waiting for response";

// The text raised by `action`, or "(nothing raised)".
std::string FailureOf(const std::function<void()> &action) {
    try {
        action();
    } catch (const FailureMessage &failure) {
        return failure.text;
    }
    return "(nothing raised)";
}

// Milliseconds that `action` took.
int64_t TimeOf(const std::function<void()> &action) {
    const Clock::time_point start = Clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes EveryByteValue() {
    Bytes bytes(256);
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});
    return bytes;
}

class SerialPortTest : public testing::Test {
protected:
    void SetUp() override {
        port = SerialPort::Open(pty.SlavePath().c_str(), 9600);
        ASSERT_NE(port.handle, SerialPort::kInvalidHandle);
    }
    void TearDown() override { EXPECT_TRUE(SerialPort::Close(port)); }

    // Sends from the device and waits until the port can see it all.
    void DeviceSends(const Bytes &bytes) {
        pty.Send(bytes);
        ASSERT_TRUE(pty.AwaitPortInput(bytes.size(), 5s));
    }

    PseudoTerminal pty;
    SerialPort::Line port;
};

TEST_F(SerialPortTest, EveryByteValueCrossesUnchangedBothWays) {
    const Bytes all = EveryByteValue();
    SerialPort::WriteBytes(port, all.data(), static_cast<uint32_t>(all.size()));
    EXPECT_EQ(pty.Receive(all.size(), 5s), all);
    EXPECT_TRUE(pty.Receive(1, 50ms).empty()) << "nothing beyond the bytes given";

    DeviceSends(all);
    EXPECT_EQ(SerialPort::ReadBytes(port, 256), all);
}

TEST_F(SerialPortTest, ReadTakesWhatIsAskedAndTheNextWriteDiscardsTheRest) {
    EXPECT_TRUE(SerialPort::ReadBytes(port, 0).empty());

    DeviceSends({1, 2, 3, 4, 5});
    EXPECT_EQ(SerialPort::ReadBytes(port, 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(pty.PortInputWaiting(), 2u);

    const Bytes request{0x52, 0x00};
    SerialPort::WriteBytes(port, request.data(), 2);
    EXPECT_EQ(pty.PortInputWaiting(), 0u);
    EXPECT_EQ(pty.Receive(2, 5s), request);
    DeviceSends({0xF0});
    EXPECT_EQ(SerialPort::ReadBytes(port, 1), Bytes{0xF0});
}

TEST_F(SerialPortTest, FlushTakesOnlyWhatIsWaiting) {
    SerialPort::FlushInputQueue(port);
    DeviceSends({7, 8, 9});
    SerialPort::FlushInputQueue(port);
    EXPECT_EQ(pty.PortInputWaiting(), 0u);
}

TEST_F(SerialPortTest, WaitOnASilentLineGivesUpAfterAboutATenthOfASecond) {
    const auto waited = TimeOf([&] {
        EXPECT_EQ(FailureOf([&] { SerialPort::WaitInputQueue(port, 1); }), kWaitTimeout);
    });
    EXPECT_GE(waited, 100);
    EXPECT_LT(waited, 5000);

    // Two bytes of three: the read waits in vain and leaves them where they are.
    DeviceSends({1, 2});
    EXPECT_EQ(FailureOf([&] { SerialPort::ReadBytes(port, 3); }), kWaitTimeout);
    EXPECT_EQ(pty.PortInputWaiting(), 2u);
}

TEST_F(SerialPortTest, ReadAvailableTakesWhatCameUpToItsCapacity) {
    DeviceSends({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    uint8_t buffer[100] = {};
    EXPECT_EQ(SerialPort::ReadAvailable(port, buffer, 0), 0u);
    ASSERT_EQ(SerialPort::ReadAvailable(port, buffer, 4), 4u);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 4}));
    ASSERT_EQ(SerialPort::ReadAvailable(port, buffer, 100), 6u);
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{5, 6, 7, 8, 9, 10}));
}

TEST_F(SerialPortTest, ReadAvailableEndsAfterAQuietGap) {
    // Capacity enough for a total time-out of many minutes: only the gap after the last byte can
    // end this read in time.
    Bytes buffer(100000);
    DeviceSends({1, 2, 3});
    uint32_t got = 0;
    const auto took = TimeOf(
        [&] { got = SerialPort::ReadAvailable(port, buffer.data(), uint32_t(buffer.size())); });
    EXPECT_EQ(got, 3u);
    EXPECT_LT(took, 5000);
}

// Interrupts the test every millisecond while it lives; the handler does nothing.
class SignalStorm {
public:
    SignalStorm() {
        struct sigaction interrupt {};
        interrupt.sa_handler = [](int) {};
        sigaction(SIGALRM, &interrupt, &saved_);  // no SA_RESTART: calls return EINTR
        const itimerval every{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~SignalStorm() {
        const itimerval stop{};
        setitimer(ITIMER_REAL, &stop, nullptr);
        sigaction(SIGALRM, &saved_, nullptr);
    }

private:
    struct sigaction saved_ {};
};

TEST_F(SerialPortTest, ReadOnASilentLineWaitsItsWholeTimeDespiteSignals) {
    uint8_t buffer[5];
    uint32_t got = 1;
    int64_t took = 0;
    {
        SignalStorm storm;
        took = TimeOf([&] { got = SerialPort::ReadAvailable(port, buffer, 5); });
    }
    EXPECT_EQ(got, 0u);
    EXPECT_GE(took, 100) << "10 ms a byte and 50 ms more";
    EXPECT_LT(took, 5000);
}

TEST_F(SerialPortTest, WaitOnASilentLineKeepsItsBoundDespiteSignals) {
    int64_t took = 0;
    {
        SignalStorm storm;
        took = TimeOf([&] {
            EXPECT_EQ(FailureOf([&] { SerialPort::WaitInputQueue(port, 1); }), kWaitTimeout);
        });
    }
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 5000);
}

TEST_F(SerialPortTest, InputArrivingDuringTheWaitEndsItAndIsLeftWaiting) {
    // Nothing yet, or the first byte of two already here: the rest comes while the port waits.
    // The wait is given far more time than it needs, so only a wake-up that was missed can make
    // it run out.
    for (const size_t before : {0u, 1u}) {
        const Bytes reply{0x0A, 0xBC};
        if (before > 0) {
            DeviceSends(Bytes(reply.begin(), reply.begin() + before));
        }
        std::jthread device([&] {
            std::this_thread::sleep_for(20ms);
            pty.Send(std::span(reply).subspan(before));
        });
        bool arrived = false;
        const auto took =
            TimeOf([&] { arrived = SerialDevice::AwaitBytesWaiting(port.handle, 2, 20000); });
        EXPECT_TRUE(arrived) << before;
        EXPECT_LT(took, 10000) << before;
        EXPECT_EQ(pty.PortInputWaiting(), 2u) << "the wait takes nothing";
        EXPECT_EQ(SerialPort::ReadBytes(port, 2), reply);
    }
}

// CPU time the calling thread has used, in milliseconds.
int64_t ThreadCpuMilliseconds() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return int64_t{used.tv_sec} * 1000 + used.tv_nsec / 1000000;
}

TEST_F(SerialPortTest, WaitOnAPartReplyOrAHungUpLineSleepsRatherThanSpins) {
    // Input that is waiting, or a hang-up, keeps a line readable; the wait must still sleep until
    // something new happens. A spinning wait would use about as much CPU time as it waits.
    const auto waitInVain = [&](const char *line) {
        const int64_t cpuBefore = ThreadCpuMilliseconds();
        const auto took = TimeOf([&] {
            EXPECT_EQ(FailureOf([&] { SerialPort::WaitInputQueue(port, 3); }), kWaitTimeout)
                << line;
        });
        EXPECT_GE(took, 100) << line;
        EXPECT_LT(ThreadCpuMilliseconds() - cpuBefore, 30) << line;
    };
    DeviceSends({1, 2});
    waitInVain("two bytes of three");
    pty.HangUp();
    waitInVain("hung up");
}

TEST_F(SerialPortTest, WriteToAStalledLineComesUpShortAtItsDeadline) {
    // Nobody reads the device's end; a megabyte cannot fit in the line's queues.
    port.timeouts = {50, 10, 50, 0, 200};
    const Bytes large(1 << 20, 0x55);
    const auto took = TimeOf([&] {
        EXPECT_EQ(FailureOf([&] { SerialPort::WriteBytes(port, large.data(), 1 << 20); }),
                  "SerialPort::WriteBytes: nBytesWritten != nBytesToWrite");
    });
    EXPECT_LT(took, 5000);
}

TEST_F(SerialPortTest, HungUpLine) {
    pty.HangUp();
    const uint8_t byte = 0;
    EXPECT_EQ(FailureOf([&] { SerialPort::WriteBytes(port, &byte, 1); }),
              "SerialPort::WriteBytes: WriteFile() failed.");
    uint8_t buffer[100000];
    EXPECT_EQ(SerialPort::ReadAvailable(port, buffer, sizeof buffer), 0u);
    EXPECT_EQ(FailureOf([&] { SerialPort::WaitInputQueue(port, 1); }), kWaitTimeout);
}

TEST_F(SerialPortTest, LineIsRaw8N1WithoutFlowControlAtTheGivenRate) {
    // What a previous user left on the line is undone by the next open.
    termios left{};
    ASSERT_EQ(tcgetattr(static_cast<int>(port.handle), &left), 0);
    left.c_iflag |= IXON | IXOFF | IXANY | INPCK | ICRNL;
    left.c_cflag |= PARENB | CSTOPB | CRTSCTS;
    left.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(static_cast<int>(port.handle), TCSANOW, &left), 0);

    for (const auto &[rate, speed] : {std::pair{9600u, B9600}, std::pair{115200u, B115200}}) {
        ASSERT_TRUE(SerialPort::Close(port));
        port = SerialPort::Open(pty.SlavePath().c_str(), rate);
        termios line{};
        ASSERT_EQ(tcgetattr(static_cast<int>(port.handle), &line), 0);
        EXPECT_EQ(cfgetispeed(&line), speed);
        EXPECT_EQ(cfgetospeed(&line), speed);
        EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                  tcflag_t(CS8 | CREAD | CLOCAL));
        EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | INPCK | ISTRIP | ICRNL | INLCR | IGNCR),
                  0u);
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(line.c_oflag & OPOST, 0u);
    }
}

TEST_F(SerialPortTest, PortIsExclusiveUntilClosed) {
    EXPECT_EQ(SerialPort::Open(pty.SlavePath().c_str(), 9600).handle, SerialPort::kInvalidHandle);
    ASSERT_TRUE(SerialPort::Close(port));
    EXPECT_FALSE(SerialPort::Close(port));
    port = SerialPort::Open(pty.SlavePath().c_str(), 115200);
    EXPECT_NE(port.handle, SerialPort::kInvalidHandle);
}

TEST(SerialPortOpen, RefusedOpensRaiseTheStepAndLeakNoDescriptor) {
    PseudoTerminal pty;
    const SerialPort::Line held = SerialPort::Open(pty.SlavePath().c_str(), 9600);
    ASSERT_NE(held.handle, SerialPort::kInvalidHandle);
    PseudoTerminal spare;
    char file[] = "/tmp/serial_port_test_XXXXXX";
    const int fileFd = mkstemp(file);
    ASSERT_GE(fileFd, 0);
    const std::string tooLong(PATH_MAX, 'x');

    const size_t before = OpenDescriptors();
    for (int i = 0; i < 100; ++i) {
        for (const char *refused : {"/dev/no-such-serial-device", "COM3", tooLong.c_str(),
                                    pty.SlavePath().c_str()}) {
            EXPECT_EQ(SerialPort::Open(refused, 9600).handle, SerialPort::kInvalidHandle);
        }
        EXPECT_EQ(FailureOf([&] { SerialPort::Open(file, 9600); }),
                  "SerialPort::Open: GetCommState() failed.");
        EXPECT_EQ(FailureOf([&] { SerialPort::Open(spare.SlavePath().c_str(), 12345); }),
                  "SerialPort::Open: SetCommState() failed.");
    }
    EXPECT_EQ(OpenDescriptors(), before);

    EXPECT_TRUE(SerialPort::Close(held));
    close(fileFd);
    unlink(file);
}

TEST(SerialPortOpen, NeverLandsOnAStandardStream) {
    // The standard input is set aside (or held by /dev/null where there is none) while the pair
    // is made, then closed: 0 is the lowest free descriptor when the port opens.
    const int savedInput = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (savedInput < 0) {
        ASSERT_EQ(open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
    }
    PseudoTerminal pty;
    close(STDIN_FILENO);
    const SerialPort::Line port = SerialPort::Open(pty.SlavePath().c_str(), 9600);
    const bool inputStillFree = fcntl(STDIN_FILENO, F_GETFD) == -1;
    if (savedInput >= 0) {
        dup2(savedInput, STDIN_FILENO);
        close(savedInput);
    }
    EXPECT_GT(port.handle, STDERR_FILENO);
    EXPECT_TRUE(inputStillFree);
    EXPECT_TRUE(SerialPort::Close(port));
}

TEST(SerialPortPath, ComNamesGoToTheDeviceNamespaceWithinEighteenCharacters) {
    const std::string_view windows = "\\\\.\\";
    const struct {
        const char *name;
        std::optional<std::string> path;
    } cases[] = {
        {"COM3", "\\\\.\\COM3"},
        {"COM12", "\\\\.\\COM12"},
        {"com3", "com3"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"COM45678901234", "\\\\.\\COM45678901234"},  // 18 characters
        {"COM456789012345", std::nullopt},
        {"ABCDEFGHIJKLMNOPQR", "ABCDEFGHIJKLMNOPQR"},
        {"ABCDEFGHIJKLMNOPQRS", std::nullopt},
    };
    for (const auto &[name, path] : cases) {
        EXPECT_EQ(SerialPort::FormatDevicePath(name, windows, 18), path) << name;
    }
    EXPECT_EQ(SerialPort::FormatDevicePath("COM3", SerialDevice::kComPrefix,
                                           SerialDevice::kMaxPathLength),
              "COM3")
        << "here a name is the path as given";
}

}  // namespace
