#include "arguments.h"

#include <MavoZARP.h>

#include <charconv>
#include <cmath>

namespace {

const OptionSpec *FindOption(std::span<const OptionSpec> options, std::string_view name) {
    for (const OptionSpec &option : options) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

}  // namespace

const std::string &ParsedArguments::Value(std::string_view option) const {
    return options.find(option)->second;
}

ParsedArguments ParseArguments(std::span<const std::string> arguments,
                               std::span<const OptionSpec> options) {
    ParsedArguments parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument == "--") {
            parsed.positionals.insert(parsed.positionals.end(), arguments.begin() + i + 1,
                                      arguments.end());
            break;
        }
        if (argument.size() < 2 || argument[0] != '-') {
            parsed.positionals.push_back(argument);
            continue;
        }
        const std::string_view spelled = argument == "-h" ? std::string_view("--help") : argument;
        const size_t equals = spelled.find('=');
        const std::string_view name = spelled.substr(0, equals);
        const OptionSpec *option = FindOption(options, name);
        if (option == nullptr) throw UsageError("unknown option '" + std::string(name) + "'");
        if (parsed.Has(name)) throw UsageError("option '" + std::string(name) + "' given twice");
        std::string value;
        if (option->valueName == nullptr) {
            if (equals != std::string_view::npos) {
                throw UsageError("option '" + std::string(name) + "' takes no value");
            }
        } else if (equals != std::string_view::npos) {
            value = spelled.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            throw UsageError("option '" + std::string(name) + "' needs a value (" +
                             option->valueName + ")");
        }
        parsed.options.emplace(name, std::move(value));
    }
    return parsed;
}

unsigned long ParseCount(std::string_view option, const std::string &text) {
    unsigned long value = 0;
    const char *end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc{} || result.ptr != end) {
        throw UsageError(std::string(option) + " needs a whole number, not '" + text + "'");
    }
    return value;
}

double ParseSeconds(std::string_view option, const std::string &text) {
    double value = 0.0;
    const char *end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc{} || result.ptr != end || !std::isfinite(value) ||
        value < 0.0) {
        throw UsageError(std::string(option) + " needs a number of seconds, not '" + text + "'");
    }
    return value;
}

std::string DeviceSelector::Describe() const {
    switch (kind) {
    case Kind::Port: return "--port " + port;
    case Kind::Adapter: return "--adapter " + std::to_string(adapterIndex);
    case Kind::Simulated: break;
    }
    return "--simulated";
}

DeviceSelector SelectDevice(const ParsedArguments &arguments) {
    unsigned given = 0;
    DeviceSelector selector;
    if (arguments.Has("--simulated")) {
        ++given;
        selector.kind = DeviceSelector::Kind::Simulated;
    }
    if (arguments.Has("--port")) {
        ++given;
        selector.kind = DeviceSelector::Kind::Port;
        selector.port = arguments.Value("--port");
        if (selector.port.empty()) throw UsageError("--port needs a port name or path");
    }
    if (arguments.Has("--adapter")) {
        ++given;
        selector.kind = DeviceSelector::Kind::Adapter;
        const unsigned long index = ParseCount("--adapter", arguments.Value("--adapter"));
        if (index >= MAVOZARP_MAX_DEVICES) {
            throw UsageError("--adapter must be below " + std::to_string(MAVOZARP_MAX_DEVICES));
        }
        selector.adapterIndex = static_cast<unsigned>(index);
    }
    if (given == 0) {
        throw UsageError("no device selected: give --port PATH, --adapter N or --simulated");
    }
    if (given > 1) {
        throw UsageError(
            "more than one device selected: give only one of --port, --adapter and "
            "--simulated");
    }
    return selector;
}
