// Heads behind the emulated adapter library through the exports. The input plugs and unplugs
// supplies, runs discovery, identification, commands and closes, and makes the adapter library
// fail, raise or move fewer bytes than asked between them. Rules: only documented codes, replies
// terminated within their buffers and ending in CR LF ("\r\n" alone after a failure), discovery
// lists that fit their 20 entries. Close and the adapter library's version may also pass on its
// own status.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "MavoZARP.h"
#include "fuzz_input.h"
#include "support/adapter_library.h"
#include "support/emulated_adapter_controls.h"
#include "transport/adapter_library.h"

namespace {

namespace ea = emulated_adapter;

constexpr uint32_t kMaxAdapters = 6;

const char *const kPresets[] = {"kora-band2", "picox-640", "vfk", "vfn", "pico00", "p532", ""};
const char *const kEntryPoints[] = {
    "I2C_GetNumDevices", "I2C_GetDeviceNameSerialNumber", "I2C_OpenExSerialNumber",
    "I2C_InitDevice",    "I2C_SetMode",                   "I2C_Close",
    "I2C_Read",          "I2C_ReadAlt",                   "I2C_Write",
    "I2C_GetDllVersion",
};
const char *const kCommands[] = {"?HTYPE", "?P",    "PCMD=1.5", "?TMAIN", "?FF",   "?HID",
                                 "MATCH=1", "?PCMD", "?C",      "CCMD=2", "?TBRF", "?CFG0",
                                 "?HH",     "?EEH",  "SHCMD=1", "?PSDIO", "?L",    "?SH"};

constexpr int32_t kDocumented[] = {
    MAVOZARP_STATUS_SUCCESS,         MAVOZARP_STATUS_UNKNOWN_HANDLE,
    MAVOZARP_STATUS_INVALID_HEAD,    MAVOZARP_STATUS_INVALID_COMMAND,
    MAVOZARP_STATUS_INVALID_DATA,    MAVOZARP_STATUS_I2C_ERROR,
    MAVOZARP_STATUS_ADAPTER_EXCEPTION, MAVOZARP_STATUS_OTHER_ERROR,
};

// Close and the adapter library's version pass its own failure status on unchanged.
void CheckDocumentedOrAdapterStatus(int32_t status) {
    if (status <= 0) CheckStatusAmong(status, kDocumented);
}

void CheckDocumented(int32_t status) { CheckStatusAmong(status, kDocumented); }

// Reads that move fewer bytes than asked while reporting success: the library's entry points
// are wrapped once the adapter library is bound.
uint32_t shortBy = 0;
I2C_ReadFn realRead = nullptr;
I2C_ReadFn realReadAlt = nullptr;

uint32_t MAVOZARP_CALL ShortRead(AdapterHandle handle, uint8_t *control, uint32_t controlCount,
                                 int32_t controlAck, uint32_t controlAckTimeoutMs,
                                 uint32_t readType, uint8_t *data, uint32_t dataCount) {
    return realRead(handle, control, controlCount, controlAck, controlAckTimeoutMs, readType,
                    data, dataCount - std::min(shortBy, dataCount));
}

uint32_t MAVOZARP_CALL ShortReadAlt(AdapterHandle handle, uint8_t *control,
                                    uint32_t controlCount, int32_t controlAck,
                                    uint32_t controlAckTimeoutMs, uint32_t readType,
                                    uint8_t *data, uint32_t dataCount) {
    return realReadAlt(handle, control, controlCount, controlAck, controlAckTimeoutMs, readType,
                       data, dataCount - std::min(shortBy, dataCount));
}

struct Session {
    std::vector<MavoZARP_Handle> known;
    uint32_t adapters = 0;

    MavoZARP_Handle Pick(FuzzInput &input) const {
        if (known.empty() || input.Byte() % 8 == 0) {
            return input.Byte() % 2 == 0 ? MAVOZARP_SIMULATED_HANDLE : 7;
        }
        return known[input.Byte() % known.size()];
    }

