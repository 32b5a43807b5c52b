#include "silent_engines.h"

#include <algorithm>
#include <iterator>

namespace ftdi_adapter {

bool SilentEngines::Contains(const Key &key) const {
    return std::find(silent_.begin(), silent_.end(), key) != silent_.end();
}

std::vector<UsbDevice> SilentEngines::Answering(const std::vector<UsbDevice> &attached) {
    std::erase_if(silent_, [&](const Key &key) {
        return std::none_of(attached.begin(), attached.end(),
                            [&](const UsbDevice &device) { return KeyOf(device) == key; });
    });
    std::vector<UsbDevice> answering;
    std::copy_if(attached.begin(), attached.end(), std::back_inserter(answering),
                 [&](const UsbDevice &device) { return !Contains(KeyOf(device)); });
    return answering;
}

bool SilentEngines::Add(const UsbDevice &device) {
    if (Contains(KeyOf(device))) return false;
    silent_.push_back(KeyOf(device));
    return true;
}

}  // namespace ftdi_adapter
