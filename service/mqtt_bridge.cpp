#include "mqtt_bridge.h"

#include "mqtt_connection.h"
#include "mqtt_topics.h"

#include "client/documents.h"
#include "stream_events.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr size_t kLongestCommandMessage = 4096;
constexpr size_t kMostCommandsPerMessage = 16;
constexpr size_t kMostWaitingCommands = 64;
constexpr size_t kRememberedCommandIds = 1024;  // per bridge, for recognising redeliveries
constexpr size_t kLongestCommandId = 128;

// A device being published: its topics and what was last said about it.
struct Feed {
    std::shared_ptr<ServedDevice> device;
    std::string topic;  // prefix + level + "/"
    uint64_t sequence = 0;
    std::optional<uint32_t> faultWord;
    std::string state;
    std::unique_ptr<SamplerHub::Subscription> subscription;
};

// JSON text of a document that may carry bytes from outside (a device id from a topic, a reply):
// bytes that are not UTF-8 are replaced rather than thrown over.
std::string JsonPayload(const Json &document) {
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A command's id: a whole number, or a text of 1 to 128 characters.
bool IsCommandId(const Json &id) {
    if (id.is_number_unsigned()) return true;
    return id.is_string() && !id.get<std::string>().empty() &&
           id.get<std::string>().size() <= kLongestCommandId;
}

// Why a command message is answered with an error.
struct CommandError {
    std::string error;
    std::string message;
};

}  // namespace

struct MqttBridge::Impl : std::enable_shared_from_this<MqttBridge::Impl> {
    MqttOptions options;
    CommandGate &gate;

    std::mutex mutex;  // the feeds and stopping
    std::map<std::string, std::unique_ptr<Feed>> feeds;  // by device id
    bool stopping = false;
    std::atomic<size_t> commandsWaiting{0};  // submitted to their devices, not yet answered

    // Owned by the connection's thread, where commands arrive.
    std::set<std::string> seenIds;
    std::deque<std::string> seenOrder;

    // Last: its thread hands commands to what is above from the moment it is made.
    MqttConnection connection;

    Impl(MqttOptions options, CommandGate &gate)
        : options(std::move(options)),
          gate(gate),
          connection(this->options, [this](const IncomingCommand &command) { CommandArrived(command); }) {}

    // ---- feeds: what the samplers and the registry hand over --------------------------------

