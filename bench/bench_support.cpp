#include "bench_support.h"

#include "bus/head_presets.h"
#include "bus/virtual_supply.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <fstream>
#include <map>
#include <stdexcept>

namespace bench {

namespace {

void *Open(const char *path) {
    // Local: two copies of the library, each keeping its own symbols and state.
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) throw std::runtime_error(std::string("cannot load ") + dlerror());
    return module;
}

template <class Function>
Function Symbol(void *module, const char *name) {
    void *symbol = dlsym(module, name);
    if (symbol == nullptr) throw std::runtime_error(std::string("no entry point ") + name);
    return reinterpret_cast<Function>(symbol);
}

// Standard output set aside for as long as the object lives.
class QuietStandardOutput {
public:
    QuietStandardOutput() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (nowhere >= 0) {
            dup2(nowhere, STDOUT_FILENO);
            close(nowhere);
        }
    }
    ~QuietStandardOutput() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
    }
    QuietStandardOutput(const QuietStandardOutput &) = delete;
    QuietStandardOutput &operator=(const QuietStandardOutput &) = delete;

private:
    int saved_ = -1;
};

size_t shortRunDivisor = 1;

}  // namespace

Library::Library(const char *path) {
    // The emulated adapter library comes first: a copy looking for it by name then finds it.
    Emulator();
    void *module = Open(path);
    CheckForDevices = Symbol<decltype(CheckForDevices)>(module, "MavoZARP_CheckForDevices");
    InitializeHandle = Symbol<decltype(InitializeHandle)>(module, "MavoZARP_InitializeHandle");
    SendCommand = Symbol<decltype(SendCommand)>(module, "MavoZARP_SendCommand");
    Close = Symbol<decltype(Close)>(module, "MavoZARP_Close");
    OpenSerialPort = Symbol<decltype(OpenSerialPort)>(module, "MavoZARP_OpenSerialPort");
}

int32_t Library::InitializeQuietly(MavoZARP_Handle device, std::string &headType) const {
    char type[MAVOZARP_BUFFER_SIZE] = {};
    int32_t status = 0;
    {
        QuietStandardOutput quiet;
        status = InitializeHandle(device, type);
    }
    headType = type;
    return status;
}

const char *NameOf(SerialWait wait) {
    return wait == SerialWait::Descriptor ? "descriptor_wait" : "looking_wait";
}

Library &LibraryWith(SerialWait wait) {
    // Loaded once and never unloaded, like a host keeps a library.
    static Library *const shipped = new Library(MAVOZARP_LIBRARY_PATH);
    static Library *const looking = new Library(MAVOZARP_LOOKING_WAIT_LIBRARY_PATH);
    return wait == SerialWait::Descriptor ? *shipped : *looking;
}

const EmulatedAdapter &Emulator() {
    static const EmulatedAdapter *const emulator = [] {
        // Global, so that the library's load by plain name finds this module.
        void *module = dlopen(EMULATED_ADAPTER_PATH, RTLD_NOW | RTLD_GLOBAL);
        if (module == nullptr) throw std::runtime_error(std::string("cannot load ") + dlerror());
        auto *loaded = new EmulatedAdapter{
            Symbol<EmulatedAdapter_ResetFn>(module, "EmulatedAdapter_Reset"),
            Symbol<EmulatedAdapter_PlugSupplyFn>(module, "EmulatedAdapter_PlugSupply"),
            Symbol<EmulatedAdapter_OpenHandleFn>(module, "EmulatedAdapter_OpenHandle"),
            Symbol<EmulatedAdapter_TransferCountFn>(module, "EmulatedAdapter_TransferCount"),
            Symbol<EmulatedAdapter_GetTransferFn>(module, "EmulatedAdapter_GetTransfer"),
            Symbol<I2C_ReadFn>(module, "I2C_Read"),
            Symbol<I2C_ReadFn>(module, "I2C_ReadAlt"),
            Symbol<I2C_WriteFn>(module, "I2C_Write"),
        };
        // Supplies named in the shell's environment would only get in the way.
        loaded->Reset();
        return loaded;
    }();
    return *emulator;
}

