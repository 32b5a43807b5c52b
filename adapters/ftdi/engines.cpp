#include "chips.h"
#include "usb_link.h"

namespace ftdi_adapter {

Status EnumerateEngines(UsbBackend &backend, std::vector<UsbDevice> &engines) {
    std::vector<UsbChip> chips;
    const Status status = backend.ListChips(
        [](uint16_t release) { return ChipOfRelease(release) != nullptr; }, chips);
    if (status != Status::kOk) return status;
    for (const UsbChip &chip : chips) {
        const ChipTraits *traits = ChipOfRelease(chip.release);
        if (traits == nullptr) continue;
        for (unsigned channel = 0; channel < traits->mpsseChannels; ++channel) {
            // Chips with several channels name each by its letter, as FTDI's own drivers do.
            const std::string letter = traits->channels > 1
                                           ? std::string(1, static_cast<char>('A' + channel))
                                           : std::string();
            engines.push_back(UsbDevice{
                .description = chip.product + (letter.empty() ? "" : " " + letter),
                .serialNumber = chip.serialNumber + letter,
                .location = LocationOf(chip.bus, chip.portPath, channel + 1),
                .address = chip.address,
                .chip = traits->chip,
                .access = chip.access,
            });
        }
    }
    return Status::kOk;
}

}  // namespace ftdi_adapter
