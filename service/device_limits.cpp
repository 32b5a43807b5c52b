#include "device_limits.h"

#include "command_executor.h"
#include "command_language.h"

#include <charconv>
#include <cmath>

namespace {

// Half the last decimal of a reading given with three decimals.
constexpr double kReadingHalfStep = 0.0005;
// A reading at or below this tells nothing of a ratio.
constexpr double kSmallestUsefulReading = 0.001;

std::string Fixed3(double value) {
    char text[64];
    const auto written =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3);
    return written.ec == std::errc() ? std::string(text, written.ptr) : std::string("?");
}

std::string Folded(std::string_view text) {
    std::string folded(text);
    for (char &c : folded) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
}

// The entry's name without its "=": "PCMD".
std::string_view NameOf(const SettingEntry &entry) {
    return entry.text.substr(0, entry.text.find('='));
}

// A rule of "refuse" either names a setting with its argument ("KSWCMD=1") or only the setting
// ("KSWCMD=", any argument). Why the text is no such rule, or nothing.
std::optional<std::string> RuleProblem(const std::string &rule) {
    const SettingRead read = ReadSetting(rule);
    if (read.entry == nullptr) {
        return "\"" + rule +
               "\" is not a setting of the command language (only settings can be "
               "refused: PCMD=2, KSWCMD=1, KSWCMD= for every value, MATCH=1, ...)";
    }
    const bool wholeSetting = Folded(rule) == read.entry->text;
    if (!wholeSetting && !read.value)
        return "\"" + rule + "\" carries a value the library would not take";
    return std::nullopt;
}

bool RuleCovers(const std::string &rule, const SettingRead &command) {
    const SettingRead read = ReadSetting(rule);
    if (read.entry != command.entry) return false;
    if (Folded(rule) == read.entry->text) return true;
    // A value the library would refuse may still be taken by a supply that answers the language
    // itself: refused as well.
    return !command.value || *command.value == *read.value;
}

double LimitNumber(const Json &value, const std::string &place) {
    if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() < 0.0)
        throw LimitsError(place + " must be a number, 0 or more");
    return value.get<double>();
}

}  // namespace

DeviceLimits ReadDeviceLimits(const Json &object, const std::string &place) {
    if (!object.is_object())
        throw LimitsError(place +
                          " must be an object with max_power_command, max_current_command, refuse");
    DeviceLimits limits;
    for (const auto &[key, value] : object.items()) {
        const std::string where = place + "." + key;
        if (key == "max_power_command") {
            limits.maxPowerCommand = LimitNumber(value, where);
        } else if (key == "max_current_command") {
            limits.maxCurrentCommand = LimitNumber(value, where);
        } else if (key == "refuse") {
            if (!value.is_array()) throw LimitsError(where + " must be a list of settings");
            for (const Json &rule : value) {
                if (!rule.is_string()) throw LimitsError(where + " must be a list of settings");
                if (const auto problem = RuleProblem(rule.get<std::string>()))
                    throw LimitsError(where + ": " + *problem);
                limits.refuse.push_back(rule.get<std::string>());
            }
        } else {
            throw LimitsError(place + ": unknown key \"" + key +
                              "\" (max_power_command, max_current_command, refuse)");
        }
    }
    return limits;
}

std::map<std::string, DeviceLimits, std::less<>> ReadLimitsTable(const Json &object) {
    if (!object.is_object()) throw LimitsError("limits must be an object of device ids");
    std::map<std::string, DeviceLimits, std::less<>> table;
    for (const auto &[device, limits] : object.items())
        table.emplace(device, ReadDeviceLimits(limits, "limits." + device));
    return table;
}

Json LimitsJson(const DeviceLimits &limits) {
    Json object = Json::object();
    if (limits.maxPowerCommand) object["max_power_command"] = *limits.maxPowerCommand;
    if (limits.maxCurrentCommand) object["max_current_command"] = *limits.maxCurrentCommand;
    if (!limits.refuse.empty()) object["refuse"] = limits.refuse;
    return object;
}

std::optional<CommandRatio> RatioFromReadings(double powerCommand, double currentCommand) {
    if (!(powerCommand >= kSmallestUsefulReading) || !(currentCommand >= kSmallestUsefulReading) ||
        !std::isfinite(powerCommand) || !std::isfinite(currentCommand)) {
        return std::nullopt;
    }
    return CommandRatio{(currentCommand - kReadingHalfStep) / (powerCommand + kReadingHalfStep),
                        (currentCommand + kReadingHalfStep) / (powerCommand - kReadingHalfStep)};
}

LimitGuard::LimitGuard(DeviceLimits limits) : limits_(std::move(limits)) {}

DeviceLimits LimitGuard::Limits() const {
    std::lock_guard lock(mutex_);
    return limits_;
}

void LimitGuard::SetLimits(DeviceLimits limits) {
    std::lock_guard lock(mutex_);
    limits_ = std::move(limits);
}

