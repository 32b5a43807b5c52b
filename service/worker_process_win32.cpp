#include "worker_process.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace {

std::string SystemError(const char *call) {
    return std::string(call) + " failed (error " + std::to_string(GetLastError()) + ")";
}

// An owned handle, closed on destruction.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    Handle(Handle &&other) noexcept : handle_(other.Release()) {}
    Handle &operator=(Handle &&other) noexcept {
        if (this != &other) {
            if (handle_ != nullptr) CloseHandle(handle_);
            handle_ = other.Release();
        }
        return *this;
    }
    ~Handle() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    HANDLE Get() const { return handle_; }
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    HANDLE handle_ = nullptr;
};

std::string ThisProgram() {
    char path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) throw std::runtime_error(SystemError("GetModuleFileNameA"));
    return std::string(path, length);
}

// One argument as the C runtime's command-line parser reads it back.
std::string Quoted(const std::string &argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

// The two ends of a private pipe, both overlapped (the event loop's completion port reads and
// writes them): a named pipe under a name nobody else knows, taken by its only instance.
std::pair<Handle, Handle> PipeEnds() {
    static std::atomic<unsigned> made{0};
    char name[128];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\mavozarp-worker-%lu-%u-%lu", GetCurrentProcessId(), ++made,
                  GetTickCount());
    Handle ours(CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                 65536, 65536, 0, nullptr));
    if (ours.Get() == nullptr) throw std::runtime_error(SystemError("CreateNamedPipeA"));
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle theirs(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr));
    if (theirs.Get() == nullptr) throw std::runtime_error(SystemError("CreateFileA on the worker's pipe"));
    return {std::move(ours), std::move(theirs)};
}

// An inheritable copy of a standard handle, or nothing when the process has none.
Handle InheritableCopy(HANDLE handle) {
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return Handle();
    return Handle(copy);
}

}  // namespace

struct WorkerProcess::System {
    Handle process;
    DWORD pid = 0;
    ChannelStream channel;
    bool reaped = false;
};

std::unique_ptr<WorkerProcess> WorkerProcess::Start(boost::asio::io_context &loop,
                                                    const std::vector<std::string> &arguments) {
    const std::string program = ThisProgram();
    auto [ours, theirs] = PipeEnds();
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                             nullptr));
    Handle output = InheritableCopy(GetStdHandle(STD_OUTPUT_HANDLE));
    Handle error = InheritableCopy(GetStdHandle(STD_ERROR_HANDLE));

    // The worker inherits its pipe's end and its standard handles, nothing else: no listener or
    // client connection of the service (sockets are inheritable) may stay open in a worker.
    std::vector<HANDLE> inherited{theirs.Get()};
    for (const Handle *standard : {&input, &output, &error}) {
        if (standard->Get() != nullptr) inherited.push_back(standard->Get());
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributeStorage(size);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeStorage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size) ||
        !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                   inherited.size() * sizeof(HANDLE), nullptr, nullptr))
        throw std::runtime_error(SystemError("UpdateProcThreadAttribute"));

    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.Get();
    startup.StartupInfo.hStdOutput = output.Get();
    startup.StartupInfo.hStdError = error.Get();
    startup.lpAttributeList = attributes;

    std::string commandLine = Quoted(program) + " " + kWorkerMode + " " +
                              std::to_string(reinterpret_cast<uintptr_t>(theirs.Get()));
    for (const std::string &argument : arguments) {
        commandLine += ' ';
        commandLine += Quoted(argument);
    }
    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo, &started);
    DeleteProcThreadAttributeList(attributes);
    if (!created) throw std::runtime_error(SystemError("CreateProcessA"));
    CloseHandle(started.hThread);

    auto system = std::make_unique<System>(
        System{Handle(started.hProcess), started.dwProcessId, ChannelStream(loop, ours.Release()), false});
    return std::unique_ptr<WorkerProcess>(new WorkerProcess(std::move(system)));
}

WorkerProcess::WorkerProcess(std::unique_ptr<System> system) : system_(std::move(system)) {}

WorkerProcess::~WorkerProcess() {
    if (system_->reaped) return;
    TerminateProcess(system_->process.Get(), 1);
    WaitForSingleObject(system_->process.Get(), INFINITE);
}

int64_t WorkerProcess::Pid() const { return system_->pid; }

ChannelStream &WorkerProcess::Channel() { return system_->channel; }

std::optional<WorkerProcess::Ending> WorkerProcess::Ended() {
    if (system_->reaped) return Ending{"ended", std::nullopt};
    if (WaitForSingleObject(system_->process.Get(), 0) != WAIT_OBJECT_0) return std::nullopt;
    system_->reaped = true;
    DWORD code = 0;
    if (!GetExitCodeProcess(system_->process.Get(), &code)) return Ending{"ended", std::nullopt};
    // An exception that ended the process (an access violation in an adapter library) is its code.
    if (code >= 0xC0000000) {
        char text[64];
        std::snprintf(text, sizeof text, "ended by exception 0x%08lX", code);
        return Ending{text, std::nullopt};
    }
    return Ending{"exited with status " + std::to_string(code), static_cast<int>(code)};
}

void WorkerProcess::Kill() {
    if (!system_->reaped) TerminateProcess(system_->process.Get(), 1);
}

ChannelStream InheritedChannel(boost::asio::io_context &loop, const std::string &name) {
    HANDLE handle = nullptr;
    try {
        handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::stoull(name)));
    } catch (const std::exception &) {
    }
    if (handle == nullptr || !SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0))
        throw std::runtime_error("no channel to the service in handle " + name);
    return ChannelStream(loop, handle);
}

namespace {

// Ctrl+C and Ctrl+Break reach every process of the console: the service's to handle. The console
// closing or the system shutting down end a worker at once, as its service stops anyway.
BOOL WINAPI LeaveToTheService(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

}  // namespace

void LeaveStopRequestsToTheService(int64_t parent) {
    SetConsoleCtrlHandler(LeaveToTheService, TRUE);
    // The service's end is the worker's, whatever became of the channel.
    // Ended at once, as a kill would: the other threads may be inside the library or a driver.
    HANDLE service = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(parent));
    if (service == nullptr) TerminateProcess(GetCurrentProcess(), 0);
    std::thread([service] {
        WaitForSingleObject(service, INFINITE);
        TerminateProcess(GetCurrentProcess(), 0);
    }).detach();
}

int64_t ThisProcessId() { return GetCurrentProcessId(); }
