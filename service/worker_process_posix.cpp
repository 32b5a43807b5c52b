#include "worker_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char **environ;

namespace {

// The worker's end of the channel, as the worker sees it.
constexpr int kWorkerChannel = 3;

std::string SystemError(const char *call, int error) { return std::string(call) + ": " + std::strerror(error); }

std::string ThisProgram() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) throw std::runtime_error(SystemError("readlink /proc/self/exe", errno));
    return std::string(path, static_cast<size_t>(length));
}

// Spawn's settings, released however the start ends.
struct SpawnSettings {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSettings() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSettings() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

}  // namespace

struct WorkerProcess::System {
    pid_t pid = -1;
    ChannelStream channel;
    bool reaped = false;
};

std::unique_ptr<WorkerProcess> WorkerProcess::Start(boost::asio::io_context &loop,
                                                    const std::vector<std::string> &arguments) {
    const std::string program = ThisProgram();
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::runtime_error(SystemError("socketpair", errno));
    // dup2 onto the descriptor it already is would keep its close-on-exec flag.
    if (ends[1] == kWorkerChannel) {
        const int moved = fcntl(ends[1], F_DUPFD_CLOEXEC, kWorkerChannel + 1);
        close(ends[1]);
        ends[1] = moved;
    }
    SpawnSettings settings;
    // Standard input from nowhere, output and error shared with the service (its log), the
    // channel as descriptor 3, and nothing else: no listener or client connection of the service
    // may stay open in a worker.
    posix_spawn_file_actions_addopen(&settings.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&settings.actions, ends[1], kWorkerChannel);
    posix_spawn_file_actions_addclosefrom_np(&settings.actions, kWorkerChannel + 1);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&settings.attributes, &none);
    posix_spawnattr_setflags(&settings.attributes, POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> words{program, kWorkerMode, std::to_string(kWorkerChannel)};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, program.c_str(), &settings.actions, &settings.attributes, argv.data(), environ);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        throw std::runtime_error(SystemError("posix_spawn", failed));
    }
    auto system = std::make_unique<System>(System{pid, ChannelStream(loop, ends[0]), false});
    return std::unique_ptr<WorkerProcess>(new WorkerProcess(std::move(system)));
}

WorkerProcess::WorkerProcess(std::unique_ptr<System> system) : system_(std::move(system)) {}

WorkerProcess::~WorkerProcess() {
    if (system_->reaped) return;
    kill(system_->pid, SIGKILL);
    while (waitpid(system_->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

int64_t WorkerProcess::Pid() const { return system_->pid; }

ChannelStream &WorkerProcess::Channel() { return system_->channel; }

std::optional<WorkerProcess::Ending> WorkerProcess::Ended() {
    if (system_->reaped) return Ending{"ended", std::nullopt};
    int status = 0;
    const pid_t ended = waitpid(system_->pid, &status, WNOHANG);
    if (ended == 0 || (ended < 0 && errno == EINTR)) return std::nullopt;
    system_->reaped = true;
    if (ended < 0) return Ending{"ended", std::nullopt};
    if (WIFEXITED(status)) {
        return Ending{"exited with status " + std::to_string(WEXITSTATUS(status)), WEXITSTATUS(status)};
    }
    const int signal = WTERMSIG(status);
    return Ending{"killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")", std::nullopt};
}

void WorkerProcess::Kill() {
    if (!system_->reaped) kill(system_->pid, SIGKILL);
}

ChannelStream InheritedChannel(boost::asio::io_context &loop, const std::string &name) {
    int fd = -1;
    try {
        fd = std::stoi(name);
    } catch (const std::exception &) {
    }
    if (fd < 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
        throw std::runtime_error("no channel to the service on descriptor " + name);
    return ChannelStream(loop, fd);
}

void LeaveStopRequestsToTheService(int64_t parent) {
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
#if defined(__linux__)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The service may have died before the line above: then nothing would ever kill this one.
    if (getppid() != static_cast<pid_t>(parent)) _exit(0);
#else
    (void)parent;
#endif
}

int64_t ThisProcessId() { return getpid(); }