void LimitGuard::MeetHead(std::string powerUnit, bool commandsShareConverter) {
    std::lock_guard lock(mutex_);
    powerUnit_ = std::move(powerUnit);
    sharedConverter_ = commandsShareConverter;
    ratio_.reset();
}

void LimitGuard::Observe(double powerCommand, double currentCommand) {
    const std::optional<CommandRatio> ratio = RatioFromReadings(powerCommand, currentCommand);
    if (!ratio) return;
    std::lock_guard lock(mutex_);
    ratio_ = ratio;
}

std::string LimitGuard::Amount(double value, bool power) const {
    const std::string unit = power ? powerUnit_ : std::string("A");
    return Fixed3(value) + (unit.empty() ? "" : " " + unit);
}

std::optional<Refusal> LimitGuard::Check(std::string_view command) const {
    if (!ChangesSetting(command)) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (const std::optional<std::string> problem = Problem(command))
        return Refusal{403, "limit", *problem};
    return std::nullopt;
}

std::optional<std::string> LimitGuard::Problem(std::string_view command) const {
    const SettingRead read = ReadSetting(command);
    const std::string shown(command);
    for (const std::string &rule : limits_.refuse) {
        if (read.entry != nullptr && RuleCovers(rule, read))
            return shown + " is never allowed on this device";
    }
    const auto &maxPower = limits_.maxPowerCommand;
    const auto &maxCurrent = limits_.maxCurrentCommand;
    if (!maxPower && !maxCurrent) return std::nullopt;
    if (read.entry == nullptr) {
        // The library would answer "Invalid command"; a supply that answers the language itself
        // might take it as something the limits cannot see.
        return shown +
               " is no setting of the command language, so it cannot be checked against "
               "this device's limits";
    }
    const Setting setting = read.entry->setting;
    if (setting == Setting::Match) {
        return "MATCH=1 programs the power and current from head memory, which the service cannot "
               "read first: refused while this device has a power or current limit";
    }
    const bool power = setting == Setting::PowerCommand || setting == Setting::PowerMemory;
    if (!power && setting != Setting::CurrentCommand) return std::nullopt;

    const std::string name(NameOf(*read.entry));
    const auto &own = power ? maxPower : maxCurrent;
    const auto &other = power ? maxCurrent : maxPower;
    const bool otherMoves = sharedConverter_ && other.has_value();
    if (!own && !otherMoves) return std::nullopt;
    if (!read.value) {
        return name +
               " with a value the library does not read cannot be checked against this "
               "device's limits";
    }
    const double value = *read.value;
    if (own && value > *own) return name + " above " + Amount(*own, power) + " for this device";
    if (!otherMoves || value <= 0.0) return std::nullopt;

    const std::string otherName = power ? "current command" : "power command";
    if (!ratio_) {
        return name + " also sets the " + otherName + " on this head, limited to " +
               Amount(*other, !power) +
               " for this device; by how much is known once ?PCMD and "
               "?CCMD read above 0";
    }
    const double implied = power ? value * ratio_->highest : value / ratio_->lowest;
    if (implied > *other) {
        const std::string verb =
            setting == Setting::PowerMemory ? " would store a " : " would set the ";
        return name + verb + otherName + " above " + Amount(*other, !power) + " for this device";
    }
    return std::nullopt;
}

std::vector<Exceedance> LimitGuard::Beyond(const PresentSettings &settings) const {
    std::lock_guard lock(mutex_);
    std::vector<Exceedance> found;
    const auto add = [&](const char *setting, const std::optional<double> &value,
                         const std::optional<double> &limit, bool power, const char *what) {
        if (!value || !limit || !(*value > *limit)) return;
        const std::string unit = power ? powerUnit_ : std::string("A");
        found.push_back({setting, *value, *limit, unit,
                         std::string(setting) + what + Amount(*value, power) + " is above " +
                             Amount(*limit, power) + " for this device"});
    };
    add("PCMD", settings.powerCommand, limits_.maxPowerCommand, true, " ");
    add("PMEM", settings.powerMemory, limits_.maxPowerCommand, true, " ");
    add("CCMD", settings.currentCommand, limits_.maxCurrentCommand, false, " ");
    // The stored power also sets the current command at the next power-up.
    if (sharedConverter_ && ratio_ && settings.powerMemory) {
        add("PMEM", *settings.powerMemory * ratio_->lowest, limits_.maxCurrentCommand, false,
            " stores a current command of ");
    }
    return found;
}

Json ExceedancesJson(const std::vector<Exceedance> &found) {
    Json list = Json::array();
    for (const Exceedance &each : found) {
        list.push_back({{"setting", each.setting},
                        {"value", each.value},
                        {"limit", each.limit},
                        {"unit", each.unit},
                        {"text", each.text}});
    }
    return list;
}
