// The USB side of the adapter library's test build: every virtual supply sits behind a modelled
// FT232H whose MPSSE engine drives the supply's bus bit by bit. Supplies come from the emulated
// adapter library's environment variable, or from the test controls it shares with that library
// (reset, plug, unplug, the handle an adapter is open under), so the same suites run over both.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/emulated_adapter.h"
#include "bus/adapter_supply_list.h"
#include "bus/bit_level_i2c.h"
#include "bus/head_presets.h"
#include "bus/virtual_supply.h"
#include "ftdi/adapter_handles.h"
#include "ftdi/usb_link.h"
#include "mpsse/mpsse_engine.h"

namespace {

using ftdi_adapter::Status;

constexpr const char *kDefaultDescription = "ZARP Power Supply A";
constexpr uint8_t kModelBus = 1;
// A hub level holds this many ports; adapters fill one hub after another.
constexpr unsigned kPortsPerHub = 15;

struct ModelDevice {
    std::string description = kDefaultDescription;
    std::string serialNumber;
    uint32_t location = 0;
    bool plugged = true;
    // Raised at every unplug: a link opened before stays dead.
    unsigned generation = 0;
    // Command writes still to pass before the adapter is pulled out mid-transfer; -1 for never.
    int64_t sendsBeforeUnplug = -1;
    int64_t rank = 0;
    sim::VirtualSupply supply;
    sim::BitLevelI2c wire{supply.Bus()};
    sim::MpsseEngine engine{wire};
    const ftdi_adapter::MpsseLink *openLink = nullptr;  // null while not open
};

struct Model {
    std::mutex mutex;
    std::vector<std::shared_ptr<ModelDevice>> devices;  // by adapter number
};

void Unplug(ModelDevice &device) {
    if (device.plugged) ++device.generation;
    device.plugged = false;
}

uint32_t Plug(Model &model, const sim::HeadPreset *preset) {
    const auto number = static_cast<uint32_t>(model.devices.size());
    auto device = std::make_shared<ModelDevice>();
    device->rank = number;
    device->serialNumber = "ZV" + std::to_string(1001 + number);
    device->location = ftdi_adapter::LocationOf(
        kModelBus,
        {static_cast<uint8_t>(number / kPortsPerHub + 1),
         static_cast<uint8_t>(number % kPortsPerHub + 1)},
        1);
    if (preset != nullptr) preset->apply(device->supply);
    model.devices.push_back(std::move(device));
    return number;
}

void PlugConfiguredSupplies(Model &model) {
    const char *configured = std::getenv(sim::kAdapterSupplyListVariable);
    if (configured == nullptr) return;
    const sim::AdapterSupplyList list = sim::ParseAdapterSupplyList(configured);
    for (const sim::AdapterSupplyProblem &problem : list.problems) {
        std::fprintf(stderr, "MPSSE model: %s entry \"%s\" left out: %s\n",
                     sim::kAdapterSupplyListVariable, problem.entry.c_str(),
                     problem.reason.c_str());
    }
    for (const sim::AdapterSupplyEntry &entry : list.entries) {
        ModelDevice &device = *model.devices[Plug(model, sim::FindHeadPreset(entry.preset))];
        device.description = entry.description.value_or(device.description);
        device.serialNumber = entry.serialNumber.value_or(device.serialNumber);
        device.location = entry.location.value_or(device.location);
    }
}

Model &State() {
    static Model *model = [] {
        auto *created = new Model;
        PlugConfiguredSupplies(*created);
        return created;
    }();
    return *model;
}

class ModelLink : public ftdi_adapter::MpsseLink {
public:
    explicit ModelLink(std::shared_ptr<ModelDevice> device)
        : device_(std::move(device)), generation_(device_->generation) {}
    ~ModelLink() override {
        std::lock_guard<std::mutex> lock(State().mutex);
        if (device_->openLink == this) device_->openLink = nullptr;
    }

    Status ResetEngine() override {
        return OnEngine([](sim::MpsseEngine &engine) {
            engine.Reset();
            return Status::kOk;
        });
    }

    Status Send(const std::vector<uint8_t> &commands) override {
        return OnEngine([&](sim::MpsseEngine &engine) {
            if (device_->sendsBeforeUnplug == 0) {
                device_->sendsBeforeUnplug = -1;
                Unplug(*device_);
                return Status::kUsbFailure;
            }
            if (device_->sendsBeforeUnplug > 0) --device_->sendsBeforeUnplug;
            try {
                engine.Execute(commands.data(), commands.size());
                return Status::kOk;
            } catch (const sim::MpsseRefusal &refusal) {
                std::fprintf(stderr, "%s\n", refusal.what());
                return Status::kEngineOutOfStep;
            }
        });
    }

    // The model answers at once: what is not there now never comes.
    Status Receive(uint8_t *answer, size_t count, uint32_t) override {
        return OnEngine([&](sim::MpsseEngine &engine) {
            return engine.TakeAnswer(answer, count) == count ? Status::kOk
                                                             : Status::kAdapterTimedOut;
        });
    }

private:
    // The engine while the device is plugged since the link was opened; else the USB failure an
    // unplugged device gives.
    template <class Work>
    Status OnEngine(Work work) {
        std::lock_guard<std::mutex> lock(State().mutex);
        if (!device_->plugged || device_->generation != generation_) return Status::kUsbFailure;
        return work(device_->engine);
    }

