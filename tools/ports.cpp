// ports: the machine's serial ports, and with --probe which supply answers on each.
#include "client/device.h"
#include "client/output.h"
#include "client/serial_ports.h"
#include "client/status_codes.h"
#include "subcommands.h"

#include <algorithm>
#include <iostream>

namespace {

constexpr unsigned kBridgeSpeed = 9600;
constexpr unsigned kTextSpeed = 115200;

struct ProbeResult {
    static ProbeResult Failure(std::string outcome, std::string message) {
        ProbeResult result;
        result.outcome = std::move(outcome);
        result.message = std::move(message);
        return result;
    }

    std::string outcome;  // "supply", "no-supply", "unusable"
    std::string kind;     // "bridge", "text", "serial" (when the line cannot tell)
    std::string headType;
    std::string message;  // why nothing was found
};

// Opens the port through the library as a host would, after making sure that nobody holds it and
// that it can be used at all; the library's own bounds keep a silent or babbling line short.
ProbeResult Probe(const std::string &path) {
    if (const std::optional<std::string> problem = PortProblem(path)) {
        return ProbeResult::Failure("unusable", *problem);
    }
    MavoZARP_Handle handle = 0;
    const int32_t status = MavoZARP_OpenSerialPort(path.c_str(), &handle);
    if (status != MAVOZARP_STATUS_SUCCESS) {
        return ProbeResult::Failure("no-supply", "no supply answers: " + StatusMessage(status));
    }
    const unsigned speed = PortSpeed(path);
    const Exchange head = IdentifyHead(handle);
    CloseDevices({handle});
    ProbeResult result;
    result.outcome = "supply";
    result.kind = speed == kBridgeSpeed ? "bridge" : speed == kTextSpeed ? "text" : "serial";
    if (head.Succeeded()) {
        result.headType = head.reply;
    } else {
        result.message = "head not identified: " + StatusMessage(head.status);
    }
    return result;
}

std::string ProbeCell(const ProbeResult &probe) {
    if (probe.outcome != "supply") return probe.message;
    return probe.kind + " supply, " +
           (probe.headType.empty() ? probe.message : "head " + probe.headType);
}

std::string UsbCell(const SerialPortInfo &port) {
    if (port.vendorId.empty()) return "-";
    std::string cell = port.vendorId + ":" + port.productId;
    for (const std::string *text : {&port.manufacturer, &port.product}) {
        if (!text->empty()) cell += " " + *text;
    }
    if (!port.serialNumber.empty()) cell += " serial " + port.serialNumber;
    return cell;
}

// Texts from the system are taken byte by byte, as texts from a head are: a name that is not
// UTF-8 still gives valid JSON.
Json TextOrNull(const std::string &text) { return text.empty() ? Json(nullptr) : JsonText(text); }

Json PortJson(const SerialPortInfo &port, const std::optional<ProbeResult> &probe) {
    Json names = Json::array();
    for (const std::string &name : port.stableNames) names.push_back(JsonText(name));
    Json object = {{"path", JsonText(port.path)},
                   {"friendly_name", TextOrNull(port.friendlyName)},
                   {"stable_names", std::move(names)},
                   {"driver", TextOrNull(port.driver)},
                   {"usb", nullptr}};
    if (!port.vendorId.empty()) {
        object["usb"] = {{"vendor_id", JsonText(port.vendorId)},
                         {"product_id", JsonText(port.productId)},
                         {"manufacturer", TextOrNull(port.manufacturer)},
                         {"product", TextOrNull(port.product)},
                         {"serial_number", TextOrNull(port.serialNumber)}};
    }
    if (probe) {
        object["probe"] = {{"outcome", JsonText(probe->outcome)},
                           {"kind", TextOrNull(probe->kind)},
                           {"head_type", TextOrNull(probe->headType)},
                           {"message", TextOrNull(probe->message)}};
    }
    return object;
}

}  // namespace

int RunPorts(const ParsedArguments &arguments) {
    const bool probing = arguments.Has("--probe");
    // Ports named on the command line are taken as given (a pseudo-terminal, a port the system
    // does not list); otherwise every port the system lists.
    std::vector<SerialPortInfo> ports;
    for (const std::string &path : arguments.positionals) ports.push_back(SerialPortInfo{path});
    const bool named = !ports.empty();
    if (!named) ports = ListSerialPorts();

    // A column for the names only where the system gives them (Windows).
    const bool friendlyNames = std::any_of(
        ports.begin(), ports.end(),
        [](const SerialPortInfo &port) { return !port.friendlyName.empty(); });
    std::vector<std::vector<std::string>> rows{{"PORT", "DRIVER", "USB", "STABLE NAME"}};
    if (friendlyNames) rows.front().insert(rows.front().begin() + 1, "NAME");
    if (probing) rows.front().push_back("SUPPLY");
    Json list = Json::array();
    bool failed = false;
    for (const SerialPortInfo &port : ports) {
        std::optional<ProbeResult> probe;
        if (probing) {
            probe = Probe(port.path);
        } else if (named) {
            if (std::optional<std::string> problem = PortProblem(port.path)) {
                probe = ProbeResult::Failure("unusable", *problem);
                // The table has no column for it: a named port that fails says why, as send does.
                std::cerr << "mavozarp: cannot use " << port.path << ": " << *problem << '\n';
            }
        }
        failed = failed || (named && probe && probe->outcome != "supply");
        list.push_back(PortJson(port, probe));
        // A port that cannot be used gets no row beside its line on standard error.
        if (!probing && probe) continue;
        std::vector<std::string> row{port.path, port.driver.empty() ? "-" : port.driver,
                                     UsbCell(port),
                                     port.stableNames.empty() ? "-" : port.stableNames.front()};
        if (friendlyNames) {
            row.insert(row.begin() + 1, port.friendlyName.empty() ? "-" : port.friendlyName);
        }
        if (probing) row.push_back(ProbeCell(*probe));
        rows.push_back(std::move(row));
    }

    if (arguments.Has("--json")) {
        PrintJson(Json{{"ports", std::move(list)}});
    } else if (ports.empty()) {
        std::cout << "No serial ports found.\n";
    } else if (rows.size() > 1) {
        std::cout << FormatTable(rows);
    }
    return failed ? 1 : 0;
}