    // The number of supplies listed, or -1 when discovery failed.
    int32_t Discover() {
        MavoZARP_Handle lists[3][MAVOZARP_MAX_DEVICES];
        int32_t counts[3] = {-7, -7, -7};
        const int32_t status = MavoZARP_CheckForDevices(lists[0], &counts[0], lists[1], &counts[1],
                                                        lists[2], &counts[2]);
        CheckDocumented(status);
        if (status != MAVOZARP_STATUS_SUCCESS) return -1;
        for (int list = 0; list < 3; ++list) {
            FUZZ_CHECK(counts[list] >= 0 && counts[list] <= MAVOZARP_MAX_DEVICES);
            for (int32_t i = 0; i < counts[list]; ++i) FUZZ_CHECK(lists[list][i] != 0);
        }
        known.assign(lists[0], lists[0] + counts[0]);
        for (int32_t i = 0; i < counts[2]; ++i) known.push_back(lists[2][i]);
        return counts[0];
    }

    void Initialize(FuzzInput &input) {
        char headType[MAVOZARP_BUFFER_SIZE + kGuard];
        // A failure may leave the host's text as it was: an empty one.
        std::memset(headType, kSentinel, sizeof headType);
        headType[0] = '\0';
        CheckDocumented(MavoZARP_InitializeHandle(Pick(input), headType));
        CheckText(headType);
    }

    void Send(FuzzInput &input) {
        const std::string command = FuzzedCommand(input, kCommands);
        char reply[MAVOZARP_BUFFER_SIZE + kGuard];
        std::memset(reply, kSentinel, sizeof reply);
        const int32_t status = MavoZARP_SendCommand(Pick(input), command.c_str(), reply);
        CheckDocumented(status);
        CheckText(reply);
        const std::string text(reply);
        FUZZ_CHECK(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
        if (status != MAVOZARP_STATUS_SUCCESS) FUZZ_CHECK(text == "\r\n");
    }

    void Close(FuzzInput &input) { CheckDocumentedOrAdapterStatus(MavoZARP_Close(Pick(input))); }

    void Version() {
        char version[MAVOZARP_BUFFER_SIZE + kGuard];
        std::memset(version, kSentinel, sizeof version);
        std::strcpy(version, "?*");
        CheckDocumentedOrAdapterStatus(MavoZARP_GetDLLVersion(version));
        CheckText(version);
    }

    void Plug(FuzzInput &input) {
        const uint8_t choice = input.Byte();
        if (adapters < kMaxAdapters && choice % 2 == 0) {
            ea::PlugSupply(kPresets[(choice / 2) % std::size(kPresets)]);
            ++adapters;
        } else if (adapters > 0) {
            ea::SetPlugged(input.Byte() % adapters, choice % 4 == 1);
        }
    }

    void Fault(FuzzInput &input) {
        const char *entryPoint = kEntryPoints[input.Byte() % std::size(kEntryPoints)];
        const uint32_t count = 1 + input.Byte() % 3;
        switch (input.Byte() % 5) {
            case 0:
                ea::FailNext(entryPoint, count, 1 + input.Byte());
                break;
            case 1:
                ea::ThrowNext(entryPoint, count);
                break;
            case 2:
                ea::FailTransferAfter(input.Byte() % 16, count, 1 + input.Byte());
                break;
            case 3:
                ea::ThrowTransferAfter(input.Byte() % 16, count);
                break;
            default:
                shortBy = input.Byte() % 4;
                break;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The head factory's two diagnostic lines per identification are no use here.
    FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr);
    FUZZ_CHECK(UseEmulatedAdapter() != nullptr);
    char version[MAVOZARP_BUFFER_SIZE] = "?*";
    FUZZ_CHECK(MavoZARP_GetDLLVersion(version) == MAVOZARP_STATUS_SUCCESS);
    // Bound: the entry point table is the library's own, not read-only memory.
    auto &entryPoints = const_cast<AdapterEntryPoints &>(Adapter());
    realRead = std::exchange(entryPoints.I2C_Read, ShortRead);
    realReadAlt = std::exchange(entryPoints.I2C_ReadAlt, ShortReadAlt);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    // A fresh adapter library; the supplies the library still lists are dropped by discovery.
    ea::Reset();
    shortBy = 0;
    Session session;
    FUZZ_CHECK(session.Discover() == 0);
    while (!input.Empty()) {
        switch (input.Byte() % 8) {
            case 0:
                session.Plug(input);
                break;
            case 1:
                session.Discover();
                break;
            case 2:
                session.Initialize(input);
                break;
            case 3:
            case 4:
                session.Send(input);
                break;
            case 5:
                session.Close(input);
                break;
            case 6:
                session.Fault(input);
                break;
            default:
                session.Version();
                break;
        }
    }
    return 0;
}
