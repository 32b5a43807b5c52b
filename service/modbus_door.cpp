#include "modbus_door.h"

#include "modbus_session.h"

#include <array>
#include <bitset>
#include <iostream>
#include <mutex>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

ModbusOutcome OutcomeOf(BatchOutcome outcome) {
    switch (outcome) {
        case BatchOutcome::Busy:
            return ModbusOutcome::Busy;
        case BatchOutcome::Gone:
            return ModbusOutcome::Gone;
        case BatchOutcome::Ran:
            break;
    }
    return ModbusOutcome::Ran;
}

// A value beyond the device's limits is the client's to mend, as one the head refuses; a setting
// the audit log cannot record is refused as the device failing.
ModbusOutcome OutcomeOf(const Refusal &refusal) {
    if (refusal.error == "limit") return ModbusOutcome::LimitRefused;
    if (refusal.error == "audit") return ModbusOutcome::AuditRefused;
    return ModbusOutcome::WriteRefused;
}

// A device as a unit while it is served: its requests pass the gate as the Modbus door's, from
// the client that sent them. Readings are each read whatever became of the one before (a head
// lacks some); settings stop at the first that fails, as the exception then tells.
class DeviceUnit final : public ModbusUnit {
public:
    DeviceUnit(CommandGate &gate, std::shared_ptr<ServedDevice> device) : gate_(gate), device_(std::move(device)) {}

    void Submit(std::vector<std::string> commands, bool changesSettings, const std::string &client,
                Done done) override {
        CommandBatch batch{std::move(commands), changesSettings ? BatchMode::UntilFailure : BatchMode::Every};
        gate_.Submit({.door = Door::Modbus, .address = client, .token = std::nullopt}, device_, std::move(batch),
                     [done = std::move(done)](GateAnswer answer) {
                         if (answer.refusal) return done(OutcomeOf(*answer.refusal), {});
                         done(OutcomeOf(answer.result.outcome), std::move(answer.result.exchanges));
                     });
    }

private:
    CommandGate &gate_;
    const std::shared_ptr<ServedDevice> device_;
};

}  // namespace

struct ModbusDoor::Impl : std::enable_shared_from_this<Impl> {
    EventLoop &loop;
    CommandGate &gate;
    const ModbusDoorOptions options;
    const std::string libraryVersion = LibraryVersionNumber();  // asked once, away from the loop
    std::shared_ptr<Listener> listener;

    // Registry watchers call from any thread, sessions from the loop.
    mutable std::mutex mutex;
    std::map<std::string, uint8_t> units;  // by device id, never taken back
    std::bitset<kLastModbusUnit + 1> given;
    std::array<std::shared_ptr<DeviceUnit>, kLastModbusUnit + 1> served;  // by unit id, while present

    Impl(EventLoop &loop, CommandGate &gate, ModbusDoorOptions options)
        : loop(loop), gate(gate), options(std::move(options)) {
        for (const auto &[id, unit] : this->options.pinnedUnits) Give(id, unit);
        for (const std::string &id : this->options.configured) UnitOf(id);
    }

    void Give(const std::string &id, uint8_t unit) {
        units[id] = unit;
        given.set(unit);
    }

    // The device's unit, given now when it has none: the lowest free one. Under the mutex, or
    // while it is made.
    std::optional<uint8_t> UnitOf(const std::string &id) {
        if (const auto known = units.find(id); known != units.end()) return known->second;
        for (unsigned unit = kFirstModbusUnit; unit <= kLastModbusUnit; ++unit) {
            if (given.test(unit)) continue;
            Give(id, static_cast<uint8_t>(unit));
            return static_cast<uint8_t>(unit);
        }
        return std::nullopt;
    }

    std::shared_ptr<ModbusUnit> Find(uint8_t unit) const {
        std::lock_guard lock(mutex);
        return unit < served.size() ? served[unit] : nullptr;
    }

    // An admitted connection: a session whose idleness and end its seat follows.
    void Admitted(tcp::socket socket, const std::string &address, ListenerSeat admitted) {
        auto seat = std::make_shared<ListenerSeat>(std::move(admitted));
        ModbusSessionOptions session;
        session.findUnit = [weak = weak_from_this()](uint8_t unit) -> std::shared_ptr<ModbusUnit> {
            const auto self = weak.lock();
            return self ? self->Find(unit) : nullptr;
        };
        session.writesAllowed = gate.MayChangeSettings({.door = Door::Modbus, .address = address, .token = std::nullopt});
        session.client = address;
        session.libraryVersion = libraryVersion;
        session.idleChanged = [seat](bool idle) { seat->SetIdle(idle); };
        session.closed = [seat] { seat->Leave(); };
        auto connection = std::make_shared<ModbusSession>(std::move(socket), std::move(session));
        seat->OnDismiss([weak = std::weak_ptr<ModbusSession>(connection)] {
            if (const auto self = weak.lock()) self->Close();
        });
        connection->Start();
    }
};

ModbusDoor::ModbusDoor(EventLoop &loop, CommandGate &gate, ModbusDoorOptions options)
    : impl_(std::make_shared<Impl>(loop, gate, std::move(options))) {}

ModbusDoor::~ModbusDoor() { impl_->loop.Stop(); }

uint16_t ModbusDoor::Listen() {
    Impl &impl = *impl_;
    // Modbus has no word for "no room": a connection that finds none is closed untold.
    impl.listener = std::make_shared<Listener>(
        impl.loop.Context(), ListenerOptions{.bounds = impl.options.connections, .mostRefused = 0},
        [weak = std::weak_ptr<Impl>(impl_)](tcp::socket socket, const std::string &address, ListenerSeat seat) {
            if (const auto self = weak.lock()) self->Admitted(std::move(socket), address, std::move(seat));
        },
        nullptr);
    const uint16_t port = impl.listener->Listen(impl.options.address, impl.options.port);
    impl.loop.AtStop([listener = impl.listener] { listener->Close(); });
    impl.listener->StartAccepting();
    return port;
}

void ModbusDoor::DeviceChanged(const std::shared_ptr<ServedDevice> &device, bool arrived) {
    std::lock_guard lock(impl_->mutex);
    const std::optional<uint8_t> unit = impl_->UnitOf(device->Id());
    if (!unit) {
        if (arrived) {
            std::cerr << "mavozarp serve: " << device->Id() << ": no Modbus unit (all of " << int{kFirstModbusUnit}
                      << " to " << int{kLastModbusUnit} << " are given)\n";
        }
        return;
    }
    impl_->served[*unit] = arrived ? std::make_shared<DeviceUnit>(impl_->gate, device) : nullptr;
}

std::map<std::string, uint8_t> ModbusDoor::Units() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->units;
}
