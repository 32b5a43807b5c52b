// version, scan and send: one exchange each with the library, printed.
#include "device.h"
#include "output.h"
#include "status_codes.h"
#include "subcommands.h"

#include <algorithm>
#include <cstring>
#include <iostream>

namespace {

std::string ErrorCell(int32_t status) {
    return "error " + std::to_string(status) + " " + DescribeStatus(status).name;
}

}  // namespace

Json DeviceJson(const Device &device) {
    Json object = Json::Object();
    object.Set("selector", Json::String(device.Selector().Describe()));
    object.Set("transport", Json::String(device.Transport()));
    object.Set("head_type", Json::String(device.HeadType()));
    return object;
}

void PrintJson(const Json &document) { std::cout << document.Serialize() << std::flush; }

int RunVersion(const ParsedArguments &arguments) {
    char version[MAVOZARP_BUFFER_SIZE] = {};
    if (!arguments.Has("--adapter-library")) {
        const int32_t status = MavoZARP_GetDLLVersion(version);
        if (status != MAVOZARP_STATUS_SUCCESS) throw ToolError(StatusMessage(status));
        std::cout << version << '\n';
        return 0;
    }
    std::strcpy(version, "?*");
    const int32_t status = MavoZARP_GetDLLVersion(version);
    if (status == MAVOZARP_STATUS_SUCCESS) {
        std::cout << version << '\n';
        return 0;
    }
    // Without a usable adapter library the buffer is left as it was: show our own version still.
    if (std::strncmp(version, "MavoZARP", 8) != 0) {
        version[0] = '\0';
        MavoZARP_GetDLLVersion(version);
    }
    std::cout << version << '\n';
    throw ToolError("the adapter library's version is not available: " + StatusMessage(status));
}

int RunScan(const ParsedArguments &arguments) {
    const std::vector<MavoZARP_Handle> supplies = DiscoverAdapterSupplies();
    std::vector<std::vector<std::string>> rows{{"INDEX", "TRANSPORT", "HEAD TYPE", "MODEL"}};
    Json list = Json::Array();
    bool failed = false;
    for (size_t index = 0; index < supplies.size(); ++index) {
        const Exchange head = IdentifyHead(supplies[index]);
        // A supply whose head is not identified carries that failure into its model column.
        const Exchange model = head.Succeeded() ? SendCommand(supplies[index], "?LASERMODEL")
                                                : Exchange{head.status, ""};
        const int32_t outcome = model.status;
        failed = failed || outcome != MAVOZARP_STATUS_SUCCESS;

        Json supply = Json::Object();
        supply.Set("index", Json::Integer(static_cast<int64_t>(index)));
        supply.Set("transport", Json::String("adapter"));
        SetJsonStatus(supply, outcome);
        supply.Set("head_type", head.Succeeded() ? Json::String(head.reply) : Json::Null());
        supply.Set("model", model.Succeeded() ? Json::String(model.reply) : Json::Null());
        list.Push(std::move(supply));

        rows.push_back({std::to_string(index), "adapter",
                        head.Succeeded() ? head.reply : ErrorCell(outcome),
                        model.Succeeded()  ? model.reply
                        : head.Succeeded() ? ErrorCell(outcome)
                                           : "-"});
    }
    CloseDevices(supplies);

    if (arguments.Has("--json")) {
        PrintJson(Json::Object().Set("supplies", std::move(list)));
    } else if (supplies.empty()) {
        std::cout << "No supplies found on the adapters.\n";
    } else {
        std::cout << FormatTable(rows);
    }
    return failed ? 1 : 0;
}

int RunSend(const ParsedArguments &arguments) {
    const DeviceSelector selector = SelectDevice(arguments);
    const std::vector<std::string> &commands = arguments.positionals;
    if (commands.empty()) throw UsageError("no command given");
    const bool json = arguments.Has("--json");
    const Device device(selector);

    size_t commandWidth = 0;
    for (const std::string &command : commands)
        commandWidth = std::max(commandWidth, command.size());
    Json results = Json::Array();
    size_t sent = 0;
    bool failed = false;
    // Commands after a failed one are not sent: they may rely on it (a key switch before a mode
    // change, a limit before a command), and a laser is no place for guessing.
    std::string failure;  // the one line that explains the failure
    while (sent < commands.size() && !failed) {
        const std::string &command = commands[sent++];
        const Exchange exchange = device.Send(command);
        failed = !exchange.Succeeded();
        Json result = Json::Object();
        result.Set("command", Json::String(command));
        SetJsonStatus(result, exchange.status);
        result.Set("reply", Json::String(exchange.reply));
        results.Push(std::move(result));
        if (!failed) {
            if (!json) {
                std::cout << FormatRow(
                                 {command, "->", exchange.reply.empty() ? "(ok)" : exchange.reply},
                                 {commandWidth, 2})
                          << '\n';
            }
            continue;
        }
        failure = "mavozarp: " + command + ": " + StatusMessage(exchange.status);
        if (!exchange.reply.empty()) failure += " (the supply answered \"" + exchange.reply + "\")";
    }
    const std::vector<std::string> notSent(commands.begin() + static_cast<std::ptrdiff_t>(sent),
                                           commands.end());
    if (json) {
        Json skipped = Json::Array();
        for (const std::string &command : notSent) skipped.Push(Json::String(command));
        Json document = Json::Object();
        document.Set("device", DeviceJson(device));
        document.Set("ok", Json::Bool(!failed));
        document.Set("results", std::move(results));
        document.Set("not_sent", std::move(skipped));
        PrintJson(document);
    }
    if (failed) {
        if (!notSent.empty()) failure += "; not sent:";
        for (const std::string &command : notSent) failure += ' ' + command;
        std::cout << std::flush;
        std::cerr << failure << '\n';
    }
    return failed ? 1 : 0;
}
