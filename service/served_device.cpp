#include "served_device.h"

#include "client/head_families.h"
#include "client/output.h"
#include "client/status_codes.h"

namespace {

// What the guard and the device documents need to know of the present settings, in this order.
constexpr const char *kSettingQueries[] = {"?PCMD", "?CCMD", "?PMEM"};

std::optional<double> NumberOf(const Exchange &exchange) {
    return exchange.Succeeded() ? ParseNumber(exchange.reply) : std::nullopt;
}

}  // namespace

ServedDevice::ServedDevice(std::string id, DeviceIdentity identity, std::shared_ptr<DeviceLink> link)
    : id_(std::move(id)), identity_(std::move(identity)), link_(std::move(link)) {
    hub_ = std::make_unique<SamplerHub>(
        [this](CommandBatch batch, BatchDone done) { Submit(std::move(batch), std::move(done)); },
        identity_.headType);
}

ServedDevice::~ServedDevice() {
    hub_.reset();
    link_->Retire();
}

void ServedDevice::Submit(CommandBatch batch, BatchDone done) {
    link_->Submit(std::move(batch), [weak = weak_from_this(), done = std::move(done)](BatchResult result) {
        if (const auto device = weak.lock()) device->Account(result);
        done(std::move(result));
    });
}

void ServedDevice::Status(std::chrono::milliseconds maxAge, std::function<void(PanelRead)> done) {
    // The read keeps the device, and so its sampler, until it is done.
    hub_->Status(
        maxAge,
        [self = shared_from_this()](CommandBatch batch, BatchDone batchDone) {
            self->Submit(std::move(batch), std::move(batchDone));
        },
        std::move(done));
}

void ServedDevice::Account(const BatchResult &result) {
    if (result.outcome != BatchOutcome::Ran) return;
    std::lock_guard lock(mutex_);
    for (const Exchange &exchange : result.exchanges) {
        ++counts_.total;
        if (!exchange.Succeeded()) ++counts_.failuresByStatus[exchange.status];
    }
    if (result.exchanges.empty()) return;
    // A command's own refusal (invalid command or data) still means the head answers.
    const Exchange &last = result.exchanges.back();
    lastFailure_ = last.Succeeded() || DescribeStatus(last.status).ofTheCommand ? 0 : last.status;
}

void ServedDevice::Retire() {
    retired_ = true;
    link_->Retire();
}

const char *ServedDevice::State() const {
    if (retired_) return "gone";
    std::lock_guard lock(mutex_);
    return trouble_.empty() && lastFailure_ == 0 ? "answering" : "failing";
}

std::string ServedDevice::Reason() const {
    if (retired_) return "the device left";
    std::lock_guard lock(mutex_);
    if (!trouble_.empty()) return trouble_;
    if (lastFailure_ != 0) return "its last command did not reach the head: " + StatusMessage(lastFailure_);
    return {};
}

CommandCounts ServedDevice::Counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

void ServedDevice::SetWorker(DeviceWorker worker, std::string trouble) {
    std::lock_guard lock(mutex_);
    worker_ = worker;
    trouble_ = std::move(trouble);
}

std::optional<DeviceWorker> ServedDevice::Worker() const {
    std::lock_guard lock(mutex_);
    return worker_;
}

void ServedDevice::ReadSettings(bool meetHead) {
    CommandBatch batch{{}, BatchMode::Every};
    if (meetHead) batch.commands.emplace_back(kPowerUnitQuery);
    batch.commands.insert(batch.commands.end(), std::begin(kSettingQueries), std::end(kSettingQueries));
    const size_t asked = batch.commands.size();
    Submit(std::move(batch), [weak = weak_from_this(), meetHead, asked](BatchResult result) {
        const auto self = weak.lock();
        if (self && result.outcome == BatchOutcome::Ran && result.exchanges.size() == asked)
            self->Learn(result.exchanges, meetHead);
    });
}

void ServedDevice::Learn(const std::vector<Exchange> &exchanges, bool meetHead) {
    auto reading = exchanges.begin();
    if (meetHead) {
        const Exchange &unit = *reading++;
        limits_.MeetHead(unit.Succeeded() ? unit.reply : std::string(),
                         FamilyOfHeadType(identity_.headType).powerAndCurrentCoupled);
    }
    const PresentSettings settings{.powerCommand = NumberOf(reading[0]),
                                   .powerMemory = NumberOf(reading[2]),
                                   .currentCommand = NumberOf(reading[1])};
    if (settings.powerCommand && settings.currentCommand)
        limits_.Observe(*settings.powerCommand, *settings.currentCommand);
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

std::vector<Exceedance> ServedDevice::BeyondLimits() const {
    PresentSettings settings;
    {
        std::lock_guard lock(mutex_);
        settings = settings_;
    }
    return limits_.Beyond(settings);
}
