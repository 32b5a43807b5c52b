#include "support/pty.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void ThrowSystemError(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        ThrowSystemError("tcgetattr");
    }
    cfmakeraw(&settings);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        ThrowSystemError("tcsetattr");
    }
}

int MillisecondsLeft(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
    char path[PATH_MAX] = {};
    if (openpty(&master_, &slave_, path, nullptr, nullptr) != 0) {
        ThrowSystemError("openpty");
    }
    try {
        // Descriptors of the pair must not leak into programs that a test starts.
        for (int fd : {master_, slave_}) {
            if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
                ThrowSystemError("fcntl");
            }
            MakeRaw(fd);
        }
        slavePath_ = path;
    } catch (...) {
        close(slave_);
        close(master_);
        throw;
    }
}

PseudoTerminal::~PseudoTerminal() {
    close(slave_);
    HangUp();
}

void PseudoTerminal::HangUp() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

void PseudoTerminal::Send(std::span<const uint8_t> bytes) const {
    while (!bytes.empty()) {
        const ssize_t n = write(master_, bytes.data(), bytes.size());
        if (n < 0 && errno != EINTR) {
            ThrowSystemError("write");
        }
        bytes = bytes.subspan(static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
}

void PseudoTerminal::Send(std::string_view text) const {
    Send(std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
}

std::vector<uint8_t> PseudoTerminal::Receive(size_t count,
                                             std::chrono::milliseconds timeout) const {
    const Clock::time_point until = Clock::now() + timeout;
    std::vector<uint8_t> received;
    while (received.size() < count) {
        pollfd watched{master_, POLLIN, 0};
        const int ready = poll(&watched, 1, MillisecondsLeft(until));
        if (ready == 0) {
            break;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowSystemError("poll");
        }
        uint8_t chunk[256];
        const ssize_t n = read(master_, chunk, std::min(sizeof chunk, count - received.size()));
        if (n <= 0) {
            // The port side hung up, or a signal came between poll and read.
            if (n < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        received.insert(received.end(), chunk, chunk + n);
    }
    return received;
}

size_t PseudoTerminal::PortInputWaiting() const {
    int waiting = 0;
    if (ioctl(slave_, FIONREAD, &waiting) != 0) {
        ThrowSystemError("ioctl(FIONREAD)");
    }
    return static_cast<size_t>(waiting);
}

bool PseudoTerminal::AwaitPortInput(size_t count, std::chrono::milliseconds timeout) const {
    const Clock::time_point until = Clock::now() + timeout;
    while (PortInputWaiting() < count) {
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
