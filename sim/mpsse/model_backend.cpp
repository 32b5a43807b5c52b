// The USB side of the adapter library's test build: FTDI chips of every kind the library may meet
// (mpsse/model_controls.h), each channel wired to a virtual supply, an engine model driving its
// bus bit by bit where the channel has one.
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ftdi/usb_link.h"
#include "mpsse/model_chips.h"

namespace mpsse_model {

namespace {

using ftdi_adapter::Status;

class ModelLink : public ftdi_adapter::MpsseLink {
public:
    ModelLink(std::shared_ptr<ModelChip> chip, ModelChannel &channel)
        : chip_(std::move(chip)), channel_(channel), generation_(chip_->generation) {}
    ~ModelLink() override {
        std::lock_guard<std::mutex> lock(State().mutex);
        if (channel_.openLink == this) channel_.openLink = nullptr;
    }

    // A channel without an engine stays a UART: the chip takes the mode request and ignores it.
    Status ResetEngine() override {
        return OnChannel([](ModelChannel &channel) {
            channel.engine.Reset();
            channel.mpsseMode = channel.hasMpsse;
            return Status::kOk;
        });
    }

    Status Send(const std::vector<uint8_t> &commands) override {
        return OnChannel([&](ModelChannel &channel) {
            if (channel.sendsBeforeUnplug == 0) {
                channel.sendsBeforeUnplug = -1;
                Unplug(*chip_);
                return Status::kUsbFailure;
            }
            if (channel.sendsBeforeUnplug > 0) --channel.sendsBeforeUnplug;
            if (!channel.mpsseMode) {
                channel.bytesWithoutMpsse += commands.size();
                std::fprintf(stderr, "MPSSE model: %zu bytes written to channel %c of %s, "
                             "which is not in MPSSE mode\n",
                             commands.size(), static_cast<char>('A' + ChannelIndex()),
                             chip_->serialNumber.c_str());
                return Status::kOk;
            }
            if (!channel.answering) return Status::kOk;
            try {
                channel.engine.Execute(commands.data(), commands.size());
                return Status::kOk;
            } catch (const sim::MpsseRefusal &refusal) {
                std::fprintf(stderr, "%s\n", refusal.what());
                return Status::kEngineOutOfStep;
            }
        });
    }

    // The model answers at once: what is not there now never comes, and a real adapter would
    // have been waited for until the time-out.
    Status Receive(uint8_t *answer, size_t count, uint32_t) override {
        return OnChannel([&](ModelChannel &channel) {
            if (channel.engine.TakeAnswer(answer, count) == count) return Status::kOk;
            ++channel.timeOutWaits;
            return Status::kAdapterTimedOut;
        });
    }

private:
    unsigned ChannelIndex() const {
        for (unsigned i = 0; i < chip_->channels.size(); ++i) {
            if (chip_->channels[i].get() == &channel_) return i;
        }
        return 0;
    }

    // The channel while its chip is plugged since the link was opened; else the USB failure an
    // unplugged device gives.
    template <class Work>
    Status OnChannel(Work work) {
        std::lock_guard<std::mutex> lock(State().mutex);
        if (!chip_->plugged || chip_->generation != generation_) return Status::kUsbFailure;
        return work(channel_);
    }

    std::shared_ptr<ModelChip> chip_;
    ModelChannel &channel_;
    unsigned generation_;
};

class ModelBackend : public ftdi_adapter::UsbBackend {
public:
    std::string Name() const override { return "an MPSSE engine model"; }

    Status ListChips(const std::function<bool(uint16_t release)> &named,
                     std::vector<ftdi_adapter::UsbChip> &found) override {
        Model &model = State();
        std::lock_guard<std::mutex> lock(model.mutex);
        for (const auto &chip : model.chips) {
            if (!chip->plugged) continue;
            ftdi_adapter::UsbChip listed;
            listed.release = chip->type->release;
            listed.bus = kModelBus;
            listed.portPath = chip->portPath;
            listed.address = AddressOf(*chip);
            if (named(listed.release)) {
                listed.product = chip->product;
                listed.serialNumber = chip->serialNumber;
            }
            found.push_back(std::move(listed));
        }
        return Status::kOk;
    }

    // Any channel opens, with or without an engine, as on real USB.
    Status Open(const ftdi_adapter::UsbDevice &wanted,
                std::unique_ptr<ftdi_adapter::MpsseLink> &link) override {
        Model &model = State();
        std::lock_guard<std::mutex> lock(model.mutex);
        for (const auto &chip : model.chips) {
            for (unsigned channel = 0; channel < chip->channels.size(); ++channel) {
                const uint32_t location =
                    ftdi_adapter::LocationOf(kModelBus, chip->portPath, channel + 1);
                if (!chip->plugged || location != wanted.location ||
                    AddressOf(*chip) != wanted.address) {
                    continue;
                }
                ModelChannel &opened = *chip->channels[channel];
                if (opened.openLink != nullptr) return Status::kAlreadyOpen;
                link = std::make_unique<ModelLink>(chip, opened);
                opened.openLink = link.get();
                return Status::kOk;
            }
        }
        return Status::kDeviceNotFound;
    }
};

}  // namespace

}  // namespace mpsse_model

namespace ftdi_adapter {

UsbBackend &Backend() {
    static mpsse_model::ModelBackend *backend = new mpsse_model::ModelBackend;
    return *backend;
}

}  // namespace ftdi_adapter
