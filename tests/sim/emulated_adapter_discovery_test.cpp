// The emulated adapter library's adapters as discovery meets them: enumeration by serial number
// and by location, opening with a refused second open, unplugging, failures per adapter, the call
// log, and the supplies a host program asks for through the environment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>

#include "MavoZARP.h"
#include "bus/adapter_supply_list.h"
#include "bus/virtual_supply.h"
#include "support/adapter_library.h"
#include "support/emulated_adapter_controls.h"

namespace {

namespace ea = emulated_adapter;

template <class Fn>
Fn EntryPoint(const char *name) {
    return reinterpret_cast<Fn>(EmulatedAdapterSymbol(name));
}

// The adapter library's entry points, called as the library's discovery calls them.
struct Adapter {
    uint32_t NumDevices() const {
        uint32_t count = 12345;
        EXPECT_EQ(EntryPoint<I2C_GetNumDevicesFn>("I2C_GetNumDevices")(&count), 0u);
        return count;
    }
    struct Naming {
        uint32_t status;
        std::string name;
        std::string serial;
        uint32_t location;
    };
    Naming BySerialNumber(uint32_t index, uint32_t nameSize = 100) const {
        char name[100] = "untouched";
        char serial[100] = "untouched";
        const uint32_t status = EntryPoint<I2C_GetDeviceNameSerialNumberFn>(
            "I2C_GetDeviceNameSerialNumber")(index, name, nameSize, serial);
        return {status, name, serial, 0};
    }
    Naming ByLocation(uint32_t index) const {
        char name[100] = "untouched";
        uint32_t location = 77;
        const uint32_t status = EntryPoint<I2C_GetDeviceNameLocIDFn>("I2C_GetDeviceNameLocID")(
            index, name, 100, &location);
        return {status, name, "", location};
    }
    uint32_t OpenBySerialNumber(std::string name, std::string serial, AdapterHandle &handle) const {
        return EntryPoint<I2C_OpenExSerialNumberFn>("I2C_OpenExSerialNumber")(
            name.data(), serial.data(), &handle);
    }
    uint32_t OpenByLocation(std::string name, uint32_t location, AdapterHandle &handle) const {
        return EntryPoint<I2C_OpenExFn>("I2C_OpenEx")(name.data(), location, &handle);
    }
    uint32_t Init(AdapterHandle handle) const {
        return EntryPoint<I2C_InitDeviceFn>("I2C_InitDevice")(handle, 599);
    }
    uint32_t Mode(AdapterHandle handle) const {
        return EntryPoint<I2C_SetModeFn>("I2C_SetMode")(handle, 1);
    }
    uint32_t Close(AdapterHandle handle) const {
        return EntryPoint<I2C_CloseFn>("I2C_Close")(handle);
    }
    // Reads the main converter's channel 0: a transfer that needs a usable handle.
    uint32_t Transfer(AdapterHandle handle) const {
        uint8_t control[256] = {0x90, 0x84};
        uint8_t data[65536] = {};
        return EntryPoint<I2C_ReadFn>("I2C_Read")(handle, control, 2, 1, 20, 2, data, 2);
    }
    // Opens the adapter by the naming it reports, as discovery does.
    AdapterHandle Open(uint32_t adapter) const {
        const ea::AdapterNaming naming = ea::Naming(adapter);
        AdapterHandle handle = 0;
        EXPECT_EQ(OpenBySerialNumber(naming.description, naming.serialNumber, handle), 0u);
        return handle;
    }
};

class EmulatedAdapters : public ::testing::Test {
protected:
    void SetUp() override { ea::Reset(); }
    Adapter adapter;
};

TEST_F(EmulatedAdapters, EnumerationCountsPluggedAdaptersAndNamesThemByIndex) {
    const uint32_t kora = ea::PlugSupply("kora-band1");
    const uint32_t other = ea::PlugSupply();
    const uint32_t pico = ea::PlugSupply("picox-640");
    ea::SetNaming(other, {"USB Serial Converter", "FT9X2", 0x3301});
    EXPECT_EQ(adapter.NumDevices(), 3u);

    const ea::AdapterNaming koraNaming = ea::Naming(kora);
    const ea::AdapterNaming picoNaming = ea::Naming(pico);
    EXPECT_EQ(koraNaming.description.substr(0, 17), "ZARP Power Supply");
    EXPECT_FALSE(koraNaming.serialNumber.empty());
    EXPECT_NE(koraNaming.serialNumber, picoNaming.serialNumber);
    EXPECT_NE(koraNaming.location, 0u);
    EXPECT_NE(koraNaming.location, picoNaming.location);

    const Adapter::Naming second = adapter.BySerialNumber(1);
    EXPECT_EQ(second.status, 0u);
    EXPECT_EQ(second.name, "USB Serial Converter");
    EXPECT_EQ(second.serial, "FT9X2");
    const Adapter::Naming third = adapter.ByLocation(2);
    EXPECT_EQ(third.status, 0u);
    EXPECT_EQ(third.name, picoNaming.description);
    EXPECT_EQ(third.location, picoNaming.location);
    EXPECT_NE(adapter.BySerialNumber(3).status, 0u);
    EXPECT_NE(adapter.ByLocation(3).status, 0u);

    // A short name buffer gets as much as fits, terminated.
    EXPECT_EQ(adapter.BySerialNumber(0, 5).name, "ZARP");

    // Unplugged adapters leave the enumeration; the later ones move up.
    ea::SetPlugged(kora, false);
    EXPECT_EQ(adapter.NumDevices(), 2u);
    EXPECT_EQ(adapter.BySerialNumber(0).serial, "FT9X2");
    EXPECT_EQ(adapter.BySerialNumber(1).serial, picoNaming.serialNumber);
    ea::SetPlugged(kora, true);
    EXPECT_EQ(adapter.BySerialNumber(0).serial, koraNaming.serialNumber);
}

TEST_F(EmulatedAdapters, NamesTheLibraryMustRefuseAreReportedAsGiven) {
    const uint32_t first = ea::PlugSupply("kora-band1");
    ea::SetNaming(first, {"ZARP Power Suppl", "", 0});
    EXPECT_EQ(adapter.BySerialNumber(0).name, "ZARP Power Suppl");
    EXPECT_EQ(adapter.BySerialNumber(0).serial, "");
    EXPECT_EQ(adapter.ByLocation(0).location, 0u);

    // An adapter named that way still opens when asked exactly: refusing is the host's part.
    AdapterHandle handle = 0;
    EXPECT_EQ(adapter.OpenBySerialNumber("ZARP Power Suppl", "", handle), 0u);
    EXPECT_NE(handle, 0u);
}

TEST_F(EmulatedAdapters, OpeningIsByExactNamingAndRefusedWhileOpen) {
    const uint32_t first = ea::PlugSupply("kora-band1");
    const uint32_t second = ea::PlugSupply("p532");
    const ea::AdapterNaming naming = ea::Naming(first);

    AdapterHandle handle = 0;
    EXPECT_NE(adapter.OpenBySerialNumber(naming.description, naming.serialNumber + "X", handle),
              0u);
    EXPECT_NE(adapter.OpenBySerialNumber("ZARP Power Supply B", naming.serialNumber, handle), 0u);
    EXPECT_NE(adapter.OpenByLocation(naming.description, naming.location + 0x100, handle), 0u);
    EXPECT_EQ(handle, 0u);

    EXPECT_EQ(adapter.OpenByLocation(naming.description, naming.location, handle), 0u);
    EXPECT_NE(handle, 0u);
    EXPECT_NE(handle, static_cast<AdapterHandle>(-1));
    EXPECT_EQ(ea::OpenHandle(first), handle);
    EXPECT_EQ(&ea::Supply(handle), &ea::AdapterSupply(first));

    // A second open is refused by either naming and gives no handle.
    AdapterHandle again = 0;
    EXPECT_NE(adapter.OpenBySerialNumber(naming.description, naming.serialNumber, again), 0u);
    EXPECT_NE(adapter.OpenByLocation(naming.description, naming.location, again), 0u);
    EXPECT_EQ(again, 0u);

    EXPECT_EQ(adapter.Init(handle), 0u);
    EXPECT_EQ(adapter.Mode(handle), 0u);
    EXPECT_EQ(adapter.Transfer(handle), 0u);
    const AdapterHandle other = adapter.Open(second);
    EXPECT_NE(other, handle);

    // Closed, the handle reaches nothing; opened anew, the adapter has a handle never seen.
    EXPECT_EQ(adapter.Close(handle), 0u);
    EXPECT_NE(adapter.Close(handle), 0u);
    EXPECT_NE(adapter.Init(handle), 0u);
    EXPECT_NE(adapter.Transfer(handle), 0u);
    EXPECT_EQ(ea::OpenHandle(first), 0u);
    const AdapterHandle reopened = adapter.Open(first);
    EXPECT_NE(reopened, 0u);
    EXPECT_NE(reopened, handle);
    EXPECT_NE(reopened, other);
}

TEST_F(EmulatedAdapters, HandlesAreNeverGivenTwiceAcrossResets) {
    std::set<AdapterHandle> seen;
    for (int round = 0; round < 3; ++round) {
        ea::Reset();
        const uint32_t plugged = ea::PlugSupply("vfk");
        for (int open = 0; open < 3; ++open) {
            const AdapterHandle handle = adapter.Open(plugged);
            EXPECT_TRUE(seen.insert(handle).second) << std::hex << handle;
            EXPECT_EQ(adapter.Close(handle), 0u);
        }
        EXPECT_TRUE(seen.insert(ea::AddSupply()).second);
    }
    EXPECT_EQ(seen.count(0), 0u);
    EXPECT_EQ(seen.count(static_cast<AdapterHandle>(-1)), 0u);
}

TEST_F(EmulatedAdapters, AnUnpluggedAdapterLeavesItsHandleDeadUntilClosed) {
    const uint32_t plugged = ea::PlugSupply("kora-band2");
    const AdapterHandle handle = adapter.Open(plugged);
    ea::SetPlugged(plugged, false);
    EXPECT_NE(adapter.Init(handle), 0u);
    EXPECT_NE(adapter.Mode(handle), 0u);
    EXPECT_NE(adapter.Transfer(handle), 0u);
    EXPECT_EQ(adapter.NumDevices(), 0u);

    // Plugged back it is a new device: the old handle stays dead, a new open works.
    ea::SetPlugged(plugged, true);
    EXPECT_NE(adapter.Init(handle), 0u);
    const AdapterHandle fresh = adapter.Open(plugged);
    EXPECT_NE(fresh, handle);
    EXPECT_EQ(adapter.Init(fresh), 0u);
    EXPECT_EQ(adapter.Transfer(fresh), 0u);
    // The dead handle is released by its close, which leaves the new one open.
    EXPECT_EQ(adapter.Close(handle), 0u);
    EXPECT_EQ(adapter.Init(fresh), 0u);
    EXPECT_EQ(ea::OpenHandle(plugged), fresh);
}

TEST_F(EmulatedAdapters, FailuresAreInjectedPerAdapterAndStep) {
    const uint32_t first = ea::PlugSupply("kora-band1");
    const uint32_t second = ea::PlugSupply("kora-band1");
    ea::FailStep(second, EmulatedAdapterNamingStep, 2, 41);
    EXPECT_EQ(adapter.BySerialNumber(0).status, 0u);
    EXPECT_EQ(adapter.BySerialNumber(1).status, 41u);
    EXPECT_EQ(adapter.ByLocation(1).status, 41u);
    EXPECT_EQ(adapter.BySerialNumber(1).status, 0u);

    ea::FailStep(first, EmulatedAdapterOpeningStep, 1, 42);
    const ea::AdapterNaming naming = ea::Naming(first);
    AdapterHandle handle = 0;
    EXPECT_EQ(adapter.OpenBySerialNumber(naming.description, naming.serialNumber, handle), 42u);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(ea::OpenHandle(first), 0u);
    handle = adapter.Open(first);
    const AdapterHandle other = adapter.Open(second);

    ea::FailStep(first, EmulatedAdapterInitialisingStep, 1, 43);
    ea::FailStep(first, EmulatedAdapterModeStep, 1, 44);
    EXPECT_EQ(adapter.Init(other), 0u);
    EXPECT_EQ(adapter.Mode(other), 0u);
    EXPECT_EQ(adapter.Init(handle), 43u);
    EXPECT_EQ(adapter.Init(handle), 0u);
    EXPECT_EQ(adapter.Mode(handle), 44u);
    EXPECT_EQ(adapter.Mode(handle), 0u);
}

TEST_F(EmulatedAdapters, ATestMayAskForTheHandleAHostMustRefuse) {
    const uint32_t plugged = ea::PlugSupply("kora-band1");
    ea::SetNextOpenHandle(plugged, static_cast<AdapterHandle>(-1));
    EXPECT_EQ(adapter.Open(plugged), static_cast<AdapterHandle>(-1));
    EXPECT_EQ(adapter.Close(static_cast<AdapterHandle>(-1)), 0u);
    // Asked once: the next open is back to the emulator's own handles.
    EXPECT_NE(adapter.Open(plugged), static_cast<AdapterHandle>(-1));
}

TEST_F(EmulatedAdapters, EveryCallIsLoggedWhateverAnsweredIt) {
    const uint32_t plugged = ea::PlugSupply("kora-band1");
    adapter.NumDevices();
    const AdapterHandle handle = adapter.Open(plugged);
    ea::FailNext("I2C_InitDevice", 1, 9);
    EXPECT_EQ(adapter.Init(handle), 9u);
    ea::ThrowNext("I2C_SetMode", 1);
    EXPECT_ANY_THROW(adapter.Mode(handle));
    EXPECT_EQ(adapter.Close(handle), 0u);

    const std::vector<EmulatedCall> calls = ea::Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_STREQ(calls[0].entryPoint, "I2C_GetNumDevices");
    EXPECT_STREQ(calls[1].entryPoint, "I2C_OpenExSerialNumber");
    EXPECT_EQ(calls[1].handle, handle);
    EXPECT_EQ(calls[1].status, 0u);
    EXPECT_STREQ(calls[2].entryPoint, "I2C_InitDevice");
    EXPECT_EQ(calls[2].argument, 599u);
    EXPECT_EQ(calls[2].status, 9u);
    EXPECT_STREQ(calls[3].entryPoint, "I2C_SetMode");
    EXPECT_EQ(calls[3].raised, 1);
    EXPECT_STREQ(calls[4].entryPoint, "I2C_Close");
    EXPECT_EQ(calls[4].handle, handle);

    ea::Reset();
    EXPECT_TRUE(ea::Calls().empty());
}

// ---- through the library's discovery -----------------------------------------------------------

struct Discovery {
    int32_t status;
    std::vector<MavoZARP_Handle> all, added, removed;
};

Discovery CheckForDevices() {
    MavoZARP_Handle all[MAVOZARP_MAX_DEVICES], added[MAVOZARP_MAX_DEVICES],
        removed[MAVOZARP_MAX_DEVICES];
    int32_t allCount = 0, newCount = 0, removedCount = 0;
    const int32_t status =
        MavoZARP_CheckForDevices(all, &allCount, added, &newCount, removed, &removedCount);
    return {status,
            {all, all + allCount},
            {added, added + newCount},
            {removed, removed + removedCount}};
}

MavoZARP_Handle AsDevice(AdapterHandle handle) { return static_cast<MavoZARP_Handle>(handle); }

TEST_F(EmulatedAdapters, DiscoveryBySerialNumberOpensOnlyTheCandidates) {
    const uint32_t supply = ea::PlugSupply("kora-band1");
    const uint32_t misnamed = ea::PlugSupply("kora-band1");
    const uint32_t withoutSerial = ea::PlugSupply("kora-band1");
    const uint32_t longer = ea::PlugSupply("picox-640");
    ea::SetNaming(misnamed, {"ZARP Power-Supply A", "ZQ1", 0x10});
    ea::SetNaming(withoutSerial, {"ZARP Power Supply A", "", 0x11});
    ea::SetNaming(longer, {"ZARP Power Supply with a longer name", "ZQ3", 0x12});

    const Discovery first = CheckForDevices();
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.added,
              (std::vector{AsDevice(ea::OpenHandle(supply)), AsDevice(ea::OpenHandle(longer))}));
    EXPECT_EQ(ea::OpenHandle(misnamed), 0u);
    EXPECT_EQ(ea::OpenHandle(withoutSerial), 0u);

