#include "modbus_register_map.h"

#include <algorithm>

namespace {

using enum ModbusTable;
using enum ModbusValue;

// By table, then address. Blocks run without gaps, so that a PLC reads a whole group in one
// request: measurements, drives, set points and hours from input register 0, the words from 100.
constexpr ModbusEntry kMap[] = {
    {.table = Coils, .address = 0, .value = State, .query = "?KSWCMD", .setting = "KSWCMD="},
    {.table = Coils, .address = 1, .value = State, .query = "?SHCMD", .setting = "SHCMD="},
    {.table = Coils, .address = 2, .value = State, .query = "?ANACMD", .setting = "ANACMD="},
    {.table = Coils, .address = 3, .value = State, .query = "?REM", .setting = "REM="},
    {.table = Coils, .address = 4, .value = State, .query = "?CMODECMD", .setting = "CMODECMD="},

    {.table = DiscreteInputs, .address = 0, .value = State, .query = "?L"},
    {.table = DiscreteInputs, .address = 1, .value = State, .query = "?SH"},
    {.table = DiscreteInputs, .address = 2, .value = State, .query = "?KSW"},
    {.table = DiscreteInputs, .address = 3, .value = State, .query = "?INT"},
    {.table = DiscreteInputs, .address = 4, .value = State, .query = "?FAN"},
    {.table = DiscreteInputs, .address = 5, .value = State, .query = "?ANA"},
    {.table = DiscreteInputs, .address = 6, .value = State, .query = "?CMODE"},
    // The bits of the fault word that some head family defines, lowest first.
    {.table = DiscreteInputs, .address = 100, .value = FaultFlag, .query = "?FF", .faultBit = 0x0008},
    {.table = DiscreteInputs, .address = 101, .value = FaultFlag, .query = "?FF", .faultBit = 0x0010},
    {.table = DiscreteInputs, .address = 102, .value = FaultFlag, .query = "?FF", .faultBit = 0x0020},
    {.table = DiscreteInputs, .address = 103, .value = FaultFlag, .query = "?FF", .faultBit = 0x0100},
    {.table = DiscreteInputs, .address = 104, .value = FaultFlag, .query = "?FF", .faultBit = 0x0200},
    {.table = DiscreteInputs, .address = 105, .value = FaultFlag, .query = "?FF", .faultBit = 0x1000},
    {.table = DiscreteInputs, .address = 106, .value = FaultFlag, .query = "?FF", .faultBit = 0x2000},
    {.table = DiscreteInputs, .address = 107, .value = FaultFlag, .query = "?FF", .faultBit = 0x4000},
    {.table = DiscreteInputs, .address = 108, .value = FaultFlag, .query = "?FF", .faultBit = 0x8000},

    {.table = InputRegisters, .address = 0, .value = Float32, .query = "?P"},
    {.table = InputRegisters, .address = 2, .value = Float32, .query = "?C"},
    {.table = InputRegisters, .address = 4, .value = Float32, .query = "?TMAIN"},
    {.table = InputRegisters, .address = 6, .value = Float32, .query = "?TBRF"},
    {.table = InputRegisters, .address = 8, .value = Float32, .query = "?TSHG"},
    {.table = InputRegisters, .address = 10, .value = Float32, .query = "?TTHG"},
    {.table = InputRegisters, .address = 12, .value = Float32, .query = "?TETA"},
    {.table = InputRegisters, .address = 14, .value = Float32, .query = "?MAIND"},
    {.table = InputRegisters, .address = 16, .value = Float32, .query = "?BRFD"},
    {.table = InputRegisters, .address = 18, .value = Float32, .query = "?SHGD"},
    {.table = InputRegisters, .address = 20, .value = Float32, .query = "?THGD"},
    {.table = InputRegisters, .address = 22, .value = Float32, .query = "?ETAD"},
    {.table = InputRegisters, .address = 24, .value = Float32, .query = "?TMAINCMD"},
    {.table = InputRegisters, .address = 26, .value = Float32, .query = "?TBRFCMD"},
    {.table = InputRegisters, .address = 28, .value = Float32, .query = "?TSHGCMD"},
    {.table = InputRegisters, .address = 30, .value = Float32, .query = "?TTHGCMD"},
    {.table = InputRegisters, .address = 32, .value = Float32, .query = "?TETACMD"},
    {.table = InputRegisters, .address = 34, .value = Float32, .query = "?PLIM"},
    {.table = InputRegisters, .address = 36, .value = Float32, .query = "?CLIM"},
    {.table = InputRegisters, .address = 38, .value = Float32, .query = "?HH"},
    {.table = InputRegisters, .address = 40, .value = Float32, .query = "?EEH"},
    {.table = InputRegisters, .address = 42, .value = Float32, .query = "?WAVELENGTH"},
    {.table = InputRegisters, .address = 100, .value = Word, .query = "?FF"},
    {.table = InputRegisters, .address = 101, .value = Word, .query = "?PSDIO"},
    {.table = InputRegisters, .address = 102, .value = Word, .query = "?PSGLUEIN"},
    {.table = InputRegisters, .address = 103, .value = Word, .query = "?PSGLUEOUT"},
    {.table = InputRegisters, .address = 104, .value = Word, .query = "?HEADDIO"},
    {.table = InputRegisters, .address = 105, .value = Word, .query = "?CFG0"},
    {.table = InputRegisters, .address = 106, .value = Word, .query = "?CFG1"},
    {.table = InputRegisters, .address = 107, .value = Word, .query = "?CFG2"},
    {.table = InputRegisters, .address = 108, .value = Word, .query = "?CFG3"},
    {.table = InputRegisters, .address = 200, .value = LibraryStatus},

    {.table = HoldingRegisters, .address = 0, .value = Float32, .query = "?PCMD", .setting = "PCMD="},
    {.table = HoldingRegisters, .address = 2, .value = Float32, .query = "?CCMD", .setting = "CCMD="},
    {.table = HoldingRegisters, .address = 4, .value = Float32, .query = "?PMEM", .setting = "PMEM="},
};

using enum IdentificationSource;

constexpr IdentificationObject kIdentification[] = {
    {.id = 0x00, .name = "VendorName", .source = Vendor},
    {.id = 0x01, .name = "ProductCode (the head type)", .source = Query, .query = "?HTYPE"},
    {.id = 0x02, .name = "MajorMinorRevision (the library's version)", .source = LibraryVersion},
    {.id = 0x05, .name = "ModelName (the laser model)", .source = Query, .query = "?LASERMODEL"},
    {.id = 0x80, .name = "head identifier", .source = Query, .query = "?HID"},
    {.id = 0x81, .name = "head board revision", .source = Query, .query = "?HBDREV"},
    {.id = 0x82, .name = "unit of the power readings and settings", .source = Query,
     .query = "?POWERUNITS"},
};

}  // namespace

unsigned Width(const ModbusEntry &entry) { return entry.value == Float32 ? 2 : 1; }

std::span<const ModbusEntry> ModbusMap() { return kMap; }

std::optional<std::vector<const ModbusEntry *>> ModbusBlock(ModbusTable table, uint32_t first,
                                                            uint32_t count) {
    const auto begin = std::find_if(std::begin(kMap), std::end(kMap), [&](const ModbusEntry &entry) {
        return entry.table == table && entry.address + Width(entry) > first;
    });
    std::vector<const ModbusEntry *> block;
    uint32_t next = first;
    const uint32_t end = first + count;
    for (auto entry = begin; next < end; ++entry) {
        if (entry == std::end(kMap) || entry->table != table || entry->address != next) return {};
        next += Width(*entry);
        if (next > end) return {};  // the block ends inside a float32
        block.push_back(entry);
    }
    return block;
}

std::span<const IdentificationObject> IdentificationObjects() { return kIdentification; }
