// What the benchmarks share: copies of the library loaded by path and reached through their six
// exports as a host reaches them, the emulated adapter library with its log, heads on virtual
// supplies, and the process's resident memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "MavoZARP.h"
#include "adapter/emulated_adapter.h"
#include "serial/bridge_emulator.h"

namespace bench {

// A copy of the library loaded from `path`, with its own process-wide state.
class Library {
public:
    explicit Library(const char *path);  // throws std::runtime_error

    decltype(&MavoZARP_CheckForDevices) CheckForDevices;
    decltype(&MavoZARP_InitializeHandle) InitializeHandle;
    decltype(&MavoZARP_SendCommand) SendCommand;
    decltype(&MavoZARP_Close) Close;
    decltype(&MavoZARP_OpenSerialPort) OpenSerialPort;

    // InitializeHandle without its two diagnostic lines on the benchmark's output. The head type
    // goes to `headType`.
    int32_t InitializeQuietly(MavoZARP_Handle device, std::string &headType) const;
};

// The two ways of waiting for a serial reply, side by side in one process.
enum class SerialWait {
    Descriptor,  // the library as shipped: sleeps on the port until input comes
    Looking,     // the benchmarks' copy built with the former wait: a look every millisecond
};
const char *NameOf(SerialWait wait);
Library &LibraryWith(SerialWait wait);
inline Library &ShippedLibrary() { return LibraryWith(SerialWait::Descriptor); }

// The emulated adapter library, loaded before either copy of the library looks for it by name,
// and its controls.
struct EmulatedAdapter {
    EmulatedAdapter_ResetFn Reset;
    EmulatedAdapter_PlugSupplyFn PlugSupply;
    EmulatedAdapter_OpenHandleFn OpenHandle;
    EmulatedAdapter_TransferCountFn TransferCount;
    EmulatedAdapter_GetTransferFn GetTransfer;
    I2C_ReadFn Read;
    I2C_ReadFn ReadAlt;
    I2C_WriteFn Write;

    // Sends one logged transfer to the emulator again, as the library sent it.
    uint32_t Replay(const EmulatedTransfer &transfer) const;
};
const EmulatedAdapter &Emulator();

// The shipped library's handle of an adapter supply carrying the head preset, found by discovery
// and initialised on first use. Throws std::runtime_error when that fails.
MavoZARP_Handle AdapterSupply(const std::string &preset);

// A supply with the head preset's parts behind the bridge emulator on a pseudo-terminal (served
// by the emulator's thread), opened and identified by a copy of the library, closed with this
// object. Throws std::runtime_error when the library does not find the head.
class BridgeSupply {
public:
    BridgeSupply(const std::string &preset, Library &library);
    ~BridgeSupply();
    BridgeSupply(const BridgeSupply &) = delete;
    BridgeSupply &operator=(const BridgeSupply &) = delete;

    MavoZARP_Handle Device() const { return device_; }
    sim::PtyEndpoint &Line() { return bridge_.Line(); }

private:
    sim::BridgeEmulator bridge_;
    Library &library_;
    MavoZARP_Handle device_ = 0;
};

// A reply without its line end.
std::string ReplyText(const char *reply);

// Resident memory of the process in kilobytes (/proc/self/statm).
size_t ResidentKilobytes();

// Benchmarks that run a fixed number of commands divide it by this (--short: for valgrind).
size_t ShortRunDivisor();
void SetShortRun(bool shortRun);
inline size_t Scaled(size_t iterations) {
    return iterations / ShortRunDivisor() > 0 ? iterations / ShortRunDivisor() : 1;
}

}  // namespace bench
