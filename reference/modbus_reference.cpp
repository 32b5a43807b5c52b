// Writes the reference of the Modbus register map (docs/modbus.md) from the map the service
// serves, with the meanings and units of the interpreter's command table and the fault flags of
// the head families. It fails when the map and the language have drifted apart: a command that is
// neither in the map nor said to be left out, a command the language does not know, a fault flag
// of a family that no discrete input carries.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/head_families.h"
#include "interpreter/command_table.h"
#include "service/modbus_register_map.h"
#include "write_page.h"

namespace {

using command_table::kCommands;

// Commands that no address carries, and why.
struct LeftOut {
    const char *command;
    const char *reason;
};

constexpr LeftOut kLeftOut[] = {
    {"MATCH=1",
     "programs the head's stored match values into the supply: a step of commissioning, taken "
     "once by a person who reads its answer (which of the four quantities were not programmed); "
     "a write to a coil could not give that answer back"},
};

struct Drift : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const command_table::Command &CommandOf(const char *text) {
    const auto found = std::find_if(std::begin(kCommands), std::end(kCommands), [&](const auto &command) {
        return std::string(command.text) == text;
    });
    if (found == std::end(kCommands)) {
        throw Drift(std::string("the map names ") + text + ", which the language lacks");
    }
    return *found;
}

bool Carried(const char *text) {
    const auto named = [&](const char *command) { return command != nullptr && std::string(command) == text; };
    return std::any_of(ModbusMap().begin(), ModbusMap().end(),
                       [&](const ModbusEntry &entry) { return named(entry.query) || named(entry.setting); }) ||
           std::any_of(IdentificationObjects().begin(), IdentificationObjects().end(),
                       [&](const IdentificationObject &object) { return named(object.query); }) ||
           std::any_of(std::begin(kLeftOut), std::end(kLeftOut),
                       [&](const LeftOut &left) { return named(left.command); });
}

void CheckCoverage() {
    for (const command_table::Command &command : kCommands) {
        if (!Carried(command.text)) {
            throw Drift(std::string(command.text) + " is neither in the map nor among the commands left out");
        }
    }
    for (const ModbusEntry &entry : ModbusMap()) {
        if (entry.query != nullptr) CommandOf(entry.query);
        if (entry.setting != nullptr) CommandOf(entry.setting);
    }
    for (const HeadFamily *family : HeadFamilies()) {
        for (const FaultFlag &flag : family->faultFlags) {
            if (std::none_of(ModbusMap().begin(), ModbusMap().end(),
                             [&](const ModbusEntry &entry) { return entry.faultBit == flag.bit; })) {
                throw Drift(std::string("no discrete input carries the fault flag ") + flag.name);
            }
        }
    }
}

std::string Hex(unsigned value, int digits = 4) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string Unit(const char *command) {
    const char *unit = CommandOf(command).unit;
    return unit != nullptr ? unit : "";
}

std::string ValueForm(const ModbusEntry &entry) {
    switch (entry.value) {
        case ModbusValue::Float32:
            return "float32";
        case ModbusValue::Word:
            return CommandOf(entry.query).reply == command_table::Reply::Byte ? "unsigned, 0 to 255"
                                                                               : "unsigned 16 bits";
        case ModbusValue::State:
            return "bit";
        case ModbusValue::FaultFlag:
            return "bit " + Hex(entry.faultBit) + " of the fault word";
        case ModbusValue::LibraryStatus:
            return "signed 16 bits";
    }
    return {};
}

std::string Meaning(const ModbusEntry &entry) {
    if (entry.value == ModbusValue::LibraryStatus) {
        return "the library's status that the unit's latest request to the device ended with: 0 when "
               "the device answered, else the status that made the answer exception 03, 02 or 04 "
               "(see docs/commands.md, Status codes)";
    }
    if (entry.value == ModbusValue::FaultFlag) return "set when the fault word has this bit (see below)";
    return CommandOf(entry.query).meaning;
}

void WriteTable(std::ostream &out, ModbusTable table, const char *title) {
    out << "\n## " << title << "\n\n| Address | Value | Reads | Writes | Meaning | Unit |\n|---|---|---|---|---|---|\n";
    for (const ModbusEntry &entry : ModbusMap()) {
        if (entry.table != table) continue;
        out << "| " << entry.address;
        if (Width(entry) == 2) out << '-' << entry.address + 1;
        out << " | " << ValueForm(entry) << " | "
            << (entry.query != nullptr ? std::string("`") + entry.query + "`" : "") << " | "
            << (entry.setting != nullptr ? std::string("`") + entry.setting + "`" : "") << " | " << Meaning(entry)
            << " | " << (entry.query != nullptr ? Unit(entry.query) : "") << " |\n";
    }
}

void WriteFaultFlags(std::ostream &out) {
    out << "\n### What the fault flags mean on each head family\n\n"
           "The simulated head answers a fixed fault word that means nothing.\n\n"
           "| Discrete input | Bit | Name and meaning, by family |\n|---|---|---|\n";
    for (const ModbusEntry &entry : ModbusMap()) {
        if (entry.value != ModbusValue::FaultFlag) continue;
        // The families that give the bit the same name are listed together.
        std::vector<std::pair<const FaultFlag *, std::string>> meanings;
        for (const HeadFamily *family : HeadFamilies()) {
            for (const FaultFlag &flag : family->faultFlags) {
                if (flag.bit != entry.faultBit) continue;
                const auto same = std::find_if(meanings.begin(), meanings.end(), [&](const auto &known) {
                    return std::string(known.first->name) == flag.name;
                });
                if (same == meanings.end()) {
                    meanings.emplace_back(&flag, family->name);
                } else {
                    same->second += std::string(", ") + family->name;
                }
            }
        }
        out << "| " << entry.address << " | " << Hex(entry.faultBit) << " |";
        for (size_t i = 0; i < meanings.size(); ++i) {
            out << (i == 0 ? " " : "; ") << meanings[i].second << ": `" << meanings[i].first->name << "`, "
                << meanings[i].first->meaning;
        }
        out << " |\n";
    }
}

void WriteIdentification(std::ostream &out) {
    out << "\n## Device identification (function 43/14)\n\n"
           "Read device identification, with stream access (codes 1 basic, 2 regular, 3 extended: "
           "each category with those below it) and individual access (code 4); conformity level "
           "0x83. A stream that starts at an object it lacks starts again at object 0; objects that "
           "do not fit one answer follow in the next (more follows 0xFF). A text the head does not "
           "have is empty.\n\n| Object | Name | Value |\n|---|---|---|\n";
    for (const IdentificationObject &object : IdentificationObjects()) {
        out << "| " << Hex(object.id, 2) << " | " << object.name << " | ";
        switch (object.source) {
            case IdentificationSource::Vendor:
                out << "\"" << kModbusVendorName << "\"";
                break;
            case IdentificationSource::Query:
                out << "the reply to `" << object.query << "`";
                break;
            case IdentificationSource::LibraryVersion:
                out << "the library's version number: \"2.1.0\" where `mavozarp version` shows \"MavoZARP 2.1.0\"";
                break;
        }
        out << " |\n";
    }
}

void WriteReference(std::ostream &out) {
    out << R"(# Modbus TCP

<!-- Written by the build (target modbus_reference) from the register map the service serves,
     service/modbus_register_map.cpp, with the meanings of the interpreter's command table and the
     fault flags of client/head_families.cpp; a test checks that this copy is current. Not to be
     edited: change the map, build, and copy build/linux/modbus.md here. -->

PLCs and SCADA systems speak Modbus TCP far more often than HTTP. `mavozarp serve --modbus-port N`
serves every device as a Modbus TCP unit, so that an integrator maps a supply's power, current,
temperatures and faults into a PLC's registers, and sets the power command from its program,
without writing one of their own. The map below is the same on every head and every device.

## Serving

```
mavozarp serve --simulated --port /dev/ttyUSB0 --modbus-port 1502
mbpoll -m tcp -p 1502 -a 1 -0 -t 3:float -B -r 0 -c 3 127.0.0.1    # ?P, ?C, ?TMAIN of unit 1
```

- `--modbus-port N` (or `"modbus_port"` in the configuration file) serves every device as a unit
  on port N, on the instrument sockets' address (loopback unless `--instrument-address` says
  otherwise); 0 takes any free port. The door is off unless asked for. The start-up lines name it:
  `mavozarp serve: Modbus TCP on 127.0.0.1:1502; writes from 10.0.0.0/24` (or `writes refused`).
  Port 502, Modbus's own, is privileged on Linux: a service not run as root takes a port above
  1023 (or the capability `CAP_NET_BIND_SERVICE`).
- Unit ids run from 1 to 247, one per device: first those the configuration file pins, then the
  devices in the order they are configured (the simulated head, then the ports as given), then
  each device as it first arrives (the adapters' supplies). A device keeps its unit while the
  service runs, also when it leaves and comes back; meanwhile its unit answers exception 0B.
  `GET /api/v1/devices` and `/api/v1/devices/ID` show each device's `modbus_unit`.
- `"modbus_units": {"simulated": 7, "/dev/ttyUSB0": 3}` in the configuration file pins units by
  device id. A unit given twice, or one outside 1 to 247, stops the service at its start with the
  reason; a device id not served (yet) keeps its unit for when it comes.
- `--modbus-control ADDRESS[/PREFIX]` (repeatable; `"modbus_control": ["192.168.1.0/24"]` in the
  file, to which the command line adds) names the clients that may write, with `--allow-control`
  (see Security below).
- Windows: `mavozarp.exe serve` serves Modbus the same way.

## Addresses and values

- Addresses are those on the wire, from 0. Tools that count from 1 show each one higher: input
  register 0 is 30001 in the 3xxxx notation, holding register 0 is 40001; `mbpoll` counts from 0
  with `-0`.
- Numbers are IEEE-754 float32 in two registers, high word first (`mbpoll -B`), in the units of the
  command language: power in the head's own unit (device identification object 0x82 names it).
  A reading the head does not have (status -3), or does not have on its board revision (-1.000),
  and a reply that is not a number, read as a quiet NaN (0x7FC00000), so a PLC reads a block the
  same way on every head. A float32 is read and written whole: a block that starts or ends in its
  middle is refused (exception 02).
- Words and bytes are unsigned 16-bit registers; states and flags are bits. A bit or a word the head
  does not have reads 0.
- A block covers only addresses of the map: one that reaches into a gap is refused (exception 02).
  The groups run without gaps, so each is read in one request.
- Writing a holding register pair sends the setting (`PCMD=` and the value) to the device; writing
  a coil sends 1 or 0. Every value of a request is checked before the first setting is sent; the
  settings of one request are then sent in address order, and an exception tells that one of them
  failed (those before it took effect).
)";
    WriteTable(out, ModbusTable::InputRegisters, "Input registers (function 4)");
    WriteTable(out, ModbusTable::HoldingRegisters, "Holding registers (functions 3, 6, 16)");
    out << "\nFunction 6 writes one register, half of a float32: it is refused with exception 02. "
           "Write a setting with function 16, both registers in one request.\n";
    WriteTable(out, ModbusTable::Coils, "Coils (functions 1, 5, 15)");
    WriteTable(out, ModbusTable::DiscreteInputs, "Discrete inputs (function 2)");
    WriteFaultFlags(out);
    WriteIdentification(out);
    out << "\n## Not in the map\n\nThe texts of the language (`?HTYPE`, `?HID`, `?HBDREV`, "
           "`?LASERMODEL`, `?POWERUNITS`) are objects of the device identification above.\n\n";
    for (const LeftOut &left : kLeftOut) out << "- `" << left.command << "` " << left.reason << ".\n";
    out << R"(
## Answers and exceptions

| Exception | When |
|---|---|
| 01 illegal function | a function not served (served: 1, 2, 3, 4, 5, 6, 15, 16, 43/14); every write when writing is not allowed |
| 02 illegal data address | an address outside the map; a block that covers a gap or half a float32; a setting this head does not have (-3) |
| 03 illegal data value | a malformed request or a quantity beyond the protocol's bounds; a value the head refuses (-4); a NaN or an infinite value; a setting beyond the device's limits or one they never allow (docs/service.md, Limits) |
| 04 server device failure | the device failed (any other status): the status is at input register 200 of that unit; the audit log could not record the write (`--audit-log`), which is then not made |
| 06 server device busy | the device stayed busy with other clients' commands past two seconds |
| 0B gateway target failed to respond | no device under this unit id, or it left the service |

## Connections

At most 32 connections are open at once (from any addresses): a new one beyond them closes the
connection that has waited longest between requests, and one that finds every connection in the
middle of a request is closed. Every request frame is checked before it is used: a protocol id
that is not 0 or a length outside 2 to 254 closes the connection (nothing after such a header can
be trusted). A frame not complete 10 s after the service began to wait for it closes the
connection, however its bytes trickle in; so does a connection with nothing to say for 300 s.
Requests may be sent before the answers are read: they are answered one at a time, in order, each
with its transaction id. The service reads a connection's next requests only once it has answered
those it read, and closes a connection whose answer cannot be written within 10 s, so a client
that never reads holds a bounded amount of memory; other clients are answered meanwhile.

## Security

Modbus has no authentication and no encryption: any program that reaches the port can read
every register, and a write carries no proof of who sent it. Reading is therefore open, like the
instrument sockets, on the instrument sockets' address (loopback unless `--instrument-address`
says otherwise). Writing needs both `--allow-control` and `--modbus-control ADDRESS[/PREFIX]`
naming the client addresses that may write; without such an option every write is refused with
exception 01. A write is kept to the device's limits as at every other door (exception 03 beyond
them), and with `--audit-log` each one, refused or made, leaves a line under the client's address
(a write from an address not named: status `read-only`), with user null:
Modbus cannot say who a user is, so users and roles play no part here.

