#include "mqtt_bridge.h"

#include "mqtt_topics.h"

#include "access_policy.h"
#include "client/documents.h"
#include "stream_events.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <condition_variable>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace {

constexpr int kKeepAliveSeconds = 15;
constexpr auto kConnectWait = std::chrono::seconds(10);
constexpr auto kFirstRetry = std::chrono::milliseconds(500);
constexpr auto kLongestRetry = std::chrono::seconds(10);
constexpr auto kDrainOnStop = std::chrono::seconds(2);
constexpr int kLoopWaitMs = 20;
constexpr size_t kMostInFlight = 64;         // publications awaiting the broker's acknowledgement
constexpr size_t kLongestCommandMessage = 4096;
constexpr size_t kMostCommandsPerMessage = 16;
constexpr size_t kMostWaitingCommands = 64;
constexpr size_t kRememberedCommandIds = 1024;  // per bridge, for recognising redeliveries
constexpr size_t kLongestCommandId = 128;

// The library's process-wide set-up, once, before the first client.
void InitialiseMosquitto() {
    static const struct Library {
        Library() { mosquitto_lib_init(); }
        ~Library() { mosquitto_lib_cleanup(); }
    } library;
}

// One publication; the messages of one sample share its number, so a full buffer drops a whole
// sample, the oldest.
struct Outgoing {
    std::string topic;
    std::string payload;
    bool retain = false;
    uint64_t sample = 0;  // 0: not a sample's (a retained state, a reply): never dropped
    std::string correlation{};  // the correlation data of an MQTT 5 reply
};

// A device being published: its topics and what was last said about it.
struct Feed {
    std::shared_ptr<ServedDevice> device;
    std::string topic;  // prefix + level + "/"
    uint64_t sequence = 0;
    std::optional<uint32_t> faultWord;
    std::string state;
    std::unique_ptr<SamplerHub::Subscription> subscription;
};

struct CommandJob {
    std::shared_ptr<ServedDevice> device;
    std::vector<std::string> commands;
    Json id;
    std::string replyTopic;
    std::string correlation;
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

struct MqttBridge::Impl {
    MqttOptions options;

    std::mutex mutex;  // everything below up to the threads
    std::condition_variable changed;  // a command to run, or stopping
    std::deque<Outgoing> queue;
    size_t queuedSamples = 0;
    uint64_t lastSample = 0;
    uint64_t droppedSamples = 0;
    std::map<std::string, Outgoing> retained;  // the last retained message of every topic
    bool republishRetained = false;  // a dropped sample took some, or the broker may have lost them
    std::map<std::string, std::unique_ptr<Feed>> feeds;  // by device id
    std::deque<CommandJob> commands;
    bool stopping = false;

    // Owned by the connection thread.
    std::deque<std::pair<int, Outgoing>> inFlight;  // by message id, in publication order
    std::set<std::string> seenIds;
    std::deque<std::string> seenOrder;
    bool connected = false;
    bool lost = false;
    int refusal = 0;  // the broker's reason for refusing the last connection, or 0

    std::thread connection;
    std::thread executor;

    explicit Impl(MqttOptions options) : options(std::move(options)) {}

    std::string StatusTopic() const { return options.prefix + "status"; }

    // The machine's status, retained: "online", or "offline" (also the last will).
    void PublishStatus(mosquitto *client, std::string_view word, int *mid) {
        mosquitto_publish(client, mid, StatusTopic().c_str(), static_cast<int>(word.size()), word.data(), 1, true);
    }

    // ---- what the samplers and the registry hand over (never waits for the broker) ----------

    // Under the lock. The connection thread looks for new messages between its reads.
    void Enqueue(Outgoing message) {
        if (message.retain) retained[message.topic] = message;
        queue.push_back(std::move(message));
    }