    void Sampled(Feed &feed, const Sample &sample) {
        Json document = SampleJson(feed.device->Id(), sample);
        document["sequence"] = ++feed.sequence;
        std::optional<uint32_t> faultWord = feed.faultWord;
        for (const SampledReading &reading : sample.readings) {
            if (reading.command == kFaultWordQuery && reading.exchange.Succeeded())
                faultWord = ParseWord(reading.exchange.reply);
        }
        const std::string state = feed.device->State();

        std::vector<MqttMessage> messages;
        for (const SampledReading &reading : sample.readings) {
            if (!reading.exchange.Succeeded()) continue;
            messages.push_back({.topic = feed.topic + "reading/" + TopicLevel(reading.command),
                                .payload = reading.exchange.reply});
        }
        messages.push_back({.topic = feed.topic + "sample", .payload = JsonPayload(document)});
        if (faultWord && faultWord != feed.faultWord) {
            const HeadFamily &family = FamilyOfHeadType(feed.device->Identity().headType);
            messages.push_back(
                {.topic = feed.topic + "faults", .payload = FaultsJson(*faultWord, family).dump(), .retain = true});
            feed.faultWord = faultWord;
        }
        if (state != feed.state) {
            messages.push_back({.topic = feed.topic + "state", .payload = state, .retain = true});
            feed.state = state;
        }
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
        }
        connection.PublishSample(std::move(messages));
    }

    void Arrived(const std::shared_ptr<ServedDevice> &device) {
        auto feed = std::make_unique<Feed>();
        feed->device = device;
        feed->topic = options.prefix + TopicLevel(device->Id()) + "/";
        feed->state = device->State();
        Json description = DeviceJson(device->Identity());
        description["id"] = device->Id();
        description["readings"] = options.readings;
        description["interval_seconds"] = std::chrono::duration<double>(options.interval).count();
        Feed &fed = *feed;
        {
            std::lock_guard lock(mutex);
            if (stopping || feeds.contains(device->Id())) return;
            connection.Publish(
                {.topic = fed.topic + "description", .payload = JsonPayload(description), .retain = true});
            connection.Publish({.topic = fed.topic + "state", .payload = fed.state, .retain = true});
            feeds[device->Id()] = std::move(feed);
        }
        // Subscribed outside the lock: the first sample may arrive at once and takes it.
        auto subscription = device->Hub().Subscribe(options.readings, options.interval,
                                                    [this, &fed](const Sample &sample) { Sampled(fed, sample); });
        std::lock_guard lock(mutex);
        fed.subscription = std::move(subscription);
    }

    void Departed(const std::shared_ptr<ServedDevice> &device) {
        std::unique_ptr<Feed> feed;
        {
            std::lock_guard lock(mutex);
            const auto found = feeds.find(device->Id());
            if (found == feeds.end()) return;
            feed = std::move(found->second);
            feeds.erase(found);
        }
        // Ends the subscription (waiting for a sample being handed over) outside the lock.
        std::unique_ptr<SamplerHub::Subscription> subscription = std::move(feed->subscription);
        subscription.reset();
        connection.Publish({.topic = feed->topic + "state", .payload = "gone", .retain = true});
    }

    // ---- commands ---------------------------------------------------------------------------

    void Reply(const std::string &topic, const std::string &correlation, const Json &document) {
        connection.Publish({.topic = topic, .payload = JsonPayload(document), .correlation = correlation});
    }

    void ReplyError(const std::string &topic, const std::string &correlation, const Json &id,
                    const CommandError &error) {
        Reply(topic, correlation, Json{{"id", id}, {"error", error.error}, {"message", error.message}});
    }

    // Whether this command id was seen before (a redelivery); remembers it otherwise.
    bool SeenBefore(const std::string &device, const Json &id) {
        std::string key = device + '\n' + id.dump();
        if (seenIds.contains(key)) return true;
        seenOrder.push_back(key);
        seenIds.insert(std::move(key));
        if (seenOrder.size() > kRememberedCommandIds) {
            seenIds.erase(seenOrder.front());
            seenOrder.pop_front();
        }
        return false;
    }

    // A message on <prefix><device>/command, on the connection thread: checked here, carried out
    // by the executor thread.
    void CommandArrived(const IncomingCommand &command) {
        const std::string_view topic = command.topic;
        const std::string_view level = command.level;
        std::string replyTopic = command.responseTopic;
        const std::string &correlation = command.correlation;
        const auto answer = [&](const Json &id, const CommandError &error) {
            if (IsPublishableTopic(replyTopic)) return ReplyError(replyTopic, correlation, id, error);
            std::cerr << "mavozarp serve: MQTT command on " << topic << " without a reply topic: "
                      << error.message << '\n';
        };
        if (command.payload.size() > kLongestCommandMessage) {
            return answer(nullptr, {"too-large", "a command message holds at most 4096 bytes"});
        }
        const Json body = Json::parse(command.payload.begin(), command.payload.end(), nullptr, false);
        if (body.is_discarded() || !body.is_object())
            return answer(nullptr, {"bad-json", "the message is not a JSON object"});
        if (replyTopic.empty() && body.contains("reply_to") && body["reply_to"].is_string())
            replyTopic = body["reply_to"].get<std::string>();
        const Json id = body.contains("id") ? body["id"] : Json(nullptr);
        if (!IsCommandId(id))
            return answer(nullptr, {"bad-request", "\"id\" must be a number or a text of 1 to 128 characters"});
        if (!IsPublishableTopic(replyTopic))
            return answer(id, {"bad-request", "the reply topic is missing or holds + or #"});
        const std::optional<std::string> deviceId = IdOfTopicLevel(level);
        if (SeenBefore(std::string(level), id)) return;
        std::vector<std::string> list;
        if (const std::optional<CommandError> problem = ReadCommandList(body, list)) return answer(id, *problem);
        std::shared_ptr<ServedDevice> device;
        {
            std::lock_guard lock(mutex);
            const auto found = deviceId ? feeds.find(*deviceId) : feeds.end();
            if (found != feeds.end()) device = found->second->device;
        }
        if (device == nullptr) {
            const Json named = JsonText(deviceId.value_or(std::string(level)));
            return answer(id, {"unknown-device", "no device " + JsonPayload(named) + " is served"});
        }
        if (++commandsWaiting > kMostWaitingCommands) {
            --commandsWaiting;
            return answer(id, {"busy", "too many commands are waiting"});
        }
        CommandBatch batch{list, BatchMode::UntilFailure};
        gate.Submit({.door = Door::Mqtt, .address = {}, .token = command.token}, device, std::move(batch),
                    [weak = weak_from_this(), device, list, id, replyTopic, correlation](GateAnswer answer) {
                        const auto self = weak.lock();
                        if (self == nullptr) return;
                        --self->commandsWaiting;
                        self->Reply(replyTopic, correlation, AnswerDocument(*device, list, id, answer));
                    });
    }

    static Json AnswerDocument(const ServedDevice &device, const std::vector<std::string> &list, const Json &id,
                               const GateAnswer &answer) {
        if (answer.refusal) return Json{{"id", id}, {"error", answer.refusal->error}, {"message", answer.refusal->message}};
        const BatchResult &result = answer.result;
        if (result.outcome != BatchOutcome::Ran) {
            const char *error = result.outcome == BatchOutcome::Busy ? "busy" : "gone";
            return Json{{"id", id}, {"error", error}, {"message", result.why}};
        }
        Json document = BatchDocument(device.Identity(), BatchOf(list, result.exchanges));
        document["id"] = id;
        document["device"] = device.Id();
        return document;
    }

    static std::optional<CommandError> ReadCommandList(const Json &body, std::vector<std::string> &list) {
        for (const auto &[key, value] : body.items()) {
            if (key != "id" && key != "reply_to" && key != "command" && key != "commands")
                return CommandError{"bad-request", "unknown field \"" + key + "\""};
        }
        if (body.contains("command") == body.contains("commands"))
            return CommandError{"bad-request", "give \"command\" (a text) or \"commands\" (a list)"};
        const Json commands = body.contains("command") ? Json::array({body["command"]}) : body["commands"];
        if (!commands.is_array() || commands.empty() || commands.size() > kMostCommandsPerMessage)
            return CommandError{"bad-request", "\"commands\" must be a list of 1 to 16 texts"};
        for (const Json &command : commands) {
            if (!command.is_string()) return CommandError{"bad-request", "every command must be a text"};
            if (const std::string problem = CommandProblem(command.get<std::string>()); !problem.empty())
                return CommandError{"bad-command", problem};
            list.push_back(command.get<std::string>());
        }
        return std::nullopt;
    }

};

MqttBridge::MqttBridge(MqttOptions options, CommandGate &gate)
    : impl_(std::make_shared<Impl>(std::move(options), gate)) {}

MqttBridge::~MqttBridge() {
    // The samples end first, so nothing is handed over while the threads finish.
    std::vector<std::unique_ptr<Feed>> feeds;
    {
        std::lock_guard lock(impl_->mutex);
        for (auto &[id, feed] : impl_->feeds) feeds.push_back(std::move(feed));
        impl_->feeds.clear();
    }
    feeds.clear();
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    // The connection goes with impl_ (once no command's answer holds it): it delivers what it
    // can, then marks the machine offline.
}

void MqttBridge::DeviceChanged(const std::shared_ptr<ServedDevice> &device, bool arrived) {
    if (arrived) impl_->Arrived(device);
    else impl_->Departed(device);
}
