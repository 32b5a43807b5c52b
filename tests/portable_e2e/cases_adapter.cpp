// Supplies on the USB-to-I2C adapters, served by the emulated adapter library beside the host:
// discovery, every head model, the diagnostic lines, and the library missing or incomplete.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "cases.h"

namespace e2e {

namespace {

constexpr char kSuppliesVariable[] = "MAVOFTCI2C_EMULATED_SUPPLIES";

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1) {
        pieces.push_back(text.substr(start, end - start));
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

// A host that is no test gets its virtual supplies from the environment.
void SuppliesNamedInTheEnvironment() {
    const char *const supplies = std::getenv(kSuppliesVariable);
    if (supplies == nullptr) Skip(std::string(kSuppliesVariable) + " is not set");
    Adapter();  // skips unless the adapter library is beside the host
    if (AdapterWasReset()) Skip("the adapter library was reset by an earlier case");
    const std::vector<std::string> entries = Split(supplies, ',');

    const Discovery discovery = CheckForDevices();
    E2E_REQUIRE(discovery.status == MAVOZARP_STATUS_SUCCESS);
    E2E_REQUIRE(discovery.all.size() == entries.size());
    E2E_CHECK(discovery.added == discovery.all);
    for (size_t i = 0; i < entries.size(); ++i) {
        const HeadModel *const model = FindHeadModel(entries[i].substr(0, entries[i].find('@')));
        E2E_REQUIRE(model != nullptr);
        const Context context(entries[i]);
        CapturedOutput output;
        const Answer identified = Initialize(discovery.all[i]);
        output.Finish();  // the lines are checked by DiagnosticLinesOfHeadCreation
        E2E_CHECK_EQ(identified.status, MAVOZARP_STATUS_SUCCESS);
        E2E_CHECK_EQ(identified.reply, model->headType);
    }
}

void AdapterLibraryVersion() {
    StartWithoutSupplies();
    const AdapterControls &adapter = Adapter();
    adapter.setVersion("emulated 4.2");
    const Answer version = Version("?*");
    E2E_CHECK_EQ(version.status, MAVOZARP_STATUS_SUCCESS);
    E2E_CHECK_EQ(version.reply, "MavoZARP 2.1.0; MavoFTCI2C emulated 4.2");

    // A version text longer than the buffer is cut to fit it, terminator included.
    const std::string tooLong(150, 'v');
    adapter.setVersion(tooLong.c_str());
    char buffer[MAVOZARP_BUFFER_SIZE + 20];
    std::memset(buffer, '#', sizeof buffer);
    std::strcpy(buffer, "?*");
    E2E_CHECK_EQ(Library().getDllVersion(buffer), MAVOZARP_STATUS_SUCCESS);
    const std::string expected = ("MavoZARP 2.1.0; MavoFTCI2C " + tooLong).substr(0, 99);
    E2E_CHECK_EQ(std::string(buffer, std::find(buffer, buffer + MAVOZARP_BUFFER_SIZE, '\0')),
                 expected);
    E2E_CHECK(std::all_of(buffer + MAVOZARP_BUFFER_SIZE, buffer + sizeof buffer,
                          [](char c) { return c == '#'; }));
}

void DiscoveryOfTwoSuppliesAndAnUnpluggedOne() {
    StartWithoutSupplies();
    const AdapterControls &adapter = Adapter();
    const uint32_t first = adapter.plugSupply("kora-band2");
    const uint32_t second = adapter.plugSupply("picox-640");

    const Discovery found = CheckForDevices();
    E2E_REQUIRE(found.status == MAVOZARP_STATUS_SUCCESS);
    E2E_REQUIRE(found.all.size() == 2);
    const MavoZARP_Handle kora = found.all[0], pico = found.all[1];
    E2E_CHECK_EQ(static_cast<uintptr_t>(kora), adapter.openHandle(first));
    E2E_CHECK_EQ(static_cast<uintptr_t>(pico), adapter.openHandle(second));
    E2E_CHECK(kora != 0 && kora != MAVOZARP_SIMULATED_HANDLE && kora != pico);
    E2E_CHECK(found.added == found.all);
    E2E_CHECK(found.removed.empty());

    // Known supplies are neither new nor removed the next time.
    const Discovery again = CheckForDevices();
    E2E_CHECK(again.all == found.all);
    E2E_CHECK(again.added.empty());
    E2E_CHECK(again.removed.empty());

    // Before identification a supply has no head.
    const Answer early = Send(kora, "?P");
    E2E_CHECK_EQ(early.status, MAVOZARP_STATUS_INVALID_HEAD);
    E2E_CHECK_EQ(early.reply, "\r\n");

    E2E_REQUIRE(adapter.setPlugged(second, 0) == 0);
    const Discovery unplugged = CheckForDevices();
    E2E_CHECK(unplugged.all == std::vector<MavoZARP_Handle>{kora});
    E2E_CHECK(unplugged.added.empty());
    E2E_CHECK(unplugged.removed == std::vector<MavoZARP_Handle>{pico});
    const Answer gone = Send(pico, "?HTYPE");
    E2E_CHECK_EQ(gone.status, MAVOZARP_STATUS_UNKNOWN_HANDLE);
    E2E_CHECK_EQ(gone.reply, "\r\n");

    // Plugged back, it comes as a new supply under a new handle.
    E2E_REQUIRE(adapter.setPlugged(second, 1) == 0);
    const Discovery back = CheckForDevices();
    E2E_REQUIRE(back.added.size() == 1);
    E2E_CHECK(back.added[0] != pico);
    E2E_CHECK(back.all == (std::vector<MavoZARP_Handle>{kora, back.added[0]}));
    E2E_CHECK(back.removed.empty());
}

void EveryHeadModelOverTheAdapter() {
    StartWithoutSupplies();
    const AdapterControls &adapter = Adapter();
    std::map<uintptr_t, const HeadModel *> models;
    for (const HeadModel &model : HeadModels()) {
        const uint32_t number = adapter.plugSupply(model.preset);
        E2E_REQUIRE(number != EMULATED_ADAPTER_NONE);
        models[number] = &model;
    }
    const Discovery discovery = CheckForDevices();
    E2E_REQUIRE(discovery.status == MAVOZARP_STATUS_SUCCESS);
    E2E_REQUIRE(discovery.all.size() == HeadModels().size());
    for (const auto &[number, model] : models) {
        const MavoZARP_Handle device = static_cast<MavoZARP_Handle>(adapter.openHandle(number));
        E2E_CHECK(std::find(discovery.all.begin(), discovery.all.end(), device) !=
                  discovery.all.end());
        CommandHead("adapter", *model, device);
    }
}

// Heads that cannot be served: status -2, an empty type, and the lines say so.
void DiagnosticLinesOfHeadCreation() {
    StartWithoutSupplies();
    for (const char *preset : {"unknown-type", "vfn-mismatch", "vgn-mismatch"}) {
        const Context context(preset);
        const MavoZARP_Handle device = PlugAndDiscover(preset);
        CapturedOutput output;
        const Answer identified = Initialize(device);
        E2E_CHECK_EQ(output.Finish(), DiagnosticLines("", MAVOZARP_STATUS_INVALID_HEAD));
        E2E_CHECK_EQ(identified.status, MAVOZARP_STATUS_INVALID_HEAD);
        E2E_CHECK_EQ(identified.reply, "");
        E2E_CHECK_EQ(Send(device, "?HTYPE").status, MAVOZARP_STATUS_INVALID_HEAD);
    }
    // Routes that create no head write nothing.
    CapturedOutput output;
    Initialize(MAVOZARP_SIMULATED_HANDLE);
    Initialize(0x3A5C);
    E2E_CHECK_EQ(output.Finish(), "");
}

void CommandsOfAnUnpluggedOrClosedSupply() {
    StartWithoutSupplies();
    const AdapterControls &adapter = Adapter();
    const uint32_t unplugged = adapter.plugSupply("kora-band2");
    const uint32_t closed = adapter.plugSupply("kora-band2");
    const Discovery discovery = CheckForDevices();
    E2E_REQUIRE(discovery.all.size() == 2);
    for (const MavoZARP_Handle device : discovery.all) {
        CapturedOutput output;
        E2E_REQUIRE(Initialize(device).status == MAVOZARP_STATUS_SUCCESS);
    }
    const auto handle = [&](uint32_t number) {
        return static_cast<MavoZARP_Handle>(adapter.openHandle(number));
    };
    const MavoZARP_Handle closedDevice = handle(closed);
    E2E_REQUIRE(Send(handle(unplugged), "?TMAIN").status == MAVOZARP_STATUS_SUCCESS);

    E2E_REQUIRE(adapter.setPlugged(unplugged, 0) == 0);
    const Answer failed = Send(handle(unplugged), "?TMAIN");
    E2E_CHECK_EQ(failed.status, MAVOZARP_STATUS_I2C_ERROR);
    E2E_CHECK_EQ(failed.reply, "\r\n");

    // A closed supply keeps its head until the next discovery, but its bus is gone.
    E2E_CHECK_EQ(Library().close(closedDevice), MAVOZARP_STATUS_SUCCESS);
    E2E_CHECK_EQ(Send(closedDevice, "?TMAIN").status, MAVOZARP_STATUS_I2C_ERROR);
    E2E_CHECK_EQ(Library().close(closedDevice), MAVOZARP_STATUS_UNKNOWN_HANDLE);
    // Both leave the table; the closed supply, still plugged, is found again as a new one.
    const Discovery after = CheckForDevices();
    E2E_CHECK(after.removed == discovery.all);
    E2E_REQUIRE(after.added.size() == 1);
    E2E_CHECK(after.all == after.added);
    E2E_CHECK_EQ(static_cast<uintptr_t>(after.added[0]), adapter.openHandle(closed));
    E2E_CHECK(after.added[0] != closedDevice);
    E2E_CHECK_EQ(Send(closedDevice, "?TMAIN").status, MAVOZARP_STATUS_UNKNOWN_HANDLE);
}

// Every adapter path answers the library's absence; nothing else depends on it.
void WithoutTheAdapterLibrary() {
    if (Options().adapter != AdapterSetup::Missing) Skip("the adapter library is beside the host");
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Context context("attempt " + std::to_string(attempt + 1));
        MavoZARP_Handle lists[3][MAVOZARP_MAX_DEVICES];
        std::fill(&lists[0][0], &lists[0][0] + 3 * MAVOZARP_MAX_DEVICES, MavoZARP_Handle{7});
        int32_t counts[3] = {-7, -7, -7};
        E2E_CHECK_EQ(Library().checkForDevices(lists[0], &counts[0], lists[1], &counts[1],
                                               lists[2], &counts[2]),
                     MAVOZARP_STATUS_ADAPTER_NOT_LOADED);
        E2E_CHECK(std::all_of(&lists[0][0], &lists[0][0] + 3 * MAVOZARP_MAX_DEVICES,
                              [](MavoZARP_Handle h) { return h == 7; }));
        E2E_CHECK(counts[0] == -7 && counts[1] == -7 && counts[2] == -7);

        const Answer version = Version("?*");
        E2E_CHECK_EQ(version.status, MAVOZARP_STATUS_ADAPTER_NOT_LOADED);
        E2E_CHECK_EQ(version.reply, "?*");
    }
    E2E_CHECK_EQ(Version("").reply, "MavoZARP 2.1.0");
    E2E_CHECK_EQ(Send(MAVOZARP_SIMULATED_HANDLE, "?HTYPE").reply, "Dummy\r\n");
}

void AdapterLibraryLackingAnEntryPoint() {
    if (Options().adapter != AdapterSetup::LackingAnEntryPoint) {
        Skip("no adapter library lacking an entry point beside the host");
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Context context("attempt " + std::to_string(attempt + 1));
        E2E_CHECK_EQ(CheckForDevices().status, MAVOZARP_STATUS_ADAPTER_INCOMPLETE);
        const Answer version = Version("?*");
        E2E_CHECK_EQ(version.status, MAVOZARP_STATUS_ADAPTER_INCOMPLETE);
        E2E_CHECK_EQ(version.reply, "?*");
    }
    E2E_CHECK_EQ(Send(MAVOZARP_SIMULATED_HANDLE, "?HTYPE").reply, "Dummy\r\n");
}

// The environment's supplies are seen only before any case resets the emulator: first.
constexpr TestCase kCases[] = {
    {"SuppliesNamedInTheEnvironment", SuppliesNamedInTheEnvironment},
    {"AdapterLibraryVersion", AdapterLibraryVersion},
    {"DiscoveryOfTwoSuppliesAndAnUnpluggedOne", DiscoveryOfTwoSuppliesAndAnUnpluggedOne},
    {"EveryHeadModelOverTheAdapter", EveryHeadModelOverTheAdapter},
    {"DiagnosticLinesOfHeadCreation", DiagnosticLinesOfHeadCreation},
    {"CommandsOfAnUnpluggedOrClosedSupply", CommandsOfAnUnpluggedOrClosedSupply},
    {"WithoutTheAdapterLibrary", WithoutTheAdapterLibrary},
    {"AdapterLibraryLackingAnEntryPoint", AdapterLibraryLackingAnEntryPoint},
};

}  // namespace

std::span<const TestCase> AdapterCases() { return kCases; }

}  // namespace e2e
