#include "suite.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

namespace e2e {

namespace {

LibraryExports exports{};
HostOptions options;
bool adapterWasReset = false;

constexpr HeadModel kHeadModels[] = {
    {"kora-band2", "Kora"}, {"p532", "P532"},     {"picox-640", "PicoX"},
    {"p-nir", "P-NIR"},     {"pico00", "Pico00"}, {"vfk", "VFK"},
    {"vgk", "VGK"},         {"vfn", "VFN"},       {"vgn", "VGN"},
};

constexpr char kCaptureFile[] = "captured-stdout.txt";

template <class Function>
Function As(void *address) {
    return reinterpret_cast<Function>(address);
}

// An adapter control by name; the case fails when the emulated adapter lacks it.
template <class Function>
Function Control(const char *name) {
    void *const address = EmulatedAdapterEntryPoint(name);
    if (address == nullptr) Abort(__FILE__, __LINE__, std::string("no adapter control ") + name);
    return As<Function>(address);
}

std::vector<MavoZARP_Handle> Listed(const MavoZARP_Handle (&list)[MAVOZARP_MAX_DEVICES],
                                    int32_t count, const char *what) {
    if (count < 0 || count > MAVOZARP_MAX_DEVICES) {
        Fail(__FILE__, __LINE__, std::string(what) + " count " + std::to_string(count));
        return {};
    }
    for (int32_t i = count; i < MAVOZARP_MAX_DEVICES; ++i) {
        if (list[i] != 0) Fail(__FILE__, __LINE__, std::string(what) + " entry beyond the count");
    }
    return {list, list + count};
}

}  // namespace

const ExportName kExports[6] = {
    {"MavoZARP_GetDLLVersion", 1}, {"MavoZARP_CheckForDevices", 2},
    {"MavoZARP_InitializeHandle", 3}, {"MavoZARP_SendCommand", 4},
    {"MavoZARP_Close", 5},           {"MavoZARP_OpenSerialPort", 6},
};

LibraryExports ExportsAt(std::span<void *const, 6> addresses) {
    return {As<decltype(LibraryExports::getDllVersion)>(addresses[0]),
            As<decltype(LibraryExports::checkForDevices)>(addresses[1]),
            As<decltype(LibraryExports::initializeHandle)>(addresses[2]),
            As<decltype(LibraryExports::sendCommand)>(addresses[3]),
            As<decltype(LibraryExports::close)>(addresses[4]),
            As<decltype(LibraryExports::openSerialPort)>(addresses[5])};
}

void Configure(const LibraryExports &library, HostOptions host) {
    exports = library;
    options = std::move(host);
}

const LibraryExports &Library() { return exports; }
const HostOptions &Options() { return options; }

std::span<const HeadModel> HeadModels() { return kHeadModels; }

const HeadModel *FindHeadModel(const std::string &preset) {
    for (const HeadModel &model : kHeadModels) {
        if (preset == model.preset) return &model;
    }
    return nullptr;
}

Answer Send(MavoZARP_Handle device, const std::string &command) {
    char reply[MAVOZARP_BUFFER_SIZE];
    std::memset(reply, '#', sizeof reply);
    const int32_t status = exports.sendCommand(device, command.c_str(), reply);
    if (std::memchr(reply, '\0', sizeof reply) == nullptr) {
        Fail(__FILE__, __LINE__, "reply to " + command + " is not terminated");
        return {status, std::string(reply, sizeof reply)};
    }
    return {status, reply};
}

Answer Initialize(MavoZARP_Handle device) {
    char headType[MAVOZARP_BUFFER_SIZE];
    std::memset(headType, '#', sizeof headType);
    const int32_t status = exports.initializeHandle(device, headType);
    if (std::memchr(headType, '\0', sizeof headType) == nullptr) {
        Fail(__FILE__, __LINE__, "head type is not terminated");
        return {status, std::string(headType, sizeof headType)};
    }
    return {status, headType};
}

Answer Version(const char *request) {
    char version[MAVOZARP_BUFFER_SIZE];
    std::memset(version, '#', sizeof version);
    std::snprintf(version, sizeof version, "%s", request);
    const int32_t status = exports.getDllVersion(version);
    if (std::memchr(version, '\0', sizeof version) == nullptr) {
        Fail(__FILE__, __LINE__, "version text is not terminated");
        return {status, std::string(version, sizeof version)};
    }
    return {status, version};
}

Discovery CheckForDevices() {
    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES], added[MAVOZARP_MAX_DEVICES],
        removed[MAVOZARP_MAX_DEVICES];
    // Every entry is written, so what the call leaves shows.
    std::fill(std::begin(all), std::end(all), 7);
    std::fill(std::begin(added), std::end(added), 7);
    std::fill(std::begin(removed), std::end(removed), 7);
    int32_t allCount = -7, addedCount = -7, removedCount = -7;
    const int32_t status =
        exports.checkForDevices(all, &allCount, added, &addedCount, removed, &removedCount);
    if (status != MAVOZARP_STATUS_SUCCESS) return {status, {}, {}, {}};
    return {status, Listed(all, allCount, "all devices"), Listed(added, addedCount, "new devices"),
            Listed(removed, removedCount, "removed devices")};
}

const AdapterControls &Adapter() {
    if (options.adapter != AdapterSetup::Complete) {
        Skip("no complete adapter library beside the host");
    }
    static const AdapterControls controls = {
        Control<decltype(AdapterControls::reset)>("EmulatedAdapter_Reset"),
        Control<decltype(AdapterControls::setVersion)>("EmulatedAdapter_SetVersion"),
        Control<decltype(AdapterControls::plugSupply)>("EmulatedAdapter_PlugSupply"),
        Control<decltype(AdapterControls::setPlugged)>("EmulatedAdapter_SetPlugged"),
        Control<decltype(AdapterControls::openHandle)>("EmulatedAdapter_OpenHandle"),
    };
    return controls;
}

void StartWithoutSupplies() {
    Adapter().reset();
    adapterWasReset = true;
    const Discovery settled = CheckForDevices();
    E2E_REQUIRE(settled.status == MAVOZARP_STATUS_SUCCESS);
    E2E_REQUIRE(settled.all.empty());
}

bool AdapterWasReset() { return adapterWasReset; }

MavoZARP_Handle PlugAndDiscover(const char *preset) {
    const uint32_t adapter = Adapter().plugSupply(preset);
    E2E_REQUIRE(adapter != EMULATED_ADAPTER_NONE);
    const Discovery discovery = CheckForDevices();
    E2E_REQUIRE(discovery.status == MAVOZARP_STATUS_SUCCESS);
    E2E_REQUIRE(discovery.added.size() == 1);
    E2E_CHECK_EQ(static_cast<uintptr_t>(discovery.added[0]), Adapter().openHandle(adapter));
    return discovery.added[0];
}

CapturedOutput::CapturedOutput() : saved_(RedirectStandardOutput(kCaptureFile)) {
    E2E_REQUIRE(saved_ >= 0);
}

CapturedOutput::~CapturedOutput() {
    if (saved_ >= 0) RestoreStandardOutput(saved_);
}

std::string CapturedOutput::Finish() {
    RestoreStandardOutput(std::exchange(saved_, -1));
    std::ifstream in(kCaptureFile);  // text mode: a Windows line end reads as "\n"
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace e2e