    // Found again: the open is refused, so both are listed in all only.
    const Discovery second = CheckForDevices();
    EXPECT_EQ(second.all, first.added);
    EXPECT_TRUE(second.added.empty());
    EXPECT_TRUE(second.removed.empty());

    ea::SetPlugged(supply, false);
    const Discovery third = CheckForDevices();
    EXPECT_EQ(third.removed, std::vector{first.added[0]});
    EXPECT_EQ(third.all, std::vector{first.added[1]});
}

TEST(EmulatedAdapterWithoutSerialNumber, DiscoveryGoesByLocation) {
    UseEmulatedAdapter(EmulatedAdapter::WithoutSerialNumber);
    const auto plug = EntryPoint<EmulatedAdapter_PlugSupplyFn>("EmulatedAdapter_PlugSupply");
    const auto setNaming = EntryPoint<EmulatedAdapter_SetNamingFn>("EmulatedAdapter_SetNaming");
    const auto openHandle = EntryPoint<EmulatedAdapter_OpenHandleFn>("EmulatedAdapter_OpenHandle");
    const uint32_t supply = plug("vfk");
    const uint32_t atLocationZero = plug("vfk");
    EmulatedAdapterNaming naming{"ZARP Power Supply A", "ZQ9", 0};
    ASSERT_EQ(setNaming(atLocationZero, &naming), 0);

    const Discovery found = CheckForDevices();
    ASSERT_EQ(found.status, 0);
    EXPECT_EQ(found.added, std::vector{AsDevice(openHandle(supply))});
    EXPECT_EQ(openHandle(atLocationZero), 0u);
}

