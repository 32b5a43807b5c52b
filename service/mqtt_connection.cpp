#include "mqtt_connection.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace {

constexpr int kKeepAliveSeconds = 15;
constexpr auto kConnectWait = std::chrono::seconds(10);
constexpr auto kFirstRetry = std::chrono::milliseconds(500);
constexpr auto kLongestRetry = std::chrono::seconds(10);
constexpr auto kDrainOnStop = std::chrono::seconds(2);
constexpr auto kOfflineWait = std::chrono::seconds(1);
constexpr int kLoopWaitMs = 20;
constexpr size_t kMostInFlight = 64;  // publications awaiting the broker's acknowledgement
constexpr std::string_view kCommandLevel = "/command";

// The library's process-wide set-up, once, before the first client; never undone, as a client may
// still be finishing while the process exits.
void InitialiseMosquitto() {
    [[maybe_unused]] static const bool initialised = (mosquitto_lib_init(), true);
}

}  // namespace

struct MqttConnection::Impl {
    MqttOptions options;
    CommandHandler onCommand;

    PublicationBuffer buffer;
    std::mutex mutex;
    std::condition_variable changed;  // stopping
    bool stopping = false;

    // Owned by the connection thread.
    std::deque<std::pair<int, BufferedMessage>> inFlight;  // by message id, in publication order
    bool connected = false;
    bool lost = false;
    int refusal = 0;  // the broker's reason for refusing the last connection, or 0

    std::thread connection;

    Impl(MqttOptions options, CommandHandler onCommand)
        : options(std::move(options)), onCommand(std::move(onCommand)), buffer(this->options.bufferedSamples) {}

    std::string StatusTopic() const { return options.prefix + "status"; }

    bool Stopping() {
        std::lock_guard lock(mutex);
        return stopping;
    }

    // ---- the connection thread --------------------------------------------------------------

    static Impl &Of(void *object) { return *static_cast<Impl *>(object); }

    // The machine's status, retained: "online", or "offline" (also the last will).
    void PublishStatus(mosquitto *client, std::string_view word, int *mid) {
        mosquitto_publish(client, mid, StatusTopic().c_str(), static_cast<int>(word.size()), word.data(), 1, true);
    }

