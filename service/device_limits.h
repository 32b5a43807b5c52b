// The limits an operator's commands must keep on one device: the highest power command (in the
// head's own power unit, as ?POWERUNITS names it), the highest current command (A), and settings
// never allowed there ("KSWCMD=1" where the key switch is turned only by hand). A limit covers
// every way to its value: PCMD= and PMEM= (the power stored for the next power-up), CCMD=, in
// every spelling the head takes (command_language), and MATCH=1, which programs stored values
// from head memory. Every head model of the library but the simulated one drives its power and
// current commands from one converter, so a power command also sets the current command and the
// other way round; the guard checks both against their limits, by the ratio the head's own
// readings show. The service never changes a setting by itself: a device found beyond its limits
// is only reported (Beyond).
#pragma once

#include "access_policy.h"

#include "client/output.h"

#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct DeviceLimits {
    std::optional<double> maxPowerCommand;    // the head's power unit
    std::optional<double> maxCurrentCommand;  // A
    std::vector<std::string> refuse;          // settings, as written
    bool operator==(const DeviceLimits &) const = default;
};

// A limits object that is not as it must be; the message names the place and the fault.
struct LimitsError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// {"max_power_command": 2.0, "max_current_command": 10.0, "refuse": ["KSWCMD=1"]}, every key
// optional; `place` names the object in messages ("limits.simulated"). Throws LimitsError.
DeviceLimits ReadDeviceLimits(const Json &object, const std::string &place);
// The configuration file's "limits": device ids to limits objects. Throws LimitsError.
std::map<std::string, DeviceLimits, std::less<>> ReadLimitsTable(const Json &object);
// The same object form, without the limits not set.
Json LimitsJson(const DeviceLimits &limits);


// Amperes of current command per unit of power command on a head whose two commands are one
// converter: the range that both readings, rounded to three decimals as the head gives them,
// allow.
struct CommandRatio {
    double lowest;
    double highest;
};
// From ?PCMD and ?CCMD read together; nothing while either reads too little to tell.
std::optional<CommandRatio> RatioFromReadings(double powerCommand, double currentCommand);

// The present settings, as the queries ?PCMD, ?PMEM and ?CCMD answer (nothing: not read).
struct PresentSettings {
    std::optional<double> powerCommand, powerMemory, currentCommand;
};

// A setting found beyond its limit.
struct Exceedance {
    std::string setting;  // "PCMD", "PMEM", "CCMD"
    double value;         // in `unit`
    double limit;
    std::string unit;
    std::string text;  // "PCMD 3.000 W is above 2.000 W for this device"
};

// One device's limits and what checking them needs to know of its head. Every door checks a
// setting here after the role check; an admin may change the limits while others check. Safe to
// use from any thread.
class LimitGuard {
public:
    explicit LimitGuard(DeviceLimits limits = {});

    DeviceLimits Limits() const;
    void SetLimits(DeviceLimits limits);

    // What the head tells of itself: its power unit (the answer to ?POWERUNITS) and whether its
    // power and current commands are one converter (true for every head but the simulated one,
    // and for a supply that answers the language itself, whose inside the service cannot see).
    // Forgets the ratio learned of an earlier head.
    void MeetHead(std::string powerUnit, bool commandsShareConverter);
    // ?PCMD and ?CCMD as the head answered them within one turn of its executor, so that no
    // setting came between them: teaches the ratio of a shared converter.
    void Observe(double powerCommand, double currentCommand);

    // Nothing when the command keeps the limits; otherwise HTTP 403 with "error": "limit" and the
    // sentence ("PCMD above 2.000 W for this device"; "ERR 403 limit: ..." on a socket). Queries
    // always pass.
    std::optional<Refusal> Check(std::string_view command) const;

    // The settings beyond the limits, for the device's page and the API.
    std::vector<Exceedance> Beyond(const PresentSettings &settings) const;

private:
    std::optional<std::string> Problem(std::string_view command) const;
    std::string Amount(double value, bool power) const;

    mutable std::mutex mutex_;
    DeviceLimits limits_;
    std::string powerUnit_;
    bool sharedConverter_ = true;
    std::optional<CommandRatio> ratio_;
};

// [{"setting", "value", "limit", "unit", "text"}, ...] for the device documents.
Json ExceedancesJson(const std::vector<Exceedance> &found);
