#include "client/console.h"

#include <atomic>
#include <cstdio>
#include <iostream>
#include <thread>

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
int DuplicateDescriptor(int fd) { return _dup(fd); }
int ReplaceDescriptor(int from, int to) { return _dup2(from, to); }
void CloseDescriptor(int fd) { _close(fd); }
int OpenNullDevice() { return _open("NUL", _O_WRONLY); }
bool MakePipe(int ends[2]) { return _pipe(ends, 4096, _O_BINARY | _O_NOINHERIT) == 0; }
long ReadDescriptor(int fd, char *buffer, unsigned size) { return _read(fd, buffer, size); }
long WriteDescriptor(int fd, const char *data, unsigned size) { return _write(fd, data, size); }
bool IsTerminal(FILE *stream) { return _isatty(_fileno(stream)) != 0; }
int DescriptorOf(FILE *stream) { return _fileno(stream); }
#else
// The saved descriptor must not leak into programs the process might start.
int DuplicateDescriptor(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 3); }
int ReplaceDescriptor(int from, int to) { return dup2(from, to); }
void CloseDescriptor(int fd) { close(fd); }
int OpenNullDevice() { return open("/dev/null", O_WRONLY | O_CLOEXEC); }
bool MakePipe(int ends[2]) { return pipe2(ends, O_CLOEXEC) == 0; }
long ReadDescriptor(int fd, char *buffer, unsigned size) { return read(fd, buffer, size); }
long WriteDescriptor(int fd, const char *data, unsigned size) { return write(fd, data, size); }
bool IsTerminal(FILE *stream) { return isatty(fileno(stream)) != 0; }
int DescriptorOf(FILE *stream) { return fileno(stream); }
#endif

void FlushStandardOutput() {
    std::cout.flush();
    std::fflush(stdout);
}

// The standard output the process had before it was captured; -1 while not captured.
std::atomic<int> savedStandardOutput{-1};

// Each line of the pipe to standard error, whole; never ends (the process's own object).
void ForwardLines(int from, const std::string &prefix) {
    std::string pending;
    char buffer[512];
    long received = 0;
    while ((received = ReadDescriptor(from, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, static_cast<size_t>(received));
        size_t end = 0;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::cerr << prefix + pending.substr(0, end + 1) << std::flush;
            pending.erase(0, end + 1);
        }
    }
}

}  // namespace

bool CaptureStandardOutput(std::string prefix) {
    FlushStandardOutput();
    int ends[2] = {-1, -1};
    if (savedStandardOutput >= 0 || !MakePipe(ends)) return false;
    const int saved = DuplicateDescriptor(DescriptorOf(stdout));
    if (saved < 0 || ReplaceDescriptor(ends[1], DescriptorOf(stdout)) < 0) {
        if (saved >= 0) CloseDescriptor(saved);
        CloseDescriptor(ends[0]);
        CloseDescriptor(ends[1]);
        return false;
    }
    CloseDescriptor(ends[1]);
    // A line reaches the log when it is written, not when a buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    savedStandardOutput = saved;
    std::thread([from = ends[0], prefix = std::move(prefix)] { ForwardLines(from, prefix); }).detach();
    return true;
}

bool StandardOutputCaptured() { return savedStandardOutput >= 0; }

void WriteToStandardOutput(std::string_view text) {
    const int saved = savedStandardOutput;
    if (saved < 0) {
        std::cout << text << std::flush;
        return;
    }
    while (!text.empty()) {
        const long written = WriteDescriptor(saved, text.data(), static_cast<unsigned>(text.size()));
        if (written <= 0) return;
        text.remove_prefix(static_cast<size_t>(written));
    }
}

StdoutSilencer::StdoutSilencer() {
    FlushStandardOutput();
    const int stdoutDescriptor = DescriptorOf(stdout);
    if (stdoutDescriptor < 0) return;
    const int nullDevice = OpenNullDevice();
    if (nullDevice < 0) return;
    savedStdout_ = DuplicateDescriptor(stdoutDescriptor);
    if (savedStdout_ >= 0 && ReplaceDescriptor(nullDevice, stdoutDescriptor) < 0) {
        CloseDescriptor(savedStdout_);
        savedStdout_ = -1;
    }
    CloseDescriptor(nullDevice);
}

StdoutSilencer::~StdoutSilencer() {
    if (savedStdout_ < 0) return;
    // What the library left in the stdio buffer belongs to the null device too.
    FlushStandardOutput();
    ReplaceDescriptor(savedStdout_, DescriptorOf(stdout));
    CloseDescriptor(savedStdout_);
}

bool StandardInputIsTerminal() { return IsTerminal(stdin); }