    void CommandArrived(const mosquitto_message &message, const mosquitto_property *properties) {
        const std::string_view topic = message.topic;
        if (!topic.starts_with(options.prefix) || !topic.ends_with(kCommandLevel) ||
            topic.size() <= options.prefix.size() + kCommandLevel.size())
            return;
        IncomingCommand command{
            .topic = topic,
            .level = topic.substr(options.prefix.size(),
                                  topic.size() - options.prefix.size() - kCommandLevel.size()),
            .payload = {static_cast<const char *>(message.payload), static_cast<size_t>(message.payloadlen)}};
        char *text = nullptr;
        if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &text, false)) {
            command.responseTopic = text;
            free(text);
        }
        void *data = nullptr;
        uint16_t length = 0;
        if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length, false)) {
            command.correlation.assign(static_cast<const char *>(data), length);
            free(data);
        }
        // The first user property named "token" names the user; others are the client's own.
        bool later = false;
        for (const mosquitto_property *property = properties; property != nullptr; later = true) {
            char *name = nullptr;
            char *value = nullptr;
            property = mosquitto_property_read_string_pair(property, MQTT_PROP_USER_PROPERTY, &name, &value, later);
            const bool isToken = property != nullptr && std::string_view(name) == "token";
            if (isToken) command.token = value;
            free(name);
            free(value);
            if (isToken) break;
        }
        try {
            onCommand(command);
        } catch (const std::exception &error) {  // a hostile message must not end the service
            std::cerr << "mavozarp serve: MQTT command on " << topic << " not taken: " << error.what() << '\n';
        }
    }

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
            Impl &impl = Of(object);
            impl.refusal = code;
            (code == 0 ? impl.connected : impl.lost) = true;
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
            Of(object).CommandArrived(*message, properties);
        });
        return client;
    }

    // Publishes one message now; false when the connection is gone.
    bool Publish(mosquitto *client, const MqttMessage &message, int *mid) {
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
            if (Stopping()) return false;
        }
        return connected;
    }

    // The machine is online and takes commands; the retained messages go out again before the
    // buffer, as a restarted broker may have lost them.
    void Announce(mosquitto *client) {
        PublishStatus(client, "online", nullptr);
        mosquitto_subscribe(client, nullptr, (options.prefix + "+/command").c_str(), 1);
        buffer.RepublishRetained();
    }

    // Publishes the buffer in order while the connection lasts, or until stopping (and then a
    // moment more to deliver what is waiting).
    void Serve(mosquitto *client) {
        std::optional<std::chrono::steady_clock::time_point> drainUntil;
        while (!lost) {
            if (Stopping() && !drainUntil) drainUntil = std::chrono::steady_clock::now() + kDrainOnStop;
            const bool drained = buffer.Empty() && inFlight.empty();
            if (drainUntil && (drained || std::chrono::steady_clock::now() > *drainUntil)) return;
            std::vector<BufferedMessage> batch =
                buffer.Take(inFlight.size() < kMostInFlight ? kMostInFlight - inFlight.size() : 0);
            for (size_t i = 0; i < batch.size(); ++i) {
                int mid = 0;
                if (!Publish(client, batch[i].message, &mid)) {
                    Requeue(std::vector<BufferedMessage>(std::make_move_iterator(batch.begin() + i),
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
    void Requeue(std::vector<BufferedMessage> notPublished) {
        std::vector<BufferedMessage> undelivered;
        for (auto &[mid, buffered] : inFlight) undelivered.push_back(std::move(buffered));
        inFlight.clear();
        undelivered.insert(undelivered.end(), std::make_move_iterator(notPublished.begin()),
                           std::make_move_iterator(notPublished.end()));
        buffer.PutBack(std::move(undelivered));
    }

    void MarkOffline(mosquitto *client) {
        int mid = 0;
        PublishStatus(client, "offline", &mid);
        inFlight.emplace_back(mid, BufferedMessage{});
        const auto deadline = std::chrono::steady_clock::now() + kOfflineWait;
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

    // One connection, from connecting to losing it or stopping; false when it was never made.
    bool RunConnection(mosquitto *client, const std::string &where) {
        if (mosquitto_connect_async(client, options.broker.host.c_str(), options.broker.port,
                                    kKeepAliveSeconds) != MOSQ_ERR_SUCCESS ||
            !AwaitConnection(client))
            return false;
        const uint64_t dropped = buffer.TakeDropped();
        std::cerr << "mavozarp serve: MQTT connected to " << where;
        if (dropped != 0) std::cerr << " (" << dropped << " samples dropped while it was away)";
        std::cerr << '\n';
        Announce(client);
        Serve(client);
        if (Stopping() && !lost) {
            MarkOffline(client);
            inFlight.clear();
        } else {
            std::cerr << "mavozarp serve: MQTT connection to " << where << " lost; reconnecting\n";
            Requeue({});
        }
        return true;
    }

    void Run() {
        auto retry = std::chrono::milliseconds(kFirstRetry);
        const std::string where = options.broker.host + ":" + std::to_string(options.broker.port);
        bool toldUnreachable = false;
        while (!Stopping()) {
            connected = lost = false;
            refusal = 0;
            mosquitto *client = NewClient();
            if (client != nullptr && RunConnection(client, where)) {
                retry = kFirstRetry;
                toldUnreachable = false;
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

MqttConnection::MqttConnection(MqttOptions options, CommandHandler onCommand)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(onCommand))) {
    InitialiseMosquitto();
    impl_->connection = std::thread([this] { impl_->Run(); });
}

MqttConnection::~MqttConnection() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        impl_->changed.notify_all();
    }
    impl_->connection.join();
}

void MqttConnection::Publish(MqttMessage message) { impl_->buffer.Add(std::move(message)); }

void MqttConnection::PublishSample(std::vector<MqttMessage> messages) {
    impl_->buffer.AddSample(std::move(messages));
}
