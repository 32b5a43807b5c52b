// version, scan and send: one exchange each with the library, printed.
#include "client/documents.h"
#include "client/status_codes.h"
#include "subcommands.h"

#include <algorithm>
#include <cstring>
#include <iostream>

namespace {

std::string ErrorCell(int32_t status) {
    return "error " + std::to_string(status) + " " + DescribeStatus(status).name;
}

}  // namespace

void PrintJson(const Json &document) { std::cout << SerializeJson(document) << std::flush; }

int RunVersion(const ParsedArguments &arguments) {
    char version[MAVOZARP_BUFFER_SIZE] = {};
    if (!arguments.Has("--adapter-library")) {
        const int32_t status = MavoZARP_GetDLLVersion(version);
        if (status != MAVOZARP_STATUS_SUCCESS) throw DeviceError(StatusMessage(status));
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
    throw DeviceError("the adapter library's version is not available: " + StatusMessage(status));
}

int RunScan(const ParsedArguments &arguments) {
    const std::vector<MavoZARP_Handle> supplies = DiscoverAdapterSupplies();
    std::vector<std::vector<std::string>> rows{{"INDEX", "TRANSPORT", "HEAD TYPE", "MODEL"}};
    Json list = Json::array();
    bool failed = false;
    for (size_t index = 0; index < supplies.size(); ++index) {
        const Exchange head = IdentifyHead(supplies[index]);
        // A supply whose head is not identified carries that failure into its model column.
        const Exchange model = head.Succeeded() ? SendCommand(supplies[index], "?LASERMODEL")
                                                : Exchange{head.status, ""};
        const int32_t outcome = model.status;
        failed = failed || outcome != MAVOZARP_STATUS_SUCCESS;

        Json supply = Json::object();
        supply["index"] = index;
        supply["transport"] = "adapter";
        SetJsonStatus(supply, outcome);
        supply["head_type"] = head.Succeeded() ? JsonText(head.reply) : Json(nullptr);
        supply["model"] = model.Succeeded() ? JsonText(model.reply) : Json(nullptr);
        list.push_back(std::move(supply));

        rows.push_back({std::to_string(index), "adapter",
                        head.Succeeded() ? head.reply : ErrorCell(outcome),
                        model.Succeeded()  ? model.reply
                        : head.Succeeded() ? ErrorCell(outcome)
                                           : "-"});
    }
    CloseDevices(supplies);

    if (arguments.Has("--json")) {
        PrintJson(Json{{"supplies", std::move(list)}});
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

    const Batch batch =
        SendBatch([&](std::string_view command) { return device.Send(command); }, commands);
    if (json) {
        PrintJson(BatchDocument(device.Identity(), batch));
    } else {
        size_t commandWidth = 0;
        for (const std::string &command : commands)
            commandWidth = std::max(commandWidth, command.size());
        for (const auto &[command, exchange] : batch.sent) {
            if (!exchange.Succeeded()) break;
            std::cout << FormatRow({command, "->", exchange.reply.empty() ? "(ok)" : exchange.reply},
                                   {commandWidth, 2})
                      << '\n';
        }
    }
    if (!batch.Failed()) return 0;
    const auto &[command, exchange] = batch.sent.back();
    std::string failure = "mavozarp: " + command + ": " + StatusMessage(exchange.status);
    if (!exchange.reply.empty()) failure += " (the supply answered \"" + exchange.reply + "\")";
    if (!batch.notSent.empty()) failure += "; not sent:";
    for (const std::string &skipped : batch.notSent) failure += ' ' + skipped;
    std::cout << std::flush;
    std::cerr << failure << '\n';
    return 1;
}
