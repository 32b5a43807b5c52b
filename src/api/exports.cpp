// The six exported functions: the common frame (lock, routing, catch) around their bodies.
#include <algorithm>
#include <cstring>
#include <string>

#include "MavoZARP.h"
#include "api/adapter_state.h"
#include "api/device_tables.h"
#include "api/discovery.h"
#include "api/head_factory.h"
#include "api/return_codes.h"
#include "api/serial_supplies.h"
#include "base/failure_message.h"
#include "heads/dummy_laser.h"
#include "interpreter/interpreter.h"
#include "platform/api_lock.h"
#include "transport/adapter_library.h"
#include "transport/serial_port.h"
#include "transport/text_supply.h"

namespace {

// The project version, given by the build so that it is written in one place.
constexpr const char *kLibraryVersion = MAVOZARP_VERSION;
constexpr const char *kLineEnd = "\r\n";

// Runs a body under the lock. A failure that escapes the body's own handling still ends as a
// status: a failure message through the mapping, anything else as -999.
template <class Body>
int32_t RunLocked(Body body) {
    if (!ApiLockAcquire()) return MAVOZARP_STATUS_LOCK_FAILED;
    int32_t status;
    try {
        status = body();
    } catch (const FailureMessage &failure) {
        status = MapFailureMessage(failure.text);
    } catch (...) {
        status = MAVOZARP_STATUS_OTHER_ERROR;
    }
    ApiLockRelease();
    return status;
}

enum class Route { Adapter, Bridge, Text, Simulated, Unknown };

struct Routed {
    Route route;
    DeviceSlot *slot;
};

// Adapter, bridge and text tables in that order, then the simulated handle.
Routed RouteHandle(MavoZARP_Handle device) {
    const struct {
        DeviceTable &table;
        Route route;
    } tables[] = {{AdapterTable(), Route::Adapter},
                  {BridgeTable(), Route::Bridge},
                  {TextTable(), Route::Text}};
    for (const auto &entry : tables) {
        const int32_t index = entry.table.Find(device);
        if (index >= 0) return {entry.route, entry.table.slots[index].get()};
    }
    if (device == MAVOZARP_SIMULATED_HANDLE) return {Route::Simulated, nullptr};
    return {Route::Unknown, nullptr};
}

// Copies `text` into a host buffer of 100 bytes, cut to fit and always terminated.
void CopyToHost(const std::string &text, char *buffer) {
    const size_t length = std::min(text.size(), size_t{MAVOZARP_BUFFER_SIZE - 1});
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

// The interpreter's result framed for the host; the result leaves room for the line end.
int32_t Interpret(CommonLaser *head, const char *command, char *reply) {
    char result[MAVOZARP_BUFFER_SIZE] = {};
    const int32_t status = InterpretCommand(head, command, result);
    CopyToHost(std::string(result) + kLineEnd, reply);
    return status;
}

// A call into the adapter library that may raise instead of returning: -102.
template <class Call>
int32_t GuardedAdapterCall(Call call) {
    try {
        return static_cast<int32_t>(call());
    } catch (...) {
        return MAVOZARP_STATUS_ADAPTER_EXCEPTION;
    }
}

int32_t SendCommandBody(MavoZARP_Handle device, const char *command, char *reply) {
    const Routed routed = RouteHandle(device);
    switch (routed.route) {
        case Route::Adapter: {
            const int32_t status = CheckAdapterLibrary();
            if (status != MAVOZARP_STATUS_SUCCESS) return status;
            return Interpret(routed.slot->head.get(), command, reply);
        }
        case Route::Bridge:
            return Interpret(routed.slot->head.get(), command, reply);
        case Route::Text:
            TextSupply::PassThrough(routed.slot->serialLine, command, reply, MAVOZARP_BUFFER_SIZE);
            return MAVOZARP_STATUS_SUCCESS;
        case Route::Simulated: {
            std::unique_ptr<CommonLaser> &head = SimulatedHead();
            if (!head) head = CreateSimulatedHead();
            return Interpret(head.get(), command, reply);
        }
        case Route::Unknown:
            break;
    }
    return MAVOZARP_STATUS_UNKNOWN_HANDLE;
}

int32_t InitializeHandleBody(MavoZARP_Handle device, char *headType) {
    const Routed routed = RouteHandle(device);
    switch (routed.route) {
        case Route::Adapter: {
            const int32_t status = CheckAdapterLibrary();
            if (status != MAVOZARP_STATUS_SUCCESS) return status;
            return CreateHeadForSlot(*routed.slot, headType);
        }
        case Route::Bridge:
            return InitializeBridgeHead(*routed.slot, headType);
        case Route::Text:
            routed.slot->headKind = HeadKind::Text;
            return QueryTextHeadType(routed.slot->serialLine, headType);
        case Route::Simulated:
            CopyToHost("Dummy", headType);
            return MAVOZARP_STATUS_SUCCESS;
        case Route::Unknown:
            break;
    }
    headType[0] = '\0';
    return MAVOZARP_STATUS_UNKNOWN_HANDLE;
}

int32_t CloseBody(MavoZARP_Handle device) {
    const Routed routed = RouteHandle(device);
    switch (routed.route) {
        case Route::Adapter: {
            OpenedAdapter &adapter = routed.slot->adapter;
            // A closed adapter handle is never given to the adapter library again.
            if (adapter.closed) return MAVOZARP_STATUS_UNKNOWN_HANDLE;
            const int32_t status = CheckAdapterLibrary();
            if (status != MAVOZARP_STATUS_SUCCESS) return status;
            // Until the library has closed the adapter it still holds it: the handle stays in
            // use, so a later Close or discovery can close it again.
            const int32_t closed =
                GuardedAdapterCall([&] { return Adapter().I2C_Close(adapter.handle); });
            adapter.closed = closed == MAVOZARP_STATUS_SUCCESS;
            return closed;
        }
        case Route::Bridge:
        case Route::Text: {
            DeviceTable &table = routed.route == Route::Bridge ? BridgeTable() : TextTable();
            const bool closed = SerialPort::Close(routed.slot->serialLine);
            table.Remove(table.Find(device));
            return closed ? MAVOZARP_STATUS_SUCCESS : MAVOZARP_STATUS_SERIAL_ERROR;
        }
        case Route::Simulated:
        case Route::Unknown:
            break;
    }
    return MAVOZARP_STATUS_UNKNOWN_HANDLE;
}

int32_t GetDllVersionBody(char *version) {
    if (std::strcmp(version, "?*") != 0) {
        CopyToHost(std::string("MavoZARP ") + kLibraryVersion, version);
        return MAVOZARP_STATUS_SUCCESS;
    }
    const int32_t check = CheckAdapterLibrary();
    if (check != MAVOZARP_STATUS_SUCCESS) return check;
    // The adapter library's text is terminated within its 100 bytes whatever it wrote, and the
    // whole answer is cut to the host's 100 bytes.
    char adapterVersion[MAVOZARP_BUFFER_SIZE] = {};
    const int32_t status = GuardedAdapterCall(
        [&] { return Adapter().I2C_GetDllVersion(adapterVersion, MAVOZARP_BUFFER_SIZE); });
    adapterVersion[MAVOZARP_BUFFER_SIZE - 1] = '\0';
    CopyToHost(std::string("MavoZARP ") + kLibraryVersion + "; MavoFTCI2C " + adapterVersion,
               version);
    return status;
}

}  // namespace

extern "C" {

MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_GetDLLVersion(char *version) {
    if (version == nullptr) return MAVOZARP_STATUS_INVALID_DATA;
    return RunLocked([&] { return GetDllVersionBody(version); });
}

MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_CheckForDevices(
    MavoZARP_Handle *allDevices, int32_t *allCount, MavoZARP_Handle *newDevices, int32_t *newCount,
    MavoZARP_Handle *removedDevices, int32_t *removedCount) {
    if (allDevices == nullptr || allCount == nullptr || newDevices == nullptr ||
        newCount == nullptr || removedDevices == nullptr || removedCount == nullptr) {
        return MAVOZARP_STATUS_INVALID_DATA;
    }
    DiscoveryLists lists{allDevices, allCount, newDevices, newCount, removedDevices, removedCount};
    return RunLocked([&] { return CheckForDevices(lists); });
}

MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_InitializeHandle(MavoZARP_Handle device, char *headType) {
    if (headType == nullptr) return MAVOZARP_STATUS_INVALID_DATA;
    return RunLocked([&] { return InitializeHandleBody(device, headType); });
}

MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_SendCommand(MavoZARP_Handle device, const char *command,
                                                        char *reply) {
    if (command == nullptr || reply == nullptr) return MAVOZARP_STATUS_INVALID_DATA;
    return RunLocked([&] {
        CopyToHost(kLineEnd, reply);
        return SendCommandBody(device, command, reply);
    });
}

MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_Close(MavoZARP_Handle device) {
    return RunLocked([&] { return CloseBody(device); });
}

MAVOZARP_API int32_t MAVOZARP_CALL MavoZARP_OpenSerialPort(const char *portName,
                                                           MavoZARP_Handle *openedDevice) {
    if (portName == nullptr || openedDevice == nullptr) return MAVOZARP_STATUS_INVALID_DATA;
    return OpenSerialPort(portName, openedDevice);
}

}  // extern "C"
