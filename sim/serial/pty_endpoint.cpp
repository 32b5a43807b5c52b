#include "serial/pty_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <system_error>

namespace sim {

namespace {

[[noreturn]] void ThrowSystemError(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void SetDescriptorFlag(int fd, int flag) {
    if (fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | flag) == -1) ThrowSystemError("fcntl(F_SETFD)");
}

void SetStatusFlag(int fd, int flag) {
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | flag) == -1) ThrowSystemError("fcntl(F_SETFL)");
}

// Waits for `events` on `fd`; false when the endpoint is told to stop first.
bool WaitUnlessStopping(int fd, short events, int stopFd) {
    std::array<pollfd, 2> fds{pollfd{fd, events, 0}, pollfd{stopFd, POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds.data(), fds.size(), -1);
        if (ready == -1 && errno == EINTR) continue;
        return ready > 0 && fds[1].revents == 0;
    }
}

}  // namespace

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept {
    if (this != &other) {
        FileDescriptor old(fd_);
        fd_ = other.Release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
}

int FileDescriptor::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

PtyEndpoint::PtyEndpoint(Handler handler) : handler_(std::move(handler)) {
    termios raw{};
    cfmakeraw(&raw);
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, &raw, nullptr) == -1) ThrowSystemError("openpty");
    master_ = FileDescriptor(master);
    slave_ = FileDescriptor(slave);
    std::array<char, PATH_MAX> name{};
    if (const int error = ttyname_r(slave, name.data(), name.size()); error != 0) {
        errno = error;
        ThrowSystemError("ttyname_r");
    }
    path_ = name.data();

    std::array<int, 2> stop{};
    if (pipe(stop.data()) == -1) ThrowSystemError("pipe");
    stopRead_ = FileDescriptor(stop[0]);
    stopWrite_ = FileDescriptor(stop[1]);
    for (const int fd : {master, slave, stop[0], stop[1]}) SetDescriptorFlag(fd, FD_CLOEXEC);
    // A host that never reads must not block the serving thread's answers.
    SetStatusFlag(master, O_NONBLOCK);

    thread_ = std::thread([this] { Serve(); });
}

PtyEndpoint::~PtyEndpoint() {
    const char stop = 0;
    while (write(stopWrite_.Get(), &stop, 1) == -1 && errno == EINTR) {
    }
    thread_.join();
}

std::vector<uint8_t> PtyEndpoint::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void PtyEndpoint::ClearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

bool PtyEndpoint::WaitForReceived(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return receivedChanged_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

void PtyEndpoint::SetSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

void PtyEndpoint::SetAnswerDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    answerDelay_ = delay;
}

void PtyEndpoint::SetAnswersShortBy(size_t bytes) {
    std::lock_guard lock(mutex_);
    answersShortBy_ = bytes;
}

void PtyEndpoint::Serve() {
    std::array<uint8_t, 512> buffer{};
    for (;;) {
        if (!WaitUnlessStopping(master_.Get(), POLLIN, stopRead_.Get())) return;
        const ssize_t count = read(master_.Get(), buffer.data(), buffer.size());
        if (count <= 0) {
            // Nothing to take after all (or the line hung up for a moment): look again shortly
            // rather than spin.
            if (!PauseUnlessStopping(std::chrono::milliseconds(1))) return;
            continue;
        }
        const std::span<const uint8_t> piece(buffer.data(), static_cast<size_t>(count));
        const std::vector<std::vector<uint8_t>> answers = handler_(piece);

        bool silent = false;
        std::chrono::milliseconds delay{0};
        size_t shortBy = 0;
        {
            std::lock_guard lock(mutex_);
            received_.insert(received_.end(), piece.begin(), piece.end());
            silent = silent_;
            delay = answerDelay_;
            shortBy = answersShortBy_;
        }
        receivedChanged_.notify_all();
        if (silent) continue;
        for (const std::vector<uint8_t> &answer : answers) {
            if (answer.size() <= shortBy) continue;
            if (delay.count() > 0 && !PauseUnlessStopping(delay)) return;
            if (!Send(std::span(answer).first(answer.size() - shortBy))) return;
        }
    }
}

bool PtyEndpoint::PauseUnlessStopping(std::chrono::milliseconds pause) const {
    // Waiting on nothing but the stop signal: a pause that stopping cuts short.
    std::array<pollfd, 1> fds{pollfd{stopRead_.Get(), POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + pause;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready = poll(fds.data(), fds.size(),
                               static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
        if (ready == -1 && errno == EINTR) continue;
        return ready == 0;
    }
}

bool PtyEndpoint::Send(std::span<const uint8_t> bytes) const {
    while (!bytes.empty()) {
        const ssize_t written = write(master_.Get(), bytes.data(), bytes.size());
        if (written >= 0) {
            bytes = bytes.subspan(static_cast<size_t>(written));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return true;  // the line refused the answer; keep serving
        if (!WaitUnlessStopping(master_.Get(), POLLOUT, stopRead_.Get())) return false;
    }
    return true;
}

}  // namespace sim