What this protects: a program on another machine that is not listed cannot change a setting, and
a service started without the options cannot be commanded over Modbus at all. What it does not
protect: a client address is no proof of identity (another program on a listed machine, or one
that takes over its address on the network, writes as freely), nothing is encrypted (anyone on
the path reads the values and may alter them), and the tokens of the HTTP API play no part. Keep
the port on loopback or on a network segment only the control system reaches, as with any Modbus
device.

## Why the map is as it is

- One map for every head, at fixed addresses: a PLC program written for one supply reads any
  other; what a head lacks reads NaN or 0 instead of moving the addresses.
- Measurements in input registers, settings in holding registers, states in discrete inputs,
  switchable settings in coils: each kind where Modbus puts it, so a PLC's read-only and writable
  areas match the supply's.
- float32 for numbers: the language's numbers carry three decimals and units as large as hours
  and milliwatts, which no fixed scale in a 16-bit register holds; float32 in two registers is
  what PLCs read natively. High word first is the order Modbus uses for its own 16-bit values.
- Groups without gaps (the temperatures, drives, set points, limits and hours from input register
  0; the words from 100): each is one request. Room is left between the groups so that later
  readings join their group.
- The fault word both whole (input register 100, as `?FF` answers) and as one discrete input per
  flag a head family defines, so that an alarm is one bit in the PLC; what a flag means differs
  between families (the table above).
- Input register 200 carries the library's status, because an exception code alone cannot say
  why the device failed.

## Why the framing is the service's own

libmodbus (Debian's `libmodbus-dev`) is the field's C library. Its server side receives with a
blocking call that waits on a partial frame, so each connection would need a thread of its own
with byte time-outs to keep the bounds above, beside the service's one event loop that every other
door runs on. Modbus TCP framing is small (a seven-byte header and a function code), so the
service frames it on its event loop (Boost.Asio), where every bound is a deadline on the
connection and a slow client costs no thread. The same code builds for Windows, where Debian has
no libmodbus for mingw-w64, so the Windows service serves Modbus too. The only other part
libmodbus would give, turning a float32 into two registers and back, is one line of standard C++.
)";
}

}  // namespace

// modbus_reference [FILE]: writes the reference to FILE, or to standard output.
int main(int argc, char **argv) {
    std::ostringstream text;
    try {
        CheckCoverage();
        WriteReference(text);
    } catch (const Drift &drift) {
        std::cerr << "modbus_reference: " << drift.what() << '\n';
        return 1;
    }
    return WritePage(argc, argv, text.str());
}
