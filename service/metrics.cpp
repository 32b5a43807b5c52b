#include "metrics.h"

#include "client/status_codes.h"

#include <map>
#include <charconv>

namespace {

struct Family {
    const char *type;
    std::string help;
    std::vector<std::string> samples;
};

// Metric families in a fixed order, each written once with all its samples.
class Exposition {
public:
    void Add(const std::string &name, const char *type, std::string help, std::string labels,
             double value) {
        Family &family = families_[name];
        family.type = type;
        family.help = std::move(help);
        char number[64];
        // The shortest text that reads back as the same value, whatever the locale.
        const auto written = std::to_chars(number, number + sizeof number, value);
        family.samples.push_back(name + '{' + labels + "} " + std::string(number, written.ptr));
    }

    std::string Text() const {
        std::string text;
        for (const auto &[name, family] : families_) {
            text += "# HELP " + name + ' ' + family.help + '\n';
            text += "# TYPE " + name + ' ' + family.type + '\n';
            for (const std::string &sample : family.samples) text += sample + '\n';
        }
        return text;
    }

private:
    std::map<std::string, Family> families_;
};

std::string Escaped(std::string_view value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '\\' || c == '"') escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return escaped;
}

std::string Label(const char *name, std::string_view value) {
    return std::string(name) + "=\"" + Escaped(value) + '"';
}

void PanelMetrics(Exposition &out, const std::string &labels, const Panel &panel) {
    const auto add = [&](const std::string &key, const Reading &reading, const std::string &unit) {
        if (!reading.supported || !reading.exchange.Succeeded()) return;
        const std::optional<double> value = ParseNumber(reading.exchange.reply);
        if (!value) return;
        std::string help = "status panel reading " + key;
        std::string withUnit = labels;
        if (!unit.empty()) {
            help.append(" (").append(unit).append(")");
            withUnit.append(",").append(Label("unit", unit));
        }
        out.Add("mavozarp_" + key, "gauge", std::move(help), std::move(withUnit), *value);
    };
    for (const PanelReading &entry : PanelReadings()) {
        if (entry.kind == ReplyKind::Number || entry.kind == ReplyKind::State)
            add(entry.key, panel.Get(entry.command), panel.UnitOf(entry));
    }
    for (const TemperatureLoop &loop : TemperatureLoops()) {
        const std::string key = loop.key;
        add(key + "_temperature", panel.Get(loop.measured), "degC");
        add(key + "_setpoint", panel.Get(loop.setpoint), "degC");
        add(key + "_drive", panel.Get(loop.drive), "");
    }
    if (const std::optional<uint32_t> word = FaultWord(panel)) {
        out.Add("mavozarp_fault_word", "gauge", "the fault word", labels, *word);
        for (const FaultFlag &flag : panel.family->faultFlags) {
            out.Add("mavozarp_fault", "gauge", "a named flag of the fault word, 1 when set",
                    labels + "," + Label("flag", flag.name), (*word & flag.bit) ? 1 : 0);
        }
    }
}

}  // namespace

namespace {

// The panels of a scrape as they come back, one per device; the text once the last is in.
struct Scrape {
    std::vector<std::shared_ptr<ServedDevice>> devices;
    std::vector<std::shared_ptr<const PanelSnapshot>> panels;  // null: busy or gone
    size_t waiting = 0;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::function<void(std::string)> done;

    std::string Text() const {
        Exposition out;
        for (size_t i = 0; i < devices.size(); ++i) {
            const ServedDevice &device = *devices[i];
            const std::string labels =
                Label("device", device.Id()) + "," + Label("head_type", device.Identity().headType);
            // A device busy or gone shows as down; its counts still count.
            if (panels[i] != nullptr) PanelMetrics(out, labels, panels[i]->panel);
            out.Add("mavozarp_device_up", "gauge", "1 when every reading of the panel succeeded", labels,
                    panels[i] != nullptr && !panels[i]->panel.AnyFailed() ? 1 : 0);
            const CommandCounts counts = device.Counts();
            out.Add("mavozarp_commands_total", "counter", "commands sent to the device", labels,
                    static_cast<double>(counts.total));
            for (const auto &[status, count] : counts.failuresByStatus) {
                out.Add("mavozarp_command_failures_total", "counter", "commands that failed, by status",
                        labels + "," + Label("code", std::to_string(status)) + "," +
                            Label("error", DescribeStatus(status).name),
                        static_cast<double>(count));
            }
        }
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        out.Add("mavozarp_scrape_duration_seconds", "gauge", "time this scrape took", "", took);
        return out.Text();
    }
};

}  // namespace

void CollectMetrics(const DeviceRegistry &registry, std::chrono::milliseconds statusMaxAge,
                    std::function<void(std::string)> done) {
    auto scrape = std::make_shared<Scrape>();
    scrape->devices = registry.List();
    scrape->panels.resize(scrape->devices.size());
    scrape->waiting = scrape->devices.size() + 1;  // one more, given back below once all are asked
    scrape->done = std::move(done);
    const auto arrived = [scrape] {
        if (--scrape->waiting == 0) scrape->done(scrape->Text());
    };
    // Every device is asked at once: each reads its panel on its own, so the scrape takes as
    // long as the slowest device, not their sum.
    for (size_t i = 0; i < scrape->devices.size(); ++i) {
        scrape->devices[i]->Status(statusMaxAge, [scrape, i, arrived](PanelRead read) {
            scrape->panels[i] = read.snapshot;
            arrived();
        });
    }
    arrived();
}
