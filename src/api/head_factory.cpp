#include "api/head_factory.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <variant>

#include "MavoZARP.h"
#include "api/return_codes.h"
#include "base/failure_message.h"
#include "heads/head_models.h"
#include "transport/nxp_bridge.h"

namespace {

using HeadConstructor = std::unique_ptr<CommonLaser> (*)(const Transport &transport);

// Chosen by the beginning of the head's type text, first match wins. Some models need the second
// head memory to name their partner.
struct HeadModel {
    const char *typePrefix;
    const char *secondaryPrefix = nullptr;  // null: no condition
    HeadConstructor construct;
    HeadKind headKind;
};

constexpr HeadModel kHeadModels[] = {
    {.typePrefix = "Kora", .construct = CreateKora, .headKind = HeadKind::Kora},
    {.typePrefix = "PicoX", .construct = CreatePicoX, .headKind = HeadKind::PicoX},
    {.typePrefix = "P-NIR", .construct = CreatePicoX, .headKind = HeadKind::PicoX},
    {.typePrefix = "Pico00", .construct = CreatePico00, .headKind = HeadKind::Pico00},
    {.typePrefix = "P532", .construct = CreateP532, .headKind = HeadKind::P532},
    {.typePrefix = "VFN",
     .secondaryPrefix = "VFK",
     .construct = CreateVfn,
     .headKind = HeadKind::Vfn},
    {.typePrefix = "VFK", .construct = CreateVfk, .headKind = HeadKind::Vfk},
    {.typePrefix = "VGN",
     .secondaryPrefix = "VGK",
     .construct = CreateVfn,
     .headKind = HeadKind::Vfn},
    {.typePrefix = "VGK", .construct = CreateVfk, .headKind = HeadKind::Vfk},
};

bool BeginsWith(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void CopyHeadType(const char *text, char *headType) {
    std::snprintf(headType, MAVOZARP_BUFFER_SIZE, "%.16s", text);
}

// The model of the head the probe reads, or "Invalid head".
const HeadModel &ChooseModel(CommonLaser &probe, const char *headType) {
    for (const HeadModel &model : kHeadModels) {
        if (!BeginsWith(headType, model.typePrefix)) continue;
        if (model.secondaryPrefix != nullptr &&
            !BeginsWith(probe.GetSecondaryHeadType(), model.secondaryPrefix)) {
            break;
        }
        return model;
    }
    RaiseFailure(kInvalidHead);
}

int32_t BuildHead(DeviceSlot &slot, char *headType) {
    if (slot.headKind != HeadKind::None) {
        CopyHeadType(slot.head->GetHeadType(), headType);
        return MAVOZARP_STATUS_SUCCESS;
    }
    // The probe is destroyed on every way out, before a failure reaches the caller.
    const HeadModel *model;
    {
        CommonLaser probe(slot.transport);
        CopyHeadType(probe.GetHeadType(), headType);
        model = &ChooseModel(probe, headType);
    }
    slot.head = model->construct(slot.transport);
    slot.headKind = model->headKind;
    return MAVOZARP_STATUS_SUCCESS;
}

}  // namespace

int32_t CreateHeadForSlot(DeviceSlot &slot, char *headType) {
    int32_t status;
    try {
        status = BuildHead(slot, headType);
    } catch (const FailureMessage &failure) {
        status = MapFailureMessage(failure.text);
        headType[0] = '\0';
        slot.head.reset();
        slot.headKind = HeadKind::None;
    } catch (...) {
        status = MAVOZARP_STATUS_OTHER_ERROR;
    }
    std::printf("Exit headType=%s\n", headType);
    std::printf("Exit status=%d\n", static_cast<int>(status));
    std::fflush(stdout);
    return status;
}

int32_t InitializeBridgeHead(DeviceSlot &slot, char *headType) {
    // A failure of the bus clear is the call's status; the slot keeps its head and, as the head
    // factory did not run, no diagnostic lines are written.
    try {
        NXP::ClearBus(std::get<NXP::Bridge>(slot.transport));
    } catch (const FailureMessage &failure) {
        headType[0] = '\0';
        return MapFailureMessage(failure.text);
    } catch (...) {
        headType[0] = '\0';
        return MAVOZARP_STATUS_OTHER_ERROR;
    }
    return CreateHeadForSlot(slot, headType);
}