    // Under the lock: makes room for one more sample by dropping the oldest ones' messages.
    void MakeRoomForSample() {
        while (queuedSamples >= options.bufferedSamples) {
            const auto oldest = std::find_if(queue.begin(), queue.end(),
                                             [](const Outgoing &message) { return message.sample != 0; });
            if (oldest == queue.end()) return;
            // A sample's messages are queued together, so they leave together.
            const uint64_t sample = oldest->sample;
            const auto end = std::find_if(oldest, queue.end(), [sample](const Outgoing &message) {
                return message.sample != sample;
            });
            if (std::any_of(oldest, end, [](const Outgoing &message) { return message.retain; }))
                republishRetained = true;
            queue.erase(oldest, end);
            --queuedSamples;
            ++droppedSamples;
        }
    }

    void Sampled(Feed &feed, const Sample &sample) {
        Json document = SampleJson(feed.device->Id(), sample);
        document["sequence"] = ++feed.sequence;
        std::optional<uint32_t> faultWord = feed.faultWord;
        for (const SampledReading &reading : sample.readings) {
            if (reading.command == kFaultWordQuery && reading.exchange.Succeeded())
                faultWord = ParseWord(reading.exchange.reply);
        }
        const std::string state = feed.device->State();

        std::lock_guard lock(mutex);
        if (stopping) return;
        MakeRoomForSample();
        ++queuedSamples;
        const uint64_t number = ++lastSample;
        for (const SampledReading &reading : sample.readings) {
            if (!reading.exchange.Succeeded()) continue;
            Enqueue({.topic = feed.topic + "reading/" + TopicLevel(reading.command),
                     .payload = reading.exchange.reply,
                     .sample = number});
        }
        Enqueue({.topic = feed.topic + "sample", .payload = JsonPayload(document), .sample = number});
        if (faultWord && faultWord != feed.faultWord) {
            const HeadFamily &family = FamilyOfHeadType(feed.device->Identity().headType);
            Enqueue({.topic = feed.topic + "faults",
                     .payload = FaultsJson(*faultWord, family).dump(),
                     .retain = true,
                     .sample = number});
            feed.faultWord = faultWord;
        }
        if (state != feed.state) {
            Enqueue({.topic = feed.topic + "state", .payload = state, .retain = true, .sample = number});
            feed.state = state;
        }
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
            Enqueue({.topic = fed.topic + "description", .payload = JsonPayload(description), .retain = true});
            Enqueue({.topic = fed.topic + "state", .payload = fed.state, .retain = true});
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
        std::lock_guard lock(mutex);
        Enqueue({.topic = feed->topic + "state", .payload = "gone", .retain = true});
    }

    // ---- commands ---------------------------------------------------------------------------