// ---- configuration from the environment ---------------------------------------------------------

// Every test runs in a process of its own, so the variable is in place before the emulator's
// first use reads it.
TEST(EmulatedAdapterEnvironment, ConfiguredSuppliesArePluggedAndBadEntriesNamed) {
    ASSERT_EQ(setenv(sim::kAdapterSupplyListVariable,
                     "kora-band1, nonsense ,picox-640@serial=ABC@location=0x31,p532@bogus", 1),
              0);
    UseEmulatedAdapter();
    ::testing::internal::CaptureStderr();
    Adapter adapter;
    EXPECT_EQ(adapter.NumDevices(), 2u);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    unsetenv(sim::kAdapterSupplyListVariable);

    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
    EXPECT_NE(errors.find("\"nonsense\""), std::string::npos) << errors;
    EXPECT_NE(errors.find("\"p532@bogus\""), std::string::npos) << errors;

    const Adapter::Naming pico = adapter.ByLocation(1);
    EXPECT_EQ(pico.name, "ZARP Power Supply A");
    EXPECT_EQ(pico.location, 0x31u);
    EXPECT_EQ(adapter.BySerialNumber(1).serial, "ABC");
    const std::vector<uint8_t> type = ea::AdapterSupply(1).ReadMemory(0xA4, 0x100, 5);
    EXPECT_EQ(std::string(type.begin(), type.end()), "PicoX");

    // A reset starts from no supplies and leaves the variable unread.
    ea::Reset();
    EXPECT_EQ(adapter.NumDevices(), 0u);
}

