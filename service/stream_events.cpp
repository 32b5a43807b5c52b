#include "stream_events.h"

#include "command_executor.h"
#include "client/status_codes.h"

#include <charconv>
#include <cmath>
#include <chrono>

namespace {

constexpr double kShortestInterval = 0.05;
constexpr double kLongestInterval = 3600;
constexpr size_t kMostCommands = 32;
constexpr auto kKeepAliveEvery = std::chrono::seconds(15);

}  // namespace

std::optional<Refusal> ReadStreamRequest(const std::string &commands, const std::string &interval,
                                         StreamRequest &request) {
    size_t start = 0;
    while (start <= commands.size()) {
        const size_t comma = std::min(commands.find(',', start), commands.size());
        const std::string command = commands.substr(start, comma - start);
        if (const std::string problem = CommandProblem(command); !problem.empty())
            return Refusal{400, "bad-command", problem + " in \"commands\""};
        if (ChangesSetting(command))
            return Refusal{400, "bad-command", "only queries can be streamed: " + command};
        request.commands.push_back(command);
        start = comma + 1;
    }
    if (request.commands.size() > kMostCommands)
        return Refusal{400, "bad-request", "at most 32 commands in one stream"};
    if (!interval.empty()) {
        double seconds = 0;
        const auto result = std::from_chars(interval.data(), interval.data() + interval.size(), seconds);
        if (result.ec != std::errc{} || result.ptr != interval.data() + interval.size() ||
            !(seconds >= kShortestInterval && seconds <= kLongestInterval)) {
            return Refusal{400, "bad-request", "\"interval\" must be 0.05 to 3600 seconds"};
        }
        request.interval = std::chrono::milliseconds(std::lround(seconds * 1000));
    }
    return std::nullopt;
}

std::string FormatTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto instant = floor<milliseconds>(time);
    const auto day = floor<days>(instant);
    const year_month_day date{day};
    const hh_mm_ss clock{instant - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

Json SampleJson(const std::string &device, const Sample &sample) {
    Json readings = Json::array();
    for (const SampledReading &reading : sample.readings) {
        Json entry = Json::object();
        entry["command"] = reading.command;
        SetJsonStatus(entry, reading.exchange.status);
        entry["reply"] = JsonText(reading.exchange.reply);
        if (const auto value = ParseNumber(reading.exchange.reply); value && reading.exchange.Succeeded())
            entry["value"] = JsonNumber(*value);
        readings.push_back(std::move(entry));
    }
    Json document = Json::object();
    document["device"] = device;
    document["time"] = FormatTime(sample.time);
    if (!sample.failure.empty()) document["failure"] = sample.failure;
    document["readings"] = std::move(readings);
    return document;
}

std::string SampleEvent(const std::string &device, const Sample &sample) {
    bool reached = sample.failure.empty();
    for (const SampledReading &reading : sample.readings) {
        if (!reading.exchange.Succeeded() && !DescribeStatus(reading.exchange.status).ofTheCommand)
            reached = false;
    }
    return std::string("event: ") + (reached ? "sample" : "error") +
           "\ndata: " + SampleJson(device, sample).dump() + "\n\n";
}

void EventQueue::Push(std::string event) {
    std::lock_guard lock(mutex_);
    if (events_.size() == kMostWaiting) events_.pop_front();
    events_.push_back(std::move(event));
    if (arrived_) arrived_();
}

void EventQueue::OnArrival(std::function<void()> arrived) {
    std::lock_guard lock(mutex_);
    arrived_ = std::move(arrived);
    if (arrived_ && !events_.empty()) arrived_();
}

std::optional<std::string> EventQueue::Pop() {
    std::lock_guard lock(mutex_);
    if (events_.empty()) return std::nullopt;
    std::string event = std::move(events_.front());
    events_.pop_front();
    lastWrite_ = std::chrono::steady_clock::now();
    return event;
}

std::string EventQueue::KeepAlive() {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastWrite_ < kKeepAliveEvery) return {};
    lastWrite_ = now;
    return ": keep-alive\n\n";
}
