// What the cases share: the library's six exports, what the driver set up around the host, the
// emulated adapter's test controls, and short forms of the calls.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "MavoZARP.h"
#include "adapter/emulated_adapter.h"
#include "harness.h"
#include "host.h"

namespace e2e {

// Called through pointers of exactly the header's types: on i686 that is the __stdcall
// convention, so a mismatch would corrupt the stack at the first call.
struct LibraryExports {
    decltype(&MavoZARP_GetDLLVersion) getDllVersion;
    decltype(&MavoZARP_CheckForDevices) checkForDevices;
    decltype(&MavoZARP_InitializeHandle) initializeHandle;
    decltype(&MavoZARP_SendCommand) sendCommand;
    decltype(&MavoZARP_Close) close;
    decltype(&MavoZARP_OpenSerialPort) openSerialPort;
};

// The exports with their Windows ordinals, in the order of LibraryExports.
extern const ExportName kExports[6];
LibraryExports ExportsAt(std::span<void *const, 6> addresses);

// Which emulated adapter library the driver put where the library looks for it.
enum class AdapterSetup { Complete, Missing, LackingAnEntryPoint };

// A supply on a serial port, named as the host opens it ("COM5" or "/dev/pts/3").
struct BridgePort {
    std::string preset;  // the head behind the bridge
    std::string port;
};

struct HostOptions {
    AdapterSetup adapter = AdapterSetup::Complete;
    std::vector<BridgePort> bridges;
    std::string textPort;    // a text supply; empty when there is none
    std::string absentPort;  // a port name with no device behind it; empty when not given
};

void Configure(const LibraryExports &exports, HostOptions options);
const LibraryExports &Library();
const HostOptions &Options();

// A head model and the preset of the virtual hardware that carries it.
struct HeadModel {
    const char *preset;
    const char *headType;  // what identifying the head gives
};
// One per head class and type text; the bridges are started with these presets.
std::span<const HeadModel> HeadModels();
// Null for a preset that is not in HeadModels().
const HeadModel *FindHeadModel(const std::string &preset);

// ---- calls ----------------------------------------------------------------------------------

struct Answer {
    int32_t status;
    std::string reply;  // the reply, or the head type of InitializeHandle
};

Answer Send(MavoZARP_Handle device, const std::string &command);
Answer Initialize(MavoZARP_Handle device);
// GetDLLVersion with the buffer holding `request` on entry.
Answer Version(const char *request);

struct Discovery {
    int32_t status;
    std::vector<MavoZARP_Handle> all, added, removed;
};
// CheckForDevices; also checks that the list entries beyond the counts are zero.
Discovery CheckForDevices();

// ---- the emulated adapter library -------------------------------------------------------------

struct AdapterControls {
    decltype(&EmulatedAdapter_Reset) reset;
    decltype(&EmulatedAdapter_SetVersion) setVersion;
    decltype(&EmulatedAdapter_PlugSupply) plugSupply;
    decltype(&EmulatedAdapter_SetPlugged) setPlugged;
    decltype(&EmulatedAdapter_OpenHandle) openHandle;
};

// Skips the case unless the complete emulated adapter library is beside the host.
const AdapterControls &Adapter();

// Resets the emulated adapter library and lets the library drop what earlier cases left in its
// adapter table, so a case starts with no supplies.
void StartWithoutSupplies();
// Whether a case has reset the emulated adapter library in this run.
bool AdapterWasReset();

// Plugs a supply with a head preset and discovers it; returns its handle.
MavoZARP_Handle PlugAndDiscover(const char *preset);

// ---- standard output ----------------------------------------------------------------------------

// Everything written to the standard output while it lives, the library's lines included.
class CapturedOutput {
public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput &) = delete;
    CapturedOutput &operator=(const CapturedOutput &) = delete;
    // Ends the capture; the text with line ends as "\n".
    std::string Finish();

private:
    int saved_;
};

}  // namespace e2e
