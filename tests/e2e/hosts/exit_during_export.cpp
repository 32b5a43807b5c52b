// A host that ends while another of its threads is inside the exports. Its exit handler is
// registered before the library is loaded, so whatever the library left for the exit to destroy
// is gone before the handler runs; the handler then lets the calling thread make more whole
// rounds of calls before the process ends. Under the address sanitizer, a call that meets freed
// memory ends the process with a report and a failed status.
//
//   exit_during_export LIBRARY
//
// Devices: the simulated head, the two adapter supplies MAVOFTCI2C_EMULATED_SUPPLIES names (the
// first of them closed), a bridge supply and a text supply. Exit status 0 once the caller went on
// after the exit's destruction; 2 when the set-up failed, 3 when the caller stopped.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "MavoZARP.h"
#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "serial/bridge_emulator.h"
#include "serial/text_supply_emulator.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Exports {
    decltype(&MavoZARP_CheckForDevices) checkForDevices;
    decltype(&MavoZARP_InitializeHandle) initializeHandle;
    decltype(&MavoZARP_SendCommand) sendCommand;
    decltype(&MavoZARP_Close) close;
    decltype(&MavoZARP_OpenSerialPort) openSerialPort;
};

// Process-wide, with nothing for the exit to destroy: the calling thread uses them to the end.
Exports exports;
MavoZARP_Handle devices[5] = {MAVOZARP_SIMULATED_HANDLE};
std::atomic<uint64_t> rounds{0};

[[noreturn]] void Fail(int status, const char *what) {
    std::fprintf(stderr, "exit_during_export: %s\n", what);
    std::fflush(stderr);
    _exit(status);
}

template <class Fn>
Fn Resolve(void *library, const char *name) {
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) Fail(2, name);
    return reinterpret_cast<Fn>(symbol);
}

// Every device in turn, forever; whatever each answers.
void CallForever() {
    for (;;) {
        for (const MavoZARP_Handle device : devices) {
            char reply[MAVOZARP_BUFFER_SIZE];
            exports.sendCommand(device, "?P", reply);
        }
        rounds.fetch_add(1);
    }
}

// Waits until the caller has finished `more` rounds beyond those done now.
bool AwaitRounds(uint64_t more) {
    const uint64_t target = rounds.load() + more;
    const Clock::time_point bound = Clock::now() + std::chrono::seconds(60);
    while (rounds.load() < target) {
        if (Clock::now() >= bound) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs after the library's own exit work: the caller, mid-call when the exit began, goes on.
void LetTheCallerGoOn() {
    if (!AwaitRounds(3)) Fail(3, "the calling thread stopped while the process ended");
}

void Initialize(MavoZARP_Handle device) {
    char headType[MAVOZARP_BUFFER_SIZE];
    if (exports.initializeHandle(device, headType) != MAVOZARP_STATUS_SUCCESS) {
        Fail(2, "a device did not initialize");
    }
}

MavoZARP_Handle OpenPort(const std::string &path) {
    MavoZARP_Handle device = 0;
    if (exports.openSerialPort(path.c_str(), &device) != MAVOZARP_STATUS_SUCCESS) {
        Fail(2, "a serial supply did not open");
    }
    return device;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) Fail(2, "usage: exit_during_export LIBRARY");
    std::atexit(LetTheCallerGoOn);
    void *library = dlopen(argv[1], RTLD_NOW);
    if (library == nullptr) Fail(2, dlerror());
    exports = {
        .checkForDevices = Resolve<decltype(&MavoZARP_CheckForDevices)>(
            library, "MavoZARP_CheckForDevices"),
        .initializeHandle = Resolve<decltype(&MavoZARP_InitializeHandle)>(
            library, "MavoZARP_InitializeHandle"),
        .sendCommand =
            Resolve<decltype(&MavoZARP_SendCommand)>(library, "MavoZARP_SendCommand"),
        .close = Resolve<decltype(&MavoZARP_Close)>(library, "MavoZARP_Close"),
        .openSerialPort = Resolve<decltype(&MavoZARP_OpenSerialPort)>(
            library, "MavoZARP_OpenSerialPort"),
    };

    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES], added[MAVOZARP_MAX_DEVICES],
        removed[MAVOZARP_MAX_DEVICES];
    int32_t allCount = 0, newCount = 0, removedCount = 0;
    if (exports.checkForDevices(all, &allCount, added, &newCount, removed, &removedCount) !=
            MAVOZARP_STATUS_SUCCESS ||
        allCount != 2) {
        Fail(2, "the two adapter supplies were not found");
    }
    Initialize(all[0]);
    Initialize(all[1]);
    if (exports.close(all[0]) != MAVOZARP_STATUS_SUCCESS) Fail(2, "an adapter did not close");
    devices[1] = all[0];
    devices[2] = all[1];

    // Reachable to the end, never destroyed: their lines answer while the process ends.
    static auto *bridge = new sim::BridgeEmulator;
    bridge->WithBus([](sim::I2cBus &bus) {
        sim::VirtualSupply parts(bus);
        sim::FindHeadPreset("kora-band2")->apply(parts);
    });
    devices[3] = OpenPort(bridge->Line().Path());
    Initialize(devices[3]);
    static auto *text = new sim::TextSupplyEmulator;
    text->SetValue("P", "0.750");
    devices[4] = OpenPort(text->Line().Path());

    std::thread(CallForever).detach();
    if (!AwaitRounds(1)) Fail(3, "the calling thread did not get going");
    return 0;
}