TEST(AdapterSupplyList, EntriesWithTheirAttributes) {
    const sim::AdapterSupplyList list = sim::ParseAdapterSupplyList(
        " kora-band1 ,,vfn@name=ZARP Power Supply B@serial=S 1@location=4097,"
        "vgk@location=0XfF@serial=,blank-memory@name=");
    EXPECT_TRUE(list.problems.empty());
    ASSERT_EQ(list.entries.size(), 4u);
    EXPECT_EQ(list.entries[0].preset, "kora-band1");
    EXPECT_FALSE(list.entries[0].description || list.entries[0].serialNumber ||
                 list.entries[0].location);
    EXPECT_EQ(list.entries[1].description, "ZARP Power Supply B");
    EXPECT_EQ(list.entries[1].serialNumber, "S 1");
    EXPECT_EQ(list.entries[1].location, 4097u);
    EXPECT_EQ(list.entries[2].location, 0xFFu);
    EXPECT_EQ(list.entries[2].serialNumber, "");
    EXPECT_EQ(list.entries[3].description, "");
    EXPECT_TRUE(sim::ParseAdapterSupplyList("").entries.empty());
    EXPECT_TRUE(sim::ParseAdapterSupplyList(" , ").problems.empty());
}

TEST(AdapterSupplyList, EachBadEntryIsLeftOutWithItsReason) {
    const std::string tooLong(sim::kAdapterTextLength + 1, 's');
    const struct {
        std::string entry;
        std::string reason;
    } cases[] = {
        {"kora", "unknown preset \"kora\""},
        {"@serial=A", "no preset name"},
        {"vfk@serial", "\"serial\" is not key=value"},
        {"vfk@colour=red", "unknown key \"colour\" (name, serial or location)"},
        {"vfk@serial=A@serial=B", "\"serial\" given twice"},
        {"vfk@serial=" + tooLong, "serial longer than 99 characters"},
        {"vfk@location=12x", "location \"12x\" is not a 32-bit number"},
        {"vfk@location=4294967296", "location \"4294967296\" is not a 32-bit number"},
        {"vfk@location=-1", "location \"-1\" is not a 32-bit number"},
        {"vfk@location=0x", "location \"0x\" is not a 32-bit number"},
    };
    for (const auto &row : cases) {
        SCOPED_TRACE(row.entry);
        const sim::AdapterSupplyList list =
            sim::ParseAdapterSupplyList("vgk," + row.entry + ",p532");
        ASSERT_EQ(list.problems.size(), 1u);
        EXPECT_EQ(list.problems[0].entry, row.entry);
        EXPECT_EQ(list.problems[0].reason, row.reason);
        ASSERT_EQ(list.entries.size(), 2u);
        EXPECT_EQ(list.entries[1].preset, "p532");
    }
    // The longest texts that fit are taken.
    const std::string longest(sim::kAdapterTextLength, 'n');
    EXPECT_EQ(sim::ParseAdapterSupplyList("vfk@name=" + longest).entries.at(0).description,
              longest);
}

}  // namespace