uint32_t EmulatedAdapter::Replay(const EmulatedTransfer &transfer) const {
    // The constants every transfer of the library carries (1, 20 and the read type 2; a write of
    // one byte is type 1 with pages {1, 32}, of more bytes type 2 with one page of them all).
    uint8_t control[8];
    std::copy(std::begin(transfer.control), std::end(transfer.control), control);
    uint8_t data[16];
    std::copy(std::begin(transfer.data), std::end(transfer.data), data);
    const std::string entryPoint = transfer.entryPoint;
    if (entryPoint == "I2C_Write") {
        PageWriteRecord page = transfer.dataCount == 1 ? PageWriteRecord{1, 32}
                                                       : PageWriteRecord{1, transfer.dataCount};
        return Write(transfer.handle, control, transfer.controlCount, 1, 20, 1,
                     transfer.dataCount == 1 ? 1 : 2, data, transfer.dataCount, 1, 20, &page);
    }
    const I2C_ReadFn read = entryPoint == "I2C_ReadAlt" ? ReadAlt : Read;
    return read(transfer.handle, control, transfer.controlCount, 1, 20, 2, data,
                transfer.dataCount);
}

MavoZARP_Handle AdapterSupply(const std::string &preset) {
    static std::map<std::string, MavoZARP_Handle> *const found =
        new std::map<std::string, MavoZARP_Handle>;
    if (const auto known = found->find(preset); known != found->end()) return known->second;

    const EmulatedAdapter &emulator = Emulator();
    const uint32_t adapter = emulator.PlugSupply(preset.c_str());
    if (adapter == EMULATED_ADAPTER_NONE) throw std::runtime_error("no head preset " + preset);
    Library &library = ShippedLibrary();
    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES], added[MAVOZARP_MAX_DEVICES],
        removed[MAVOZARP_MAX_DEVICES];
    int32_t allCount = 0, addedCount = 0, removedCount = 0;
    if (library.CheckForDevices(all, &allCount, added, &addedCount, removed, &removedCount) != 0) {
        throw std::runtime_error("discovery failed");
    }
    const auto device = static_cast<MavoZARP_Handle>(emulator.OpenHandle(adapter));
    std::string headType;
    if (device == 0 || library.InitializeQuietly(device, headType) != 0) {
        throw std::runtime_error("no head on the supply with " + preset);
    }
    (*found)[preset] = device;
    return device;
}

BridgeSupply::BridgeSupply(const std::string &preset, Library &library) : library_(library) {
    const sim::HeadPreset *found = sim::FindHeadPreset(preset);
    if (found == nullptr) throw std::runtime_error("no head preset " + preset);
    bridge_.WithBus([&](sim::I2cBus &bus) {
        // The parts stay on the bridge's bus, which owns them.
        sim::VirtualSupply parts(bus);
        found->apply(parts);
    });
    if (library_.OpenSerialPort(bridge_.Line().Path().c_str(), &device_) != 0) {
        throw std::runtime_error("no bridge found on " + bridge_.Line().Path());
    }
    std::string headType;
    if (library_.InitializeQuietly(device_, headType) != 0) {
        library_.Close(device_);
        throw std::runtime_error("no head found behind the bridge with " + preset);
    }
}

BridgeSupply::~BridgeSupply() { library_.Close(device_); }

std::string ReplyText(const char *reply) {
    std::string text(reply);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

size_t ResidentKilobytes() {
    // statm: total program size, then resident pages.
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

size_t ShortRunDivisor() { return shortRunDivisor; }

void SetShortRun(bool shortRun) { shortRunDivisor = shortRun ? 100 : 1; }

}  // namespace bench
