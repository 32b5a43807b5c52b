// Supplies on serial ports, served by the bridge and text-supply emulators that the driver runs
// on pseudo-terminals (under Wine, reached as COM ports).
#include <string>
#include <vector>

#include "cases.h"

namespace e2e {

namespace {

constexpr MavoZARP_Handle kUntouched = 0x7E57;

struct Opened {
    int32_t status;
    MavoZARP_Handle device;
};

Opened Open(const std::string &port) {
    MavoZARP_Handle device = kUntouched;
    const int32_t status = Library().openSerialPort(port.c_str(), &device);
    return {status, device};
}

void EveryHeadModelOverTheBridge() {
    const std::vector<BridgePort> &bridges = Options().bridges;
    if (bridges.empty()) Skip("no bridge given to the host");
    std::vector<MavoZARP_Handle> devices;
    for (const BridgePort &bridge : bridges) {
        const Context context(bridge.port);
        const HeadModel *const model = FindHeadModel(bridge.preset);
        E2E_REQUIRE(model != nullptr);
        const Opened opened = Open(bridge.port);
        E2E_REQUIRE(opened.status == MAVOZARP_STATUS_SUCCESS);
        E2E_CHECK(opened.device != kUntouched && opened.device != 0 &&
                  opened.device != MAVOZARP_SIMULATED_HANDLE);
        devices.push_back(opened.device);
        CommandHead("bridge", *model, opened.device);
    }

    // Closing one leaves the others reachable.
    const size_t middle = devices.size() / 2;
    E2E_CHECK_EQ(Library().close(devices[middle]), MAVOZARP_STATUS_SUCCESS);
    E2E_CHECK_EQ(Send(devices[middle], "?HTYPE").status, MAVOZARP_STATUS_UNKNOWN_HANDLE);
    E2E_CHECK_EQ(Library().close(devices[middle]), MAVOZARP_STATUS_UNKNOWN_HANDLE);
    for (size_t i = 0; i < devices.size(); ++i) {
        if (i == middle) continue;
        const Context context(bridges[i].port);
        const Answer type = Send(devices[i], "?HTYPE");
        E2E_CHECK_EQ(type.status, MAVOZARP_STATUS_SUCCESS);
        E2E_CHECK_EQ(type.reply,
                     std::string(FindHeadModel(bridges[i].preset)->headType) + "\r\n");
        E2E_CHECK_EQ(Library().close(devices[i]), MAVOZARP_STATUS_SUCCESS);
    }
    // A closed port opens again.
    const Opened reopened = Open(bridges[middle].port);
    E2E_CHECK_EQ(reopened.status, MAVOZARP_STATUS_SUCCESS);
    E2E_CHECK_EQ(Library().close(reopened.device), MAVOZARP_STATUS_SUCCESS);
}

// A text supply takes the commands itself: they pass through, and its answers come back as
// they are, line end included.
void TextSupplyPassThrough() {
    const std::string &port = Options().textPort;
    if (port.empty()) Skip("no text supply given to the host");
    const Opened opened = Open(port);
    E2E_REQUIRE(opened.status == MAVOZARP_STATUS_SUCCESS);
    const MavoZARP_Handle supply = opened.device;

    CapturedOutput output;
    const Answer identified = Initialize(supply);
    E2E_CHECK_EQ(output.Finish(), "");  // no head is created for a text supply
    E2E_CHECK_EQ(identified.status, MAVOZARP_STATUS_SUCCESS);
    E2E_CHECK_EQ(identified.reply, "Kora\r\n");

    const struct {
        const char *command;
        int32_t status;
        const char *reply;
    } exchanges[] = {
        {"?TMAIN", MAVOZARP_STATUS_SUCCESS, "25.000\r\n"},
        {"PCMD=1.25", MAVOZARP_STATUS_SUCCESS, "OK\r\n"},
        {"?PCMD", MAVOZARP_STATUS_SUCCESS, "1.25\r\n"},
        {"?pcmd", MAVOZARP_STATUS_INVALID_COMMAND, "ERR\r\n"},  // not folded: the supply decides
        {"PCMD=1.500", MAVOZARP_STATUS_SUCCESS, "OK\r\n"},
        {"?PCMD", MAVOZARP_STATUS_SUCCESS, "1.500\r\n"},
    };
    for (const auto &exchange : exchanges) {
        const Context context(exchange.command);
        const Answer answer = Send(supply, exchange.command);
        E2E_CHECK_EQ(answer.status, exchange.status);
        E2E_CHECK_EQ(answer.reply, exchange.reply);
    }

    E2E_CHECK_EQ(Library().close(supply), MAVOZARP_STATUS_SUCCESS);
    E2E_CHECK_EQ(Send(supply, "?TMAIN").status, MAVOZARP_STATUS_UNKNOWN_HANDLE);
    E2E_CHECK_EQ(Library().close(supply), MAVOZARP_STATUS_UNKNOWN_HANDLE);
}

void PortWithoutADevice() {
    const std::string &port = Options().absentPort;
    if (port.empty()) Skip("no absent port given to the host");
    const Opened opened = Open(port);
    E2E_CHECK_EQ(opened.status, MAVOZARP_STATUS_SERIAL_ERROR);
    E2E_CHECK_EQ(opened.device, kUntouched);
}

constexpr TestCase kCases[] = {
    {"EveryHeadModelOverTheBridge", EveryHeadModelOverTheBridge},
    {"TextSupplyPassThrough", TextSupplyPassThrough},
    {"PortWithoutADevice", PortWithoutADevice},
};

}  // namespace

std::span<const TestCase> SerialCases() { return kCases; }

}  // namespace e2e
