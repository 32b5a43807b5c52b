// A Modbus request as the device sees it: decoded and checked, it becomes a plan, the commands of
// the language to send (the queries of the registers asked for, or the settings written) and
// what turns their results into the answer. How and where the commands run is the door's affair:
// the plan takes their results back as (status, reply), with the service's own conditions.
#pragma once

#include "modbus_register_map.h"

#include "client/device.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The exception codes the server answers with.
enum class ModbusException : uint8_t {
    IllegalFunction = 0x01,     // a function not served; any write when writing is not allowed
    IllegalDataAddress = 0x02,  // outside the map, a gap, half a float32; a setting the head lacks
    IllegalDataValue = 0x03,    // a malformed request; a value the head refuses, NaN or infinite
    DeviceFailure = 0x04,       // the device failed: its status is at input register 200
    DeviceBusy = 0x06,          // the device was busy past the door's patience
    GatewayTargetFailed = 0x0B,  // no device under this unit id, or it left
};

// How the door's attempt to run a plan's commands ended.
enum class ModbusOutcome : uint8_t {
    Ran,           // the commands ran; their results may end after a failing one
    Busy,          // the device stayed busy past the door's patience
    Gone,          // the device left the service
    WriteRefused,  // the settings were not allowed
    LimitRefused,  // a setting beyond the device's limits
    AuditRefused,  // the audit log could not record the settings
};

// What the door knows of the unit when a request arrives.
struct ModbusUnitContext {
    bool writesAllowed = false;       // control is allowed and the client may write (else 01)
    int32_t libraryStatus = 0;        // the status the unit's latest request ended with
    std::string_view libraryVersion;  // "2.1.0"
};

struct ModbusAnswer {
    std::vector<uint8_t> pdu;
    // The status to keep for input register 200: the library's status that made the answer an
    // exception, or 0 when the device answered; nothing when the device was not asked.
    std::optional<int32_t> libraryStatus;
};

class ModbusPlan {
public:
    // Sent in this order; none when the answer needs no device.
    const std::vector<std::string> &Commands() const { return commands_; }
    bool ChangesSettings() const { return kind_ == Kind::Write; }
    // `results` holds one per command run, in order.
    ModbusAnswer Answer(ModbusOutcome outcome, std::span<const Exchange> results) const;

private:
    friend ModbusPlan PlanModbusRequest(std::span<const uint8_t> pdu, const ModbusUnitContext &unit);
    enum class Kind : uint8_t { Fixed, ReadBits, ReadRegisters, Write, Identify };
    static constexpr size_t kNoCommand = SIZE_MAX;
    template <typename Item>
    struct Slot {
        const Item *item;
        size_t command;  // index of the command that reads it, or kNoCommand
    };

    // Each fills the plan in from its request, or gives the exception that refuses it.
    std::optional<ModbusException> Plan(std::span<const uint8_t> pdu);
    std::optional<ModbusException> PlanIdentification(std::span<const uint8_t> pdu);
    size_t CommandFor(const char *command);
    std::vector<uint8_t> Bits(std::span<const Exchange> results) const;
    std::vector<uint8_t> Registers(std::span<const Exchange> results) const;
    std::vector<uint8_t> Identification(std::span<const Exchange> results) const;

    Kind kind_ = Kind::Fixed;
    uint8_t function_ = 0;
    uint8_t identificationCode_ = 0;
    std::vector<uint8_t> fixed_;  // Fixed: the answer; Write: the answer once the settings took
    std::vector<std::string> commands_;
    std::vector<Slot<ModbusEntry>> entries_;
    std::vector<Slot<IdentificationObject>> objects_;
    int32_t libraryStatus_ = 0;
    std::string libraryVersion_;
};

// The plan of one request's PDU.
ModbusPlan PlanModbusRequest(std::span<const uint8_t> pdu, const ModbusUnitContext &unit);

// The exception answer to a function.
std::vector<uint8_t> ModbusExceptionPdu(uint8_t function, ModbusException code);
