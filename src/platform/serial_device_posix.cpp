#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/serial_device.h"
#include "platform/serial_input_looks.h"

namespace SerialDevice {

// A name is the device path as given.
const std::string_view kComPrefix;
const size_t kMaxPathLength = PATH_MAX - 1;

namespace {

using Clock = std::chrono::steady_clock;

int Descriptor(Handle device) { return static_cast<int>(device); }

// Far enough to mean never, near enough that the clock's arithmetic cannot overflow.
constexpr uint64_t kLongestWaitMilliseconds = uint64_t{1} << 40;

Clock::time_point After(uint64_t milliseconds) {
    const uint64_t bounded = std::min(milliseconds, kLongestWaitMilliseconds);
    return Clock::now() + std::chrono::milliseconds(bounded);
}

Clock::time_point DeadlineAfter(uint32_t multiplier, uint32_t count, uint32_t constant) {
    return After(uint64_t{multiplier} * count + constant);
}

// The time left until `until` as the time-out of a poll: whole milliseconds, rounded up.
int MillisecondsUntil(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Waits until the descriptor is ready for `events` or `until` passes; a signal resumes the wait
// with the time left. An error or hang-up counts as ready: the next read or write reports it.
bool AwaitReady(int fd, short events, Clock::time_point until) {
    for (;;) {
        if (Clock::now() >= until) {
            return false;
        }
        pollfd watched{fd, events, 0};
        const int ready = poll(&watched, 1, MillisecondsUntil(until));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

struct BaudRate {
    uint32_t rate;
    speed_t speed;
};

constexpr BaudRate kBaudRates[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

const BaudRate *FindBaudRate(uint32_t rate) {
    const auto found = std::find_if(std::begin(kBaudRates), std::end(kBaudRates),
                                    [rate](const BaudRate &entry) { return entry.rate == rate; });
    return found == std::end(kBaudRates) ? nullptr : found;
}

}  // namespace

Handle OpenExclusive(const char *path) {
    // Opened without waiting for carrier. The descriptor stays non-blocking: every read and write
    // waits in poll() with its own deadline, so a stalled line never holds a caller beyond it.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kInvalidHandle;
    }
    // A port must never become standard input, output or error of the process.
    if (fd <= STDERR_FILENO) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(fd);
        if (moved < 0) {
            return kInvalidHandle;
        }
        fd = moved;
    }
    // flock binds root too, so a second open of the same device is refused for every caller.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return kInvalidHandle;
    }
    return fd;
}

Refusal SetQueueSizes(Handle, uint32_t, uint32_t) {
    // The kernel sizes its own queues.
    return Refusal::kNone;
}

Refusal SetLineSettings(Handle device, uint32_t baudRate) {
    const int fd = Descriptor(device);
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return Refusal::kReadLineSettings;
    }
    const BaudRate *rate = FindBaudRate(baudRate);
    if (rate == nullptr) {
        return Refusal::kWriteLineSettings;
    }
    // Raw: every byte passes unchanged, 8 data bits, no parity; reads return what has come.
    cfmakeraw(&settings);
    settings.c_iflag &= ~(INPCK | IXOFF | IXANY);
    settings.c_cflag &= ~(CSTOPB | CRTSCTS);
    settings.c_cflag |= CREAD | CLOCAL;
    if (cfsetispeed(&settings, rate->speed) != 0 || cfsetospeed(&settings, rate->speed) != 0 ||
        tcsetattr(fd, TCSANOW, &settings) != 0) {
        return Refusal::kWriteLineSettings;
    }
    // A device without modem lines (a pseudo-terminal) has no DTR or RTS to raise.
    const int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
        return Refusal::kWriteLineSettings;
    }
    return Refusal::kNone;
}

Refusal SetTimeouts(Handle, const Timeouts &) {
    // The kernel has no time-outs of the Windows kind: Read and Write apply those they are given.
    return Refusal::kNone;
}

