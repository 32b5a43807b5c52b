// watch: the same queries at a fixed interval, as an aligned table or CSV, until a count is
// reached or the user stops it with Ctrl-C.
#include "client/device.h"
#include "client/output.h"
#include "client/status_codes.h"
#include "subcommands.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <ctime>
#include <iostream>
#include <set>
#include <thread>
#include <utility>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void RequestStop(int) { stopRequested = 1; }

// Ctrl-C (and a polite kill) ends the loop between two samples instead of killing the process, so
// the last line is whole and the device is closed.
class StopOnInterrupt {
public:
    StopOnInterrupt()
        : previousInterrupt_(std::signal(SIGINT, RequestStop)),
          previousTerminate_(std::signal(SIGTERM, RequestStop)) {}
    ~StopOnInterrupt() {
        std::signal(SIGINT, previousInterrupt_);
        std::signal(SIGTERM, previousTerminate_);
    }
    StopOnInterrupt(const StopOnInterrupt &) = delete;
    StopOnInterrupt &operator=(const StopOnInterrupt &) = delete;

    bool Requested() const { return stopRequested != 0; }

private:
    using Handler = void (*)(int);
    Handler previousInterrupt_;
    Handler previousTerminate_;
};

using SteadyClock = std::chrono::steady_clock;

constexpr int kLongestInterval = 86400;
// Below this a log grows by gigabytes in minutes and the bus is busy with nothing else.
constexpr double kShortestInterval = 0.01;

// Sleeps until the deadline in short slices, so a stop request is seen promptly.
void SleepUntil(SteadyClock::time_point deadline, const StopOnInterrupt &stop) {
    constexpr auto kSlice = std::chrono::milliseconds(50);
    for (auto now = SteadyClock::now(); now < deadline && !stop.Requested();
         now = SteadyClock::now()) {
        std::this_thread::sleep_for(std::min<SteadyClock::duration>(deadline - now, kSlice));
    }
}

std::string FixedThreeDecimals(double value) {
    char text[48];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3);
    return {text, result.ptr};
}

// The wall-clock time of a sample: ISO 8601 in UTC for CSV (sortable, zone-free), the local time
// of day for the table a person watches.
std::string Timestamp(std::chrono::system_clock::time_point time, bool csv) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() %
        1000;
    const std::tm *calendar = csv ? std::gmtime(&seconds) : std::localtime(&seconds);
    char text[40] = "";
    if (calendar != nullptr)
        std::strftime(text, sizeof text, csv ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", calendar);
    char withMilliseconds[56];
    std::snprintf(withMilliseconds, sizeof withMilliseconds, csv ? "%s.%03dZ" : "%s.%03d", text,
                  static_cast<int>(milliseconds));
    return withMilliseconds;
}

}  // namespace

int RunWatch(const ParsedArguments &arguments) {
    const DeviceSelector selector = SelectDevice(arguments);
    const std::vector<std::string> &commands = arguments.positionals;
    if (commands.empty()) throw UsageError("no command given");
    const double interval = arguments.Has("--interval")
                                ? ParseSeconds("--interval", arguments.Value("--interval"))
                                : 1.0;
    // The interval becomes a count of the clock's nanoseconds; a day is plenty for a log.
    if (interval < kShortestInterval || interval > kLongestInterval) {
        throw UsageError("--interval must be between 0.01 and " +
                         std::to_string(kLongestInterval) + " seconds");
    }
    // No --count means until stopped; a count of none is a slip, not "forever".
    const unsigned long count =
        arguments.Has("--count") ? ParseCount("--count", arguments.Value("--count")) : 0;
    if (arguments.Has("--count") && count == 0) throw UsageError("--count must be at least 1");
    const bool csv = arguments.Has("--csv");
    const Device device(selector);
    const StopOnInterrupt stop;

    std::vector<std::string> header{"time", "elapsed_s"};
    header.insert(header.end(), commands.begin(), commands.end());
    // Table columns are fixed before the first sample: wide enough for a time, a reading or the
    // command's own name.
    std::vector<size_t> widths{12, 10};
    for (const std::string &command : commands)
        widths.push_back(std::max<size_t>(command.size(), 10));
    std::cout << (csv ? FormatCsvRecord(header) : FormatRow(header, widths)) << '\n' << std::flush;

    std::set<std::pair<std::string, int32_t>> reportedFailures;
    const auto start = SteadyClock::now();
    const auto period =
        std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(interval));
    for (unsigned long sample = 0; (count == 0 || sample < count) && !stop.Requested(); ++sample) {
        // Samples keep to a fixed grid, so slow replies do not make the log drift.
        if (sample > 0) SleepUntil(start + period * static_cast<long>(sample), stop);
        if (stop.Requested()) break;
        const auto wallClock = std::chrono::system_clock::now();
        const std::chrono::duration<double> elapsed = SteadyClock::now() - start;
        std::vector<std::string> cells{Timestamp(wallClock, csv),
                                       FixedThreeDecimals(elapsed.count())};
        for (const std::string &command : commands) {
            const Exchange exchange = device.Send(command);
            if (exchange.Succeeded()) {
                cells.push_back(exchange.reply);
                continue;
            }
            // A failure leaves the CSV cell empty (still a number column for plotting) and is
            // explained once on standard error, not at every sample: per command when the
            // command is at fault, once for all commands when the device is (a supply gone
            // silent fails them all alike).
            cells.push_back(csv ? "" : "error " + std::to_string(exchange.status));
            const bool ofTheCommand = DescribeStatus(exchange.status).ofTheCommand;
            if (reportedFailures.emplace(ofTheCommand ? command : "", exchange.status).second) {
                std::cerr << "mavozarp: " << command << ": " << StatusMessage(exchange.status)
                          << '\n';
            }
        }
        std::cout << (csv ? FormatCsvRecord(cells) : FormatRow(cells, widths)) << '\n'
                  << std::flush;
    }
    return reportedFailures.empty() ? 0 : 1;
}