    void Reply(const std::string &topic, const std::string &correlation, const Json &document) {
        std::lock_guard lock(mutex);
        Enqueue({.topic = topic, .payload = JsonPayload(document), .correlation = correlation});
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
    void CommandArrived(const mosquitto_message &message, const mosquitto_property *properties) {
        const std::string_view topic = message.topic;
        const std::string_view level =
            topic.substr(options.prefix.size(), topic.size() - options.prefix.size() - 8);  // "/command"
        std::string replyTopic;
        std::string correlation;
        char *text = nullptr;
        if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &text, false)) {
            replyTopic = text;
            free(text);
        }
        void *data = nullptr;
        uint16_t length = 0;
        if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length, false)) {
            correlation.assign(static_cast<const char *>(data), length);
            free(data);
        }
        const auto answer = [&](const Json &id, const CommandError &error) {
            if (IsPublishableTopic(replyTopic)) return ReplyError(replyTopic, correlation, id, error);
            std::cerr << "mavozarp serve: MQTT command on " << topic << " without a reply topic: "
                      << error.message << '\n';
        };
        if (static_cast<size_t>(message.payloadlen) > kLongestCommandMessage) {
            return answer(nullptr, {"too-large", "a command message holds at most 4096 bytes"});
        }
        const Json body = Json::parse(static_cast<const char *>(message.payload),
                                      static_cast<const char *>(message.payload) + message.payloadlen,
                                      nullptr, false);
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
        if (!options.allowControl && std::any_of(list.begin(), list.end(), ChangesSetting)) {
            return answer(id, {"read-only", "this service is read-only: commands that change a "
                                            "setting need --allow-control"});
        }
        {
            std::lock_guard lock(mutex);
            if (commands.size() < kMostWaitingCommands) {
                commands.push_back({device, std::move(list), id, replyTopic, correlation});
                changed.notify_all();
                return;
            }
        }
        answer(id, {"busy", "too many commands are waiting"});
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

    void RunCommands() {
        std::unique_lock lock(mutex);
        while (true) {
            changed.wait(lock, [&] { return stopping || !commands.empty(); });
            if (stopping) return;
            CommandJob job = std::move(commands.front());
            commands.pop_front();
            lock.unlock();
            Json document;
            try {
                const Batch batch = SendBatch(
                    [&](std::string_view command) { return job.device->Executor().Send(command); },
                    job.commands);
                document = BatchDocument(job.device->Identity(), batch);
                document["id"] = job.id;
                document["device"] = job.device->Id();
            } catch (const DeviceBusy &busy) {
                document = Json{{"id", job.id}, {"error", "busy"}, {"message", busy.what()}};
            } catch (const DeviceGone &gone) {
                document = Json{{"id", job.id}, {"error", "gone"}, {"message", gone.what()}};
            }
            Reply(job.replyTopic, job.correlation, document);
            lock.lock();
        }
    }

    // ---- the connection thread --------------------------------------------------------------

    static Impl &Of(void *object) { return *static_cast<Impl *>(object); }

    mosquitto *NewClient() {
        mosquitto *client = mosquitto_new(options.clientId.c_str(), true, this);
        if (client == nullptr) return nullptr;
        mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION,
                             options.protocolVersion == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
        if (!options.user.empty())
            mosquitto_username_pw_set(client, options.user.c_str(),
                                      options.password.empty() ? nullptr : options.password.c_str());
        if (options.broker.tls) {
            mosquitto_tls_set(client, options.caFile.empty() ? nullptr : options.caFile.c_str(),
                              options.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
        }
        constexpr std::string_view kOffline = "offline";
        mosquitto_will_set(client, StatusTopic().c_str(), static_cast<int>(kOffline.size()), kOffline.data(), 1,
                           true);
        // The callbacks run on this thread, inside mosquitto_loop.
        using Properties = const mosquitto_property *;
        mosquitto_connect_v5_callback_set(client, [](mosquitto *, void *object, int code, int, Properties) {
            Of(object).Connected(code);
        });
        mosquitto_disconnect_v5_callback_set(client, [](mosquitto *, void *object, int, Properties) {
            Of(object).lost = true;
        });
        mosquitto_publish_v5_callback_set(client, [](mosquitto *, void *object, int mid, int, Properties) {
            auto &inFlight = Of(object).inFlight;
            const auto found = std::find_if(inFlight.begin(), inFlight.end(),
                                            [mid](const auto &entry) { return entry.first == mid; });
            if (found != inFlight.end()) inFlight.erase(found);
        });
        mosquitto_message_v5_callback_set(client, [](mosquitto *, void *object,
                                                     const mosquitto_message *message, Properties properties) {
            Impl &impl = Of(object);
            const std::string_view topic = message->topic;
            if (!topic.starts_with(impl.options.prefix) || !topic.ends_with("/command") ||
                topic.size() <= impl.options.prefix.size() + 8)
                return;
            try {
                impl.CommandArrived(*message, properties);
            } catch (const std::exception &error) {  // a hostile message must not end the service
                std::cerr << "mavozarp serve: MQTT command on " << topic << " not taken: " << error.what() << '\n';
            }
        });
        return client;
    }

    void Connected(int code) {
        refusal = code;
        (code == 0 ? connected : lost) = true;
    }

    // Publishes one message now; false when the connection is gone.
    bool Publish(mosquitto *client, const Outgoing &message, int *mid) {
        mosquitto_property *properties = nullptr;
        if (!message.correlation.empty() && options.protocolVersion == 5) {
            mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, message.correlation.data(),
                                          static_cast<uint16_t>(message.correlation.size()));
        }
        const int code = mosquitto_publish_v5(client, mid, message.topic.c_str(),
                                              static_cast<int>(message.payload.size()), message.payload.data(), 1,
                                              message.retain, properties);
        mosquitto_property_free_all(&properties);
        if (code == MOSQ_ERR_NO_CONN || code == MOSQ_ERR_CONN_LOST || code == MOSQ_ERR_ERRNO) return false;
        // Anything else is the message's own fault (too large for the broker, a topic that is not
        // UTF-8): it is left out rather than held up forever.
        if (code != MOSQ_ERR_SUCCESS)
            std::cerr << "mavozarp serve: MQTT cannot publish on " << message.topic << ": "
                      << mosquitto_strerror(code) << '\n';
        return true;
    }

    // Waits for the connection to be acknowledged; false when it failed or the service stops.
    bool AwaitConnection(mosquitto *client) {
        const auto deadline = std::chrono::steady_clock::now() + kConnectWait;
        while (!connected && !lost && std::chrono::steady_clock::now() < deadline) {
            if (mosquitto_loop(client, kLoopWaitMs * 5, 1) != MOSQ_ERR_SUCCESS) return false;
            std::lock_guard lock(mutex);
            if (stopping) return false;
        }
        return connected;
    }

    // The machine is online and takes commands; the retained messages go out again before the
    // buffer, as a restarted broker may have lost them.
    void Announce(mosquitto *client) {
        PublishStatus(client, "online", nullptr);
        mosquitto_subscribe(client, nullptr, (options.prefix + "+/command").c_str(), 1);
        std::lock_guard lock(mutex);
        republishRetained = true;
    }

    // Publishes the buffer in order while the connection lasts, or until stopping (and then a
    // moment more to deliver what is waiting).
    void Serve(mosquitto *client) {
        std::optional<std::chrono::steady_clock::time_point> drainUntil;
        while (!lost) {
            std::vector<Outgoing> batch;
            {
                std::lock_guard lock(mutex);
                if (stopping && !drainUntil) drainUntil = std::chrono::steady_clock::now() + kDrainOnStop;
                const bool drained = queue.empty() && inFlight.empty();
                if (drainUntil && (drained || std::chrono::steady_clock::now() > *drainUntil)) return;
                if (std::exchange(republishRetained, false)) {
                    // The current values; what is still queued for the same topics ends with them.
                    for (const auto &[topic, message] : retained) {
                        batch.push_back(message);
                        batch.back().sample = 0;
                    }
                }
                while (!queue.empty() && inFlight.size() + batch.size() < kMostInFlight) {
                    if (queue.front().sample != 0 &&
                        (queue.size() == 1 || queue[1].sample != queue.front().sample))
                        --queuedSamples;  // the sample's last message leaves the buffer
                    batch.push_back(std::move(queue.front()));
                    queue.pop_front();
                }
            }
            for (size_t i = 0; i < batch.size(); ++i) {
                int mid = 0;
                if (!Publish(client, batch[i], &mid)) {
                    Requeue(std::vector<Outgoing>(std::make_move_iterator(batch.begin() + i),
                                                  std::make_move_iterator(batch.end())));
                    return;
                }
                if (mid != 0) inFlight.emplace_back(mid, std::move(batch[i]));
            }
            if (mosquitto_loop(client, kLoopWaitMs, 1) != MOSQ_ERR_SUCCESS) return;
        }
    }

    // Puts what was not delivered back in front of the buffer, in its order (the broker did not
    // acknowledge it, so it is sent again on the next connection).
    void Requeue(std::vector<Outgoing> notPublished) {
        std::lock_guard lock(mutex);
        for (auto message = notPublished.rbegin(); message != notPublished.rend(); ++message)
            queue.push_front(std::move(*message));
        for (auto entry = inFlight.rbegin(); entry != inFlight.rend(); ++entry)
            queue.push_front(std::move(entry->second));
        inFlight.clear();
        // Recount the samples among them, whose messages are whole again or in part.
        queuedSamples = 0;
        uint64_t previous = 0;
        for (const Outgoing &message : queue) {
            if (message.sample != 0 && message.sample != previous) ++queuedSamples;
            previous = message.sample;
        }
    }

    void MarkOffline(mosquitto *client) {
        int mid = 0;
        PublishStatus(client, "offline", &mid);
        inFlight.emplace_back(mid, Outgoing{});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!inFlight.empty() && !lost && std::chrono::steady_clock::now() < deadline) {
            if (mosquitto_loop(client, kLoopWaitMs, 1) != MOSQ_ERR_SUCCESS) break;
        }
        mosquitto_disconnect(client);
        mosquitto_loop(client, kLoopWaitMs, 1);
    }

    bool WaitBeforeRetry(std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex);
        return !changed.wait_for(lock, wait, [&] { return stopping; });
    }

    void RunConnection() {
        auto retry = std::chrono::milliseconds(kFirstRetry);
        const std::string where = options.broker.host + ":" + std::to_string(options.broker.port);
        bool toldUnreachable = false;
        while (true) {
            {
                std::lock_guard lock(mutex);
                if (stopping) return;
            }
            connected = lost = false;
            refusal = 0;
            mosquitto *client = NewClient();
            if (client != nullptr &&
                mosquitto_connect_async(client, options.broker.host.c_str(), options.broker.port,
                                        kKeepAliveSeconds) == MOSQ_ERR_SUCCESS &&
                AwaitConnection(client)) {
                retry = kFirstRetry;
                toldUnreachable = false;
                uint64_t dropped = 0;
                {
                    std::lock_guard lock(mutex);
                    std::swap(dropped, droppedSamples);
                }
                std::cerr << "mavozarp serve: MQTT connected to " << where;
                if (dropped != 0) std::cerr << " (" << dropped << " samples dropped while it was away)";
                std::cerr << '\n';
                Announce(client);
                Serve(client);
                bool stop = false;
                {
                    std::lock_guard lock(mutex);
                    stop = stopping;
                }
                if (stop && !lost) {
                    MarkOffline(client);
                    inFlight.clear();
                } else {
                    std::cerr << "mavozarp serve: MQTT connection to " << where << " lost; reconnecting\n";
                    Requeue({});
                }
            } else if (!toldUnreachable) {  // once until connected: a broker away is not news
                if (refusal != 0)
                    std::cerr << "mavozarp serve: the MQTT broker at " << where << " refused the connection: "
                              << mosquitto_reason_string(refusal) << "; retrying\n";
                else
                    std::cerr << "mavozarp serve: cannot reach the MQTT broker at " << where << "; retrying\n";
                toldUnreachable = true;
            }
            if (client != nullptr) mosquitto_destroy(client);
            if (!WaitBeforeRetry(retry)) return;
            retry = std::min<std::chrono::milliseconds>(retry * 2, kLongestRetry);
        }
    }
};

MqttBridge::MqttBridge(MqttOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    InitialiseMosquitto();
    impl_->connection = std::thread([this] { impl_->RunConnection(); });
    impl_->executor = std::thread([this] { impl_->RunCommands(); });
}

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
        impl_->changed.notify_all();
    }
    impl_->executor.join();
    impl_->connection.join();
}

void MqttBridge::DeviceChanged(const std::shared_ptr<ServedDevice> &device, bool arrived) {
    if (arrived) impl_->Arrived(device);
    else impl_->Departed(device);
}
