#include "client/console.h"

#include <cstdio>
#include <iostream>

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
bool IsTerminal(FILE *stream) { return _isatty(_fileno(stream)) != 0; }
int DescriptorOf(FILE *stream) { return _fileno(stream); }
#else
// The saved descriptor must not leak into programs the process might start.
int DuplicateDescriptor(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 3); }
int ReplaceDescriptor(int from, int to) { return dup2(from, to); }
void CloseDescriptor(int fd) { close(fd); }
int OpenNullDevice() { return open("/dev/null", O_WRONLY | O_CLOEXEC); }
bool IsTerminal(FILE *stream) { return isatty(fileno(stream)) != 0; }
int DescriptorOf(FILE *stream) { return fileno(stream); }
#endif

void FlushStandardOutput() {
    std::cout.flush();
    std::fflush(stdout);
}

}  // namespace

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
