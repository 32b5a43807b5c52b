#include "serve_command.h"

#include "access_policy.h"
#include "mqtt_topics.h"
#include "stream_events.h"

#include <charconv>
#include <fstream>

BrokerAddress ParseBrokerUrl(const std::string &url) {
    BrokerAddress address;
    std::string_view rest = url;
    if (rest.starts_with("mqtt://")) {
        rest.remove_prefix(7);
        address.port = 1883;
    } else if (rest.starts_with("mqtts://")) {
        rest.remove_prefix(8);
        address.tls = true;
        address.port = 8883;
    } else {
        throw UsageError("--mqtt needs mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    }
    if (rest.ends_with('/')) rest.remove_suffix(1);
    std::string_view port;
    if (rest.starts_with('[')) {
        const size_t end = rest.find(']');
        if (end == std::string_view::npos) throw UsageError("--mqtt: unclosed [ in " + url);
        address.host = rest.substr(1, end - 1);
        if (end + 1 < rest.size()) {
            if (rest[end + 1] != ':') throw UsageError("--mqtt: cannot read " + url);
            port = rest.substr(end + 2);
        }
    } else {
        const size_t colon = rest.find(':');
        address.host = rest.substr(0, colon);
        if (colon != std::string_view::npos) port = rest.substr(colon + 1);
    }
    if (address.host.empty() || address.host.find_first_of("/@?#") != std::string::npos)
        throw UsageError("--mqtt: no host name in " + url);
    if (!port.empty() || rest.ends_with(':')) {
        unsigned value = 0;
        const auto result = std::from_chars(port.data(), port.data() + port.size(), value);
        if (result.ec != std::errc{} || result.ptr != port.data() + port.size() || value == 0 ||
            value > 65535)
            throw UsageError("--mqtt: the port must be 1 to 65535 in " + url);
        address.port = static_cast<uint16_t>(value);
    }
    return address;
}

std::optional<MqttOptions> ReadMqttOptions(const ParsedArguments &arguments) {
    if (!kServeHasMqtt) {
        for (const auto &[name, value] : arguments.options) {
            if (name.starts_with("--mqtt"))
                throw UsageError(name + ": this build of mavozarp has no MQTT (MQTT is in the Linux build only)");
        }
        return std::nullopt;
    }
    if (!arguments.Has("--mqtt")) {
        for (const auto &[name, value] : arguments.options) {
            if (name.starts_with("--mqtt-")) throw UsageError(name + " needs --mqtt URL");
        }
        return std::nullopt;
    }
    MqttOptions options;
    options.url = arguments.Value("--mqtt");
    options.broker = ParseBrokerUrl(options.url);
    const std::string machine =
        arguments.Has("--mqtt-machine") ? arguments.Value("--mqtt-machine") : HostName();
    if (machine.empty()) throw UsageError("--mqtt-machine needs a name");
    options.clientId = arguments.Has("--mqtt-id") ? arguments.Value("--mqtt-id") : "mavozarp-" + machine;
    if (options.clientId.empty() || options.clientId.size() > 64)
        throw UsageError("--mqtt-id needs 1 to 64 characters");
    options.prefix = arguments.Has("--mqtt-prefix") ? arguments.Value("--mqtt-prefix")
                                                    : "mavozarp/" + TopicLevel(machine) + "/";
    if (!options.prefix.ends_with('/')) options.prefix += '/';
    if (!IsPublishableTopic(options.prefix) || options.prefix.size() > 1024)
        throw UsageError("--mqtt-prefix may not hold + or # (and at most 1024 bytes)");
    if (arguments.Has("--mqtt-credentials")) {
        try {
            const std::vector<std::string> lines = ReadPrivateFile(arguments.Value("--mqtt-credentials"));
            if (lines.empty() || lines.front().empty()) throw std::runtime_error("no user name on its first line");
            options.user = lines[0];
            if (lines.size() > 1) options.password = lines[1];
        } catch (const std::runtime_error &error) {
            throw UsageError(std::string("--mqtt-credentials: ") + error.what());
        }
    }
    if (arguments.Has("--mqtt-ca-file")) {
        options.caFile = arguments.Value("--mqtt-ca-file");
        if (!std::ifstream(options.caFile))
            throw UsageError("--mqtt-ca-file: cannot read " + options.caFile);
        if (!options.broker.tls) throw UsageError("--mqtt-ca-file is for mqtts:// brokers");
    }
    if (arguments.Has("--mqtt-version")) {
        const std::string &version = arguments.Value("--mqtt-version");
        if (version != "5" && version != "3.1.1") throw UsageError("--mqtt-version is 5 or 3.1.1");
        options.protocolVersion = version == "5" ? 5 : 4;
    }
    StreamRequest sampling;
    const std::string readings =
        arguments.Has("--mqtt-readings") ? arguments.Value("--mqtt-readings") : kDefaultReadings;
    const std::string interval = arguments.Has("--mqtt-interval") ? arguments.Value("--mqtt-interval") : "";
    if (const std::optional<Refusal> problem = ReadStreamRequest(readings, interval, sampling))
        throw UsageError("--mqtt-readings/--mqtt-interval: " + problem->message);
    options.readings = sampling.commands;
    options.interval = sampling.interval;
    if (arguments.Has("--mqtt-buffer")) {
        options.bufferedSamples = ParseCount("--mqtt-buffer", arguments.Value("--mqtt-buffer"));
        if (options.bufferedSamples == 0 || options.bufferedSamples > 1000000)
            throw UsageError("--mqtt-buffer needs 1 to 1000000 samples");
    }
    return options;
}
