// The far end of a serial line for the emulators: a pseudo-terminal pair whose slave path a host
// opens as its serial device, served by a thread of the endpoint's own. What the host writes is
// recorded and handed to the emulator's handler, which turns it into answers; the endpoint sends
// them back, unless told to stay silent, to answer late or to answer short; it can also pace the
// line at a baud rate.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// An owned file descriptor, closed on destruction.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.Release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor();

    int Get() const { return fd_; }
    int Release();

private:
    int fd_ = -1;
};

class PtyEndpoint {
public:
    // Called on the serving thread with each piece of input as it arrives (requests may be split
    // across pieces); returns the answers of the requests it completed, in order. An empty answer
    // sends nothing.
    using Handler = std::function<std::vector<std::vector<uint8_t>>(std::span<const uint8_t>)>;

    // Opens the pair (raw line, kept open on the slave side so that a host may close and reopen
    // the path) and starts serving. Throws std::system_error when the system refuses.
    explicit PtyEndpoint(Handler handler);
    // Stops the thread (also during an answer delay) and closes the pair.
    ~PtyEndpoint();
    PtyEndpoint(const PtyEndpoint &) = delete;
    PtyEndpoint &operator=(const PtyEndpoint &) = delete;

    // The device path a host opens.
    const std::string &Path() const { return path_; }

    // Every byte received since the start or the last ClearReceived. A byte is recorded once the
    // handler has taken it, so what a test sees recorded has been acted on.
    std::vector<uint8_t> Received() const;
    void ClearReceived();
    // True once at least `count` bytes are recorded; false when `timeout` passes first.
    bool WaitForReceived(size_t count, std::chrono::milliseconds timeout) const;

    void SetSilent(bool silent);
    void SetAnswerDelay(std::chrono::milliseconds delay);
    // Every answer loses its last `bytes` bytes.
    void SetAnswersShortBy(size_t bytes);

    // Paces the line like a UART at `baudRate` with ten bits a byte (8N1); 0, the default, paces
    // nothing. A piece of input is acted on only once its bytes could have crossed the line, and
    // the bytes of the answers come one byte time apart, so an exchange takes its wire time.
    void SetPacing(uint32_t baudRate);
    // Answer bytes sent since the start; bytes a host has read are always counted.
    size_t SentCount() const;

private:
    using Clock = std::chrono::steady_clock;

    void Serve();
    // False when the endpoint is stopping.
    bool PauseUnlessStopping(std::chrono::milliseconds pause) const;
    bool PauseUntilUnlessStopping(Clock::time_point deadline) const;
    bool Send(std::span<const uint8_t> bytes);
    bool SendPaced(std::span<const uint8_t> bytes, Clock::duration byteTime,
                   Clock::time_point ready);

    Handler handler_;
    FileDescriptor master_;
    FileDescriptor slave_;
    FileDescriptor stopRead_;
    FileDescriptor stopWrite_;
    std::string path_;

    mutable std::mutex mutex_;
    mutable std::condition_variable receivedChanged_;
    std::vector<uint8_t> received_;
    bool silent_ = false;
    std::chrono::milliseconds answerDelay_{0};
    size_t answersShortBy_ = 0;
    Clock::duration byteTime_{0};  // zero: not paced
    size_t sent_ = 0;

    // When each direction of a paced line is free again; touched only by the serving thread.
    Clock::time_point inputLineFree_;
    Clock::time_point outputLineFree_;

    std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace sim
