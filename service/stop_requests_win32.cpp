#include "stop_requests.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>

namespace {

// The console calls its handler on a thread of its own, with no object to hand it: the state is
// process-wide, made once and never destroyed.
struct ConsoleRequests {
    std::mutex mutex;
    std::condition_variable arrived;
    bool requested = false;
};

ConsoleRequests &Requests() {
    static ConsoleRequests &requests = *new ConsoleRequests;
    return requests;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    // A user logging off is not this program's end: a service started at boot outlives every
    // session (the system ends the processes of the session itself).
    if (event == CTRL_LOGOFF_EVENT) return TRUE;
    {
        const std::lock_guard lock(Requests().mutex);
        Requests().requested = true;
    }
    Requests().arrived.notify_all();
    // After the handler returns from these the system ends the process at once: it waits here,
    // and the process ends when the service has stopped and main returns.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
    return TRUE;
}

}  // namespace

struct StopRequests::Source {};  // the console's handler needs none

StopRequests::StopRequests(boost::asio::io_context &) {
    {
        const std::lock_guard lock(Requests().mutex);
        Requests().requested = false;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopRequests::~StopRequests() = default;

void StopRequests::Wait() {
    std::unique_lock lock(Requests().mutex);
    Requests().arrived.wait(lock, [] { return Requests().requested; });
}
