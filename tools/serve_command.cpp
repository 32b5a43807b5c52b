#include "serve_command.h"

#include "client/output.h"
#include "serve.h"

#include "device_limits.h"

#include <fstream>
#include <map>

namespace {

// What the command line and the configuration file say, before the access rules are made of it.
struct ServeSettingsRead {
    ServeSettings serve;
    std::string tokenFile;
    std::string usersFile;
    std::vector<std::string> hostNames;
    TlsFiles tls;  // empty names: not given
    std::optional<uint16_t> modbusPort;
    std::vector<std::string> modbusWriters;
    std::map<std::string, uint8_t> modbusUnits;
    std::optional<uint64_t> auditSize, auditKeep;
};

constexpr char kNoTls[] =
    "this build of mavozarp has no TLS (TLS is in the Linux build only): put a TLS-terminating reverse "
    "proxy in front of a service that listens on loopback";

// Both files or neither.
std::optional<TlsFiles> TlsFilesOf(const TlsFiles &given) {
    if (given.certificateChain.empty() && given.key.empty()) return std::nullopt;
    if (given.certificateChain.empty() || given.key.empty())
        throw UsageError("--tls-cert and --tls-key (\"tls_cert\" and \"tls_key\") go together: give both");
    return given;
}

uint16_t ParsePort(std::string_view option, const std::string &text) {
    const unsigned long port = ParseCount(option, text);
    if (port > 65535) throw UsageError(std::string(option) + " needs a port number up to 65535");
    return static_cast<uint16_t>(port);
}

std::chrono::milliseconds Milliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

// "none": every device in this process; "auto": serial ports and the adapters in workers.
bool ReadWorkers(const std::string &mode, const std::string &where) {
    if (mode != "none" && mode != "auto") throw UsageError(where + " must be \"none\" or \"auto\"");
    return mode == "auto";
}

// Modbus clients that may write: "192.168.1.0/24", "10.1.2.3", "fd00::/8".
AddressRange ReadModbusWriters(const std::string &where, const std::string &text) {
    const std::optional<AddressRange> range = ParseAddressRange(text);
    if (!range) {
        throw UsageError(where + " needs a numeric ADDRESS or ADDRESS/PREFIX (prefix up to 32, or 128 for IPv6), not \"" +
                         text + "\"");
    }
    return *range;
}

// "modbus_units": {"simulated": 7, "/dev/ttyUSB0": 3}: units pinned by device id, each at most once.
// A device not served yet keeps its unit for when it comes.
std::map<std::string, uint8_t> ReadModbusUnits(const std::string &where, const Json &value) {
    if (!value.is_object()) throw UsageError(where + " must be an object of device ids and unit ids");
    std::map<std::string, uint8_t> units;
    std::map<uint64_t, std::string> owners;
    for (const auto &[id, unit] : value.items()) {
        if (!unit.is_number_unsigned() || unit.get<uint64_t>() < kFirstModbusUnit ||
            unit.get<uint64_t>() > kLastModbusUnit) {
            throw UsageError(where + ": \"" + id + "\" needs a unit id from " + std::to_string(kFirstModbusUnit) +
                             " to " + std::to_string(kLastModbusUnit) + ", not " + unit.dump());
        }
        const auto [owner, fresh] = owners.emplace(unit.get<uint64_t>(), id);
        if (!fresh) {
            throw UsageError(where + ": unit " + unit.dump() + " is given to both \"" + owner->second + "\" and \"" +
                             id + "\"");
        }
        units[id] = unit.get<uint8_t>();
    }
    return units;
}

// The configuration file names what the command line can; the command line adds to it (devices,
// host names, Modbus writers) or overrides it (everything else).
void ReadConfigFile(const std::string &path, ServeSettingsRead &settings) {
    std::ifstream file(path);
    if (!file) throw UsageError("cannot read the configuration file " + path);
    const Json config = Json::parse(file, nullptr, false);
    if (!config.is_object()) throw UsageError(path + ": not a JSON object");
    const auto wrong = [&](const std::string &key, const char *what) {
        return UsageError(path + ": \"" + key + "\" must be " + what);
    };
    const auto strings = [&](const std::string &key, const Json &value) {
        std::vector<std::string> list;
        if (!value.is_array()) throw wrong(key, "a list of strings");
        for (const Json &item : value) {
            if (!item.is_string()) throw wrong(key, "a list of strings");
            list.push_back(item.get<std::string>());
        }
        return list;
    };
    const auto port = [&](const std::string &key, const Json &value) {
        if (!value.is_number_unsigned() || value.get<uint64_t>() > 65535)
            throw wrong(key, "a port number");
        return value.get<uint16_t>();
    };
    for (const auto &[key, value] : config.items()) {
        if (key == "simulated" || key == "adapters" || key == "allow_control") {
            if (!value.is_boolean()) throw wrong(key, "true or false");
            (key == "simulated"  ? settings.serve.devices.simulated
             : key == "adapters" ? settings.serve.devices.adapters
                                 : settings.serve.access.allowControl) = value.get<bool>();
        } else if (key == "ports" || key == "modbus_control") {
            (key == "ports" ? settings.serve.devices.ports : settings.modbusWriters) = strings(key, value);
        } else if (key == "modbus_units") {
            settings.modbusUnits = ReadModbusUnits(path + ": \"modbus_units\"", value);
        } else if (key == "host_names") {
            settings.hostNames = strings(key, value);
        } else if (key == "rescan_seconds") {
            if (!value.is_number() || value.get<double>() < 0.1) throw wrong(key, "0.1 or more");
            settings.serve.devices.rescanInterval = Milliseconds(value.get<double>());
        } else if (key == "tls_cert" || key == "tls_key") {
            if (!kServeHasTls) throw UsageError(path + ": \"" + key + "\": " + kNoTls);
            if (!value.is_string()) throw wrong(key, "a string");
            (key == "tls_cert" ? settings.tls.certificateChain : settings.tls.key) = value.get<std::string>();
        } else if (key == "listen" || key == "instrument_address" || key == "token_file" || key == "users_file") {
            if (!value.is_string()) throw wrong(key, "a string");
            (key == "listen"               ? settings.serve.http.address
             : key == "instrument_address" ? settings.serve.instruments.address
             : key == "token_file"         ? settings.tokenFile
                                           : settings.usersFile) = value.get<std::string>();
        } else if (key == "audit_log") {
            if (!value.is_string()) throw wrong(key, "a string");
            settings.serve.audit.emplace().path = value.get<std::string>();
        } else if (key == "audit_log_size" || key == "audit_log_keep") {
            if (!value.is_number_unsigned()) throw wrong(key, "a whole number");
            (key == "audit_log_size" ? settings.auditSize : settings.auditKeep) = value.get<uint64_t>();
        } else if (key == "limits") {
            try {
                settings.serve.devices.limits = ReadLimitsTable(value);
            } catch (const LimitsError &error) {
                throw UsageError(path + ": " + error.what());
            }
        } else if (key == "workers") {
            if (!value.is_string()) throw wrong(key, "\"none\" or \"auto\"");
            settings.serve.workers = ReadWorkers(value.get<std::string>(), path + ": \"workers\"");
        } else if (key == "http_port") {
            settings.serve.http.port = port(key, value);
        } else if (key == "instrument_port") {
            settings.serve.instruments.firstPort = port(key, value);
        } else if (key == "modbus_port") {
            settings.modbusPort = port(key, value);
        } else {
            throw UsageError(path + ": unknown setting \"" + key + "\"");
        }
    }
}

// The Modbus door, on the instrument sockets' address, when a port is given.
void ReadModbusDoor(ServeSettingsRead &settings) {
    for (const std::string &writers : settings.modbusWriters) {
        settings.serve.access.modbusWriters.push_back(
            ReadModbusWriters("--modbus-control (\"modbus_control\")", writers));
    }
    if (!settings.modbusPort) {
        if (!settings.modbusWriters.empty() || !settings.modbusUnits.empty())
            throw UsageError("--modbus-control and \"modbus_units\" need --modbus-port N (or \"modbus_port\")");
        return;
    }
    ModbusDoorOptions &modbus = settings.serve.modbus.emplace();
    modbus.address = settings.serve.instruments.address;
    modbus.port = *settings.modbusPort;
    modbus.pinnedUnits = settings.modbusUnits;
}

// Who may present a token: the users file's users and the token file's admin (both may be given).
// Without either, a service that allows control makes a token of its own for this run.
void ReadUsers(ServeSettingsRead &settings) {
    AccessPolicy &policy = settings.serve.access;
    policy.tokenForReading = !IsLoopback(settings.serve.http.address);
    if (policy.tokenForReading && settings.tokenFile.empty() && settings.usersFile.empty()) {
        throw UsageError("listening on " + settings.serve.http.address +
                         " needs bearer tokens: give --users or --token-file");
    }
    if (!settings.usersFile.empty()) {
        try {
            settings.serve.users = UserDirectory(UsersFile::Read(settings.usersFile).Users());
        } catch (const std::runtime_error &error) {
            throw UsageError(std::string("--users: ") + error.what());
        }
        policy.namedUsers = true;
    }
    if (!settings.tokenFile.empty()) {
        try {
            policy.token = ReadTokenFile(settings.tokenFile);
        } catch (const std::runtime_error &error) {
            throw UsageError(std::string("--token-file: ") + error.what());
        }
    } else if (policy.allowControl && settings.usersFile.empty()) {
        policy.token = MakeToken();
    }
    if (!policy.token.empty()) settings.serve.users.AddTokenFileAdmin(policy.token);
}

// The audit log's rotation, checked before the service starts.
void ReadAuditOptions(ServeSettingsRead &settings) {
    if (!settings.serve.audit) {
        if (settings.auditSize || settings.auditKeep)
            throw UsageError("--audit-log-size and --audit-log-keep need --audit-log FILE (or \"audit_log\")");
        return;
    }
    AuditOptions &audit = *settings.serve.audit;
    if (settings.auditSize) audit.maxBytes = *settings.auditSize;
    if (settings.auditKeep) audit.keptFiles = static_cast<unsigned>(std::min<uint64_t>(*settings.auditKeep, 1000));
    if (const std::optional<std::string> problem = AuditOptionsProblem(audit))
        throw UsageError("--audit-log: " + *problem);
}

ServeSettings ReadSettings(const ParsedArguments &arguments) {
    ServeSettingsRead settings;
    if (arguments.Has("--config")) ReadConfigFile(arguments.Value("--config"), settings);
    if (arguments.Has("--simulated")) settings.serve.devices.simulated = true;
    for (const std::string &port : arguments.Values("--port")) settings.serve.devices.ports.push_back(port);
    if (arguments.Has("--adapters")) settings.serve.devices.adapters = true;
    if (arguments.Has("--rescan")) {
        const double seconds = ParseSeconds("--rescan", arguments.Value("--rescan"));
        if (seconds < 0.1) throw UsageError("--rescan needs 0.1 seconds or more");
        settings.serve.devices.rescanInterval = Milliseconds(seconds);
    }
    if (arguments.Has("--workers")) settings.serve.workers = ReadWorkers(arguments.Value("--workers"), "--workers");
    if (arguments.Has("--listen")) settings.serve.http.address = arguments.Value("--listen");
    if (arguments.Has("--http-port"))
        settings.serve.http.port = ParsePort("--http-port", arguments.Value("--http-port"));
    for (const std::string &name : arguments.Values("--host-name")) settings.hostNames.push_back(name);
    if (arguments.Has("--instrument-address"))
        settings.serve.instruments.address = arguments.Value("--instrument-address");
    if (arguments.Has("--instrument-port"))
        settings.serve.instruments.firstPort = ParsePort("--instrument-port", arguments.Value("--instrument-port"));
    if (arguments.Has("--token-file")) settings.tokenFile = arguments.Value("--token-file");
    if (arguments.Has("--users")) settings.usersFile = arguments.Value("--users");
    if (arguments.Has("--audit-log")) settings.serve.audit.emplace().path = arguments.Value("--audit-log");
    if (arguments.Has("--audit-log-size"))
        settings.auditSize = ParseCount("--audit-log-size", arguments.Value("--audit-log-size"));
    if (arguments.Has("--audit-log-keep"))
        settings.auditKeep = ParseCount("--audit-log-keep", arguments.Value("--audit-log-keep"));
    if (arguments.Has("--allow-control")) settings.serve.access.allowControl = true;
    for (const auto &[option, file] : {std::pair{"--tls-cert", &settings.tls.certificateChain},
                                       std::pair{"--tls-key", &settings.tls.key}}) {
        if (!arguments.Has(option)) continue;
        if (!kServeHasTls) throw UsageError(std::string(option) + ": " + kNoTls);
        *file = arguments.Value(option);
    }
    settings.serve.tls = TlsFilesOf(settings.tls);
    if (arguments.Has("--modbus-port"))
        settings.modbusPort = ParsePort("--modbus-port", arguments.Value("--modbus-port"));
    for (const std::string &writers : arguments.Values("--modbus-control")) settings.modbusWriters.push_back(writers);

    if (!settings.serve.devices.simulated && settings.serve.devices.ports.empty() && !settings.serve.devices.adapters)
        throw UsageError("no device to serve: give --simulated, --port PATH or --adapters");

    AccessPolicy &policy = settings.serve.access;
    ReadUsers(settings);
    ReadAuditOptions(settings);
    // The loopback names are always ours; any other name only when configured, so that a page
    // whose name was made to resolve to this machine is refused.
    policy.hostNames = {"localhost", "127.0.0.1", "::1"};
    if (!IsLoopback(settings.serve.http.address)) policy.hostNames.push_back(settings.serve.http.address);
    for (const std::string &name : settings.hostNames) policy.hostNames.push_back(name);
    settings.serve.mqtt = ReadMqttOptions(arguments);
    ReadModbusDoor(settings);
    return settings.serve;
}

}  // namespace

int RunServe(const ParsedArguments &arguments) { return Serve(ReadSettings(arguments)); }

