// `mavozarp serve` with the emulated adapter library's controls on standard input, so that a
// browser test can change the virtual adapter supplies while the service runs on them:
//   unplug N / plug N          the Nth adapter leaves or comes back
//   interlock N open|closed    the interlock input of the Nth adapter's supply
//   fail-transfers N           the next N transfers on any adapter fail
// Arguments are those of `mavozarp serve`; the supplies come from MAVOFTCI2C_EMULATED_SUPPLIES.
// Every device stays in this process (--workers none): the controls act on the emulated adapter
// library loaded here.
#include "serve_command.h"
#include "support/emulated_adapter_controls.h"

#include <signal.h>

#include <iostream>
#include <sstream>
#include <thread>

namespace {

// The interlock is bit 0 of the glue inputs' port 0; high is closed. The other inputs of the port
// stay low, so that no other flag of the port lights.
constexpr uint8_t kInterlockPort = 0;
constexpr uint8_t kInterlockClosed = 0x01;
constexpr uint8_t kInterlockOpen = 0x00;

constexpr Subcommand kServe{"serve", "", "", "", false, kServeOptions, nullptr, nullptr, RunServe};

void FollowControls() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string control, state;
        uint32_t adapter = 0;  // or a count
        words >> control >> adapter >> state;
        try {
            if (control == "unplug" || control == "plug") {
                emulated_adapter::SetPlugged(adapter, control == "plug");
            } else if (control == "fail-transfers") {
                emulated_adapter::FailTransferAfter(0, adapter);
            } else if (control == "interlock") {
                emulated_adapter::SetExternalLevels(adapter, sim::VirtualSupply::kGlueInputExpander,
                                                    kInterlockPort,
                                                    state == "closed" ? kInterlockClosed : kInterlockOpen);
            } else {
                std::cerr << "unknown control: " << line << '\n';
                continue;
            }
            std::cerr << "control done: " << line << '\n';
        } catch (const std::exception &error) {
            std::cerr << "control failed: " << line << ": " << error.what() << '\n';
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    // The service waits for these in its own thread; the control thread must not take them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::thread(FollowControls).detach();

    const ToolDescription tool{"", "", {&kServe, 1}, [] { return std::string(); }};
    std::vector<const char *> arguments{argv[0], "serve", "--workers", "none"};
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    const Invocation invocation = ReadCommandLine(static_cast<int>(arguments.size()), arguments.data(), tool);
    if (!invocation.mistake.empty() || invocation.subcommand == nullptr) {
        std::cerr << invocation.mistake << '\n';
        return 2;
    }
    return RunServe(invocation.arguments);
}