    std::shared_ptr<ModelDevice> device_;
    unsigned generation_;
};

class ModelBackend : public ftdi_adapter::UsbBackend {
public:
    std::string Name() const override { return "an MPSSE engine model"; }

    Status Enumerate(std::vector<ftdi_adapter::UsbDevice> &found) override {
        Model &model = State();
        std::lock_guard<std::mutex> lock(model.mutex);
        std::vector<const ModelDevice *> plugged;
        for (const auto &device : model.devices) {
            if (device->plugged) plugged.push_back(device.get());
        }
        std::stable_sort(
            plugged.begin(), plugged.end(),
            [](const ModelDevice *a, const ModelDevice *b) { return a->rank < b->rank; });
        for (const ModelDevice *device : plugged) {
            found.push_back({.description = device->description,
                             .serialNumber = device->serialNumber,
                             .location = device->location,
                             .chip = ftdi_adapter::Chip::kFt232H});
        }
        return Status::kOk;
    }

    Status Open(const ftdi_adapter::UsbDevice &wanted,
                std::unique_ptr<ftdi_adapter::MpsseLink> &link) override {
        Model &model = State();
        std::lock_guard<std::mutex> lock(model.mutex);
        for (const auto &device : model.devices) {
            if (!device->plugged || device->location != wanted.location ||
                device->serialNumber != wanted.serialNumber) {
                continue;
            }
            if (device->openLink != nullptr) return Status::kAlreadyOpen;
            link = std::make_unique<ModelLink>(device);
            device->openLink = link.get();
            return Status::kOk;
        }
        return Status::kDeviceNotFound;
    }
};

template <class Action>
auto Controlled(Action action) {
    Model &model = State();
    std::lock_guard<std::mutex> lock(model.mutex);
    return action(model);
}

}  // namespace

namespace ftdi_adapter {

UsbBackend &Backend() {
    static ModelBackend *backend = new ModelBackend;
    return *backend;
}

}  // namespace ftdi_adapter

// ---- the test controls shared with the emulated adapter library ---------------------------------

extern "C" {

EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_Reset() {
    Controlled([](Model &model) {
        for (const auto &device : model.devices) Unplug(*device);
        model.devices.clear();
    });
}

// The version names this implementation; a test cannot change it.
EMULATED_ADAPTER_EXPORT void MAVOZARP_CALL EmulatedAdapter_SetVersion(const char *text) {
    std::fprintf(stderr, "MPSSE model: the version text stays; \"%s\" not taken\n",
                 text == nullptr ? "" : text);
}

EMULATED_ADAPTER_EXPORT uint32_t MAVOZARP_CALL EmulatedAdapter_PlugSupply(const char *preset) {
    const bool withPreset = preset != nullptr && preset[0] != '\0';
    const sim::HeadPreset *found = withPreset ? sim::FindHeadPreset(preset) : nullptr;
    if (withPreset && found == nullptr) return EMULATED_ADAPTER_NONE;
    return Controlled([&](Model &model) { return Plug(model, found); });
}

EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL EmulatedAdapter_SetPlugged(uint32_t adapter,
                                                                         int32_t plugged) {
    return Controlled([&](Model &model) {
        if (adapter >= model.devices.size()) return -1;
        ModelDevice &device = *model.devices[adapter];
        // Back in, the adapter is a new device: the link it had stays dead, and it can be opened
        // anew.
        if (plugged == 0) {
            Unplug(device);
        } else if (!device.plugged) {
            device.openLink = nullptr;
            device.plugged = true;
        }
        return 0;
    });
}

// Also the dead handle of an unplugged adapter, until it is closed or the adapter plugged back.
EMULATED_ADAPTER_EXPORT AdapterHandle MAVOZARP_CALL EmulatedAdapter_OpenHandle(uint32_t adapter) {
    // The link is looked up under the model's lock and the handle under the library's, never
    // both at once: the entry points take the library's lock first.
    const ftdi_adapter::MpsseLink *link = Controlled([&](Model &model) {
        return adapter < model.devices.size() ? model.devices[adapter]->openLink : nullptr;
    });
    return link == nullptr ? 0 : ftdi_adapter::HandleOfLink(link);
}

// The adapter is pulled out at its `sends`-th command write from now (0: the next one), in the
// middle of whatever transfer that write belongs to. 0, or -1 for an unknown adapter.
EMULATED_ADAPTER_EXPORT int32_t MAVOZARP_CALL MpsseModel_UnplugAfterSends(uint32_t adapter,
                                                                          uint32_t sends) {
    return Controlled([&](Model &model) {
        if (adapter >= model.devices.size()) return -1;
        model.devices[adapter]->sendsBeforeUnplug = sends;
        return 0;
    });
}

}  // extern "C"
