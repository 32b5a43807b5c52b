#include "serial/pty_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
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

// A device on a serial line answers in its own time whatever else the machine is doing, and a
// host waits only a tenth of a second for the first byte. The serving thread stands in for the
// device: where the system allows it (root, or a real-time priority limit) it runs ahead of
// ordinary work, at the lowest real-time priority, so that a machine loaded beyond its cores
// cannot starve it; it waits in poll() but while it answers. Where the system refuses, it runs
// as any thread does.
void RunAheadOfOrdinaryWork() {
    sched_param lowest{};
    lowest.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &lowest);
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

void PtyEndpoint::SetPacing(uint32_t baudRate) {
    constexpr int64_t kBitsPerByte = 10;  // start bit, eight data bits, stop bit
    std::lock_guard lock(mutex_);
    byteTime_ = baudRate == 0 ? Clock::duration::zero()
                              : std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::nanoseconds(kBitsPerByte * 1000000000 / baudRate));
}

size_t PtyEndpoint::SentCount() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

void PtyEndpoint::Serve() {
    // Paced bytes are timed to a few microseconds; the default timer slack of this thread
    // (50 us) would add to every one of them.
    prctl(PR_SET_TIMERSLACK, 1UL);
    RunAheadOfOrdinaryWork();
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
        Clock::duration byteTime{};
        {
            std::lock_guard lock(mutex_);
            byteTime = byteTime_;
        }
        if (byteTime > Clock::duration::zero()) {
            // The host's write reaches the far end only as fast as the line carries it.
            inputLineFree_ = std::max(Clock::now(), inputLineFree_) +
                             byteTime * static_cast<int64_t>(piece.size());
            if (!PauseUntilUnlessStopping(inputLineFree_)) return;
        }
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
        // A paced answer may start once the request is in, not when this thread woke up to it.
        Clock::time_point answerReady = inputLineFree_;
        for (const std::vector<uint8_t> &answer : answers) {
            if (answer.size() <= shortBy) continue;
            if (delay.count() > 0) {
                if (!PauseUnlessStopping(delay)) return;
                answerReady = Clock::now();
            }
            const std::span<const uint8_t> sent = std::span(answer).first(answer.size() - shortBy);
            const bool paced = byteTime > Clock::duration::zero();
            if (!(paced ? SendPaced(sent, byteTime, answerReady) : Send(sent))) return;
        }
    }
}

bool PtyEndpoint::PauseUnlessStopping(std::chrono::milliseconds pause) const {
    return PauseUntilUnlessStopping(Clock::now() + pause);
}

bool PtyEndpoint::PauseUntilUnlessStopping(Clock::time_point deadline) const {
    // Waiting on nothing but the stop signal: a pause that stopping cuts short. ppoll takes the
    // time to the nanosecond, fine enough for a paced byte.
    std::array<pollfd, 1> fds{pollfd{stopRead_.Get(), POLLIN, 0}};
    for (;;) {
        const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
        const auto seconds = std::chrono::floor<std::chrono::seconds>(left);
        const timespec timeout{
            static_cast<time_t>(seconds.count()),
            static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
        const int ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
        if (ready == -1 && errno == EINTR) continue;
        return ready == 0;
    }
}

bool PtyEndpoint::SendPaced(std::span<const uint8_t> bytes, Clock::duration byteTime,
                            Clock::time_point ready) {
    // Back to back from when the answer is ready and the line is free: each byte is there for
    // the host once its last bit has crossed. Counted from those moments rather than from when
    // this thread woke up, so that late wake-ups do not add up.
    const Clock::time_point start = std::max(ready, outputLineFree_);
    for (size_t i = 0; i < bytes.size(); ++i) {
        outputLineFree_ = start + byteTime * static_cast<int64_t>(i + 1);
        if (!PauseUntilUnlessStopping(outputLineFree_) || !Send(bytes.subspan(i, 1))) {
            return false;
        }
    }
    return true;
}

bool PtyEndpoint::Send(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t written = 0;
        int error = 0;
        {
            // Written and counted under one lock: a host that has read the bytes and then asks
            // for the count waits for this lock, so it never sees bytes that are not counted yet.
            std::lock_guard lock(mutex_);
            written = write(master_.Get(), bytes.data(), bytes.size());
            if (written > 0) sent_ += static_cast<size_t>(written);
            error = errno;
        }
        if (written >= 0) {
            bytes = bytes.subspan(static_cast<size_t>(written));
            continue;
        }
        if (error == EINTR) continue;
        if (error != EAGAIN) return true;  // the line refused the answer; keep serving
        if (!WaitUnlessStopping(master_.Get(), POLLOUT, stopRead_.Get())) return false;
    }
    return true;
}

}  // namespace sim
