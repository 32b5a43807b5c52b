// The Modbus register map: the readings and settings of the command language at fixed addresses,
// the same for every head, so that a PLC program written for one supply reads any other. It is
// data: the server looks requests up in it, and the reference (docs/modbus.md) is written from it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The four tables of the Modbus data model, with the functions that reach them.
enum class ModbusTable : uint8_t {
    Coils,             // bits, read and written: functions 1, 5, 15
    DiscreteInputs,    // bits, read only: function 2
    InputRegisters,    // 16-bit registers, read only: function 4
    HoldingRegisters,  // 16-bit registers, read and written: functions 3, 6, 16
};

// How an entry's value crosses Modbus.
enum class ModbusValue : uint8_t {
    Float32,        // two registers, IEEE-754 single, high word first; no value: quiet NaN
    Word,           // one register: a hexadecimal reply (a word or a byte), unsigned; no value: 0
    State,          // one bit: whether the decimal reply is not 0; no value: 0
    FaultFlag,      // one bit: `faultBit` of the fault word (?FF); no value: 0
    LibraryStatus,  // one register, signed: the status the unit's latest request ended with
};

struct ModbusEntry {
    ModbusTable table;
    uint16_t address;
    ModbusValue value;
    const char *query = nullptr;    // the command that reads it; nullptr for LibraryStatus
    const char *setting = nullptr;  // the set command that writes it ("PCMD="); nullptr: read-only
    uint16_t faultBit = 0;          // FaultFlag only
};

// The number of addresses an entry covers: registers, or bits.
unsigned Width(const ModbusEntry &entry);

// Every entry, by table and then by address.
std::span<const ModbusEntry> ModbusMap();

// The entries that make up exactly `count` addresses from `first` of a table, in address order;
// nothing when the block covers an address outside the map (a gap) or only half of a float32.
std::optional<std::vector<const ModbusEntry *>> ModbusBlock(ModbusTable table, uint32_t first,
                                                            uint32_t count);

// The objects of function 43/14 (read device identification).
enum class IdentificationSource : uint8_t {
    Vendor,          // the fixed text "MavoZARP"
    Query,           // the reply to `query`
    LibraryVersion,  // the library's version
};

struct IdentificationObject {
    uint8_t id;
    const char *name;  // for a person
    IdentificationSource source;
    const char *query = nullptr;
};

inline constexpr const char *kModbusVendorName = "MavoZARP";

// Every object, by id: the basic ones (0 to 2), the regular ones (3 to 0x7F), the extended ones.
std::span<const IdentificationObject> IdentificationObjects();