uint32_t Read(Handle device, const Timeouts &timeouts, uint8_t *buffer, uint32_t count) {
    const int fd = Descriptor(device);
    const Clock::time_point total =
        DeadlineAfter(timeouts.readTotalMultiplier, count, timeouts.readTotalConstant);
    Clock::time_point until = total;
    uint32_t got = 0;
    while (got < count) {
        const ssize_t n = read(fd, buffer + got, count - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            until = std::min(total, After(timeouts.readInterval));
            continue;
        }
        // End of file is a hung-up line; anything but "nothing yet" ends the read.
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
        if (!AwaitReady(fd, POLLIN, until)) {
            break;
        }
    }
    return got;
}

std::optional<uint32_t> Write(Handle device, const Timeouts &timeouts, const uint8_t *bytes,
                              uint32_t count) {
    const int fd = Descriptor(device);
    const Clock::time_point deadline =
        DeadlineAfter(timeouts.writeTotalMultiplier, count, timeouts.writeTotalConstant);
    uint32_t written = 0;
    while (written < count) {
        const ssize_t n = write(fd, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return std::nullopt;
        }
        // The line's queue is full: wait for room until the deadline, then come up short.
        if (!AwaitReady(fd, POLLOUT, deadline)) {
            break;
        }
    }
    return written;
}

uint32_t BytesWaiting(Handle device) {
    int waiting = 0;
    if (ioctl(Descriptor(device), FIONREAD, &waiting) != 0) {
        return 0;
    }
    return static_cast<uint32_t>(waiting);
}

#if defined(MAVOZARP_SERIAL_WAIT_BY_LOOKS)

// Only the benchmarks' own copy of the library is built with this: it keeps the wait that looks
// once a millisecond, to measure the wait below against it.
bool AwaitBytesWaiting(Handle device, uint32_t count, uint32_t milliseconds) {
    return AwaitBytesWaitingByLooks(device, count, milliseconds);
}

#else

namespace {

// An epoll instance for one wait, closed with it.
class ReadinessWatch {
public:
    ReadinessWatch() : fd_(epoll_create1(EPOLL_CLOEXEC)) {}
    ~ReadinessWatch() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    ReadinessWatch(const ReadinessWatch &) = delete;
    ReadinessWatch &operator=(const ReadinessWatch &) = delete;

    // Edge-triggered: each arrival of input (or a hang-up) ends one wait, so a reply that is
    // partly here, or a line that hung up, does not keep the waiter spinning.
    bool Watch(int device) {
        epoll_event interest{};
        interest.events = EPOLLIN | EPOLLET;
        return fd_ >= 0 && epoll_ctl(fd_, EPOLL_CTL_ADD, device, &interest) == 0;
    }

    // Until something arrives, a signal comes or `until` passes; false when it cannot wait.
    bool AwaitArrival(Clock::time_point until) {
        epoll_event arrived{};
        return epoll_wait(fd_, &arrived, 1, MillisecondsUntil(until)) >= 0 || errno == EINTR;
    }

private:
    int fd_;
};

}  // namespace

// Sleeps in the kernel until input comes, so that a reply is seen the moment it arrives rather
// than at the next of a series of looks.
bool AwaitBytesWaiting(Handle device, uint32_t count, uint32_t milliseconds) {
    // A reply that is here already costs no more than the look.
    if (BytesWaiting(device) >= count) {
        return true;
    }
    const Clock::time_point until = After(milliseconds);
    ReadinessWatch watch;
    // Without a descriptor to spare, or on a device that cannot be watched, look and pause.
    if (!watch.Watch(Descriptor(device))) {
        return AwaitBytesWaitingByLooks(device, count, MillisecondsUntil(until));
    }
    while (BytesWaiting(device) < count) {
        if (Clock::now() >= until) {
            return false;
        }
        if (!watch.AwaitArrival(until)) {
            return AwaitBytesWaitingByLooks(device, count, MillisecondsUntil(until));
        }
    }
    return true;
}

#endif

bool Close(Handle device) { return close(Descriptor(device)) == 0; }

}  // namespace SerialDevice
