// The state of the emulated adapter library, shared by its adapter entry points
// (entry_points.cpp) and its test controls (test_controls.cpp): the virtual adapters with their
// supplies, the handles given, what tests asked for, and the logs of calls and transfers.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/emulated_adapter.h"
#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "remote/shared_supplies.h"
#include "transport/adapter_entry_points.h"

namespace emulated_adapter {

// Without the library's name, which MavoZARP puts before it.
inline constexpr const char *kDefaultVersion = "emulated 1.0";
// The serial number buffer a caller passes holds 100 bytes.
inline constexpr size_t kSerialNumberBuffer = 100;

// Statuses, as a real adapter library gives them.
inline constexpr uint32_t kOk = 0;
inline constexpr uint32_t kInvalidHandle = 1;
inline constexpr uint32_t kDeviceNotFound = 2;
inline constexpr uint32_t kAlreadyOpen = 3;
inline constexpr uint32_t kNotSupported = 17;
inline constexpr uint32_t kInvalidArgument = 22;
inline constexpr uint32_t kNotAcknowledged = 30;
// The adapters are the launcher's, and it does not answer (stopped, or gone).
inline constexpr uint32_t kLauncherNotAnswering = 40;

// Handles: far from 0 and from all bits set, and not consecutive, so that a mix-up shows. The
// sequence goes on across resets: a handle is never given twice in a process.
inline constexpr AdapterHandle kFirstHandle = 0x5A00;
inline constexpr AdapterHandle kHandleStep = 0x10;
inline constexpr uint32_t kMaxClockDivisor = 0xFFFF;

// What a test asked of one entry point.
struct EntryPointControl {
    uint32_t calls = 0;
    uint32_t failuresLeft = 0;
    uint32_t failureStatus = 0;
    uint32_t throwsLeft = 0;
};

// A failure a test placed on the stream of transfers, whatever the entry point and handle.
struct TransferFailure {
    uint32_t skip = 0;  // transfers still to pass before the failures
    uint32_t left = 0;  // transfers still to fail
    uint32_t status = 0;
    bool raises = false;
};

struct StepFailure {
    uint32_t left = 0;
    uint32_t status = 0;
};
constexpr uint32_t kStepCount = EmulatedAdapterModeStep + 1;

struct Adapter {
    std::string description;
    std::string serialNumber;
    uint32_t location = 0;
    bool plugged = true;
    int64_t enumerationRank = 0;       // plugged adapters are enumerated by rising rank
    AdapterHandle openHandle = 0;      // 0 while not open
    AdapterHandle nextOpenHandle = 0;  // the handle a test asked for, 0 for none
    std::array<StepFailure, kStepCount> failures{};
    std::unique_ptr<sim::VirtualSupply> supply = std::make_unique<sim::VirtualSupply>();
    // An adapter the launcher serves: its supply lives there, `supply` is unused.
    bool shared = false;
    uint32_t generation = 0;  // the launcher's, changed by every plug
};

// A handle given by an open. It reaches its adapter while the adapter is plugged and open under
// it; once the adapter was unplugged (and maybe plugged back since) it is dead until closed.
struct HandleRecord {
    uint32_t adapter;
    bool closed = false;
};

// The newest entries of a log that a long run would otherwise grow without end (a tool watching a
// virtual supply for days, a benchmark of a million commands). Entries keep the numbers they were
// given from the first one since the last clear; older ones are forgotten once `kCapacity` newer
// ones follow.
template <class Entry>
class RecentLog {
public:
    static constexpr size_t kCapacity = 65536;

    void Append(const Entry &entry) {
        if (ring_.size() < kCapacity) {
            ring_.push_back(entry);
        } else {
            ring_[count_ % kCapacity] = entry;
        }
        ++count_;
    }
    // Entries appended since the last clear, forgotten ones included.
    uint64_t Count() const { return count_; }
    // The entry with that number; null when forgotten or not yet appended.
    const Entry *Find(uint64_t number) const {
        if (number >= count_ || count_ - number > ring_.size()) return nullptr;
        return &ring_[number % kCapacity];
    }
    void Clear() {
        ring_.clear();
        count_ = 0;
    }

private:
    std::vector<Entry> ring_;
    uint64_t count_ = 0;
};

struct Emulator {
    std::mutex mutex;
    std::string version = kDefaultVersion;
    std::map<std::string, EntryPointControl> controls;
    std::vector<Adapter> adapters;  // by adapter number
    std::map<AdapterHandle, HandleRecord> handles;
    AdapterHandle nextHandle = kFirstHandle;
    TransferFailure transferFailure;
    RecentLog<EmulatedTransfer> transfers;
    RecentLog<EmulatedCall> calls;
    // Set when the environment names a launcher's socket: the adapters are then the launcher's.
    std::unique_ptr<sim::SharedSuppliesClient> sharedSupplies;
};

// The process's emulator, created at the first use with the supplies the environment asks for: a
// launcher's shared supplies, else those of the supply list.
Emulator &State();

// A new adapter, plugged and not open, with a naming of its own; returns its number.
uint32_t Plug(Emulator &emulator, const sim::HeadPreset *preset);

Adapter *FindAdapter(Emulator &emulator, uint32_t number);

// The handle the next open of the adapter gives: the one a test asked for, else a new one.
AdapterHandle NewHandle(Emulator &emulator, Adapter &adapter);

void CopyText(char *to, size_t capacity, const std::string &text);

// The controls act under the emulator's lock.
template <class Action>
auto Controlled(Action action) {
    Emulator &emulator = State();
    std::lock_guard<std::mutex> lock(emulator.mutex);
    return action(emulator);
}

}  // namespace emulated_adapter
