#include "arguments.h"
#include "language.h"

#include <MavoZARP.h>

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <memory>
#include <utility>

namespace {

constexpr const char *kHelpFlag = "-h,--help";
constexpr const char *kHelpText = "show this help and exit";
constexpr const char *kDeviceGroup = "DEVICE, exactly one of";
constexpr const char *kOptionsGroup = "Options";
constexpr const char *kExitStatuses =
    "Exit status: 0 success, 1 a device or command failed, 2 a usage mistake.";
constexpr std::size_t kHelpColumn = 24;

// CLI11's help with the usage line first, then the description, the options and what follows.
class HelpLayout : public CLI::Formatter {
public:
    HelpLayout(std::string usage, std::string description)
        : usage_(std::move(usage)), description_(std::move(description)) {
        column_width(kHelpColumn);
        label("Positionals", "Arguments");
    }

    std::string make_help(const CLI::App *app, std::string,
                          CLI::AppFormatMode mode) const override {
        std::string help = "Usage: " + usage_ + "\n\n" + description_ + "\n";
        help += make_positionals(app) + make_groups(app, mode) + make_subcommands(app, mode);
        if (const std::string footer = make_footer(app); !footer.empty()) help += "\n" + footer;
        // CLI11 ends each group of options with a blank line of its own: one is enough.
        for (size_t at = help.find("\n\n\n"); at != std::string::npos; at = help.find("\n\n\n"))
            help.erase(at, 1);
        return help;
    }

private:
    std::string usage_;
    std::string description_;
};

struct GroupedOption {
    OptionDefinition definition;
    const char *group;
};

// The options of a subcommand besides --help, in the order its help shows them.
std::vector<GroupedOption> OptionsOf(const Subcommand &subcommand) {
    std::vector<GroupedOption> options;
    if (subcommand.takesDevice) {
        for (const OptionDefinition &definition : kSelectorOptions) options.push_back({definition, kDeviceGroup});
    }
    for (const OptionDefinition &definition : subcommand.options) options.push_back({definition, kOptionsGroup});
    return options;
}

void AddOption(CLI::App &app, const OptionDefinition &definition, const char *group) {
    const std::string name(definition.name);
    const std::string help(definition.help);
    CLI::Option *option = nullptr;
    if (definition.valueName == nullptr) {
        // "--json=false" would read as a request for JSON: a flag takes no value.
        option = app.add_flag(name, help)->disable_flag_override();
    } else {
        // Every occurrence is kept, so that a repeated option can be named as such.
        option = app.add_option(name, help)
                     ->type_name(definition.valueName)
                     ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
    // CLI11 leaves the options of the unnamed group out of the help.
    option->group(definition.hidden ? "" : group);
}

// The tool's command line as CLI11 reads it: one CLI11 subcommand per subcommand of the table,
// and "help [SUBCOMMAND]".
class CommandLine {
public:
    explicit CommandLine(const ToolDescription &tool) : app_("", "mavozarp") {
        app_.formatter(std::make_shared<HelpLayout>("mavozarp SUBCOMMAND [OPTIONS] [ARGUMENTS]",
                                                    tool.summary));
        app_.footer(std::string(tool.footer) + "\n" + kExitStatuses);
        app_.set_help_flag(kHelpFlag, kHelpText);
        app_.set_version_flag("--version", tool.version,
                              "show the versions of the tool and the library");
        app_.require_subcommand(0, 1);
        for (const Subcommand &subcommand : tool.subcommands) Add(subcommand);

        help_ = app_.add_subcommand(
            "help", "show the help of the tool, of one subcommand or of one command");
        help_->formatter(std::make_shared<HelpLayout>(
            "mavozarp help [SUBCOMMAND | COMMAND]",
            "Shows the help of the tool, or of the subcommand named, or the entry of a command of\n"
            "the language as docs/commands.md gives it (mavozarp help PCMD=, mavozarp help '?P')."));
        help_->footer(kExitStatuses);
        help_->add_option("SUBCOMMAND", "the subcommand or command to explain")->type_name("");
    }

    // The help of the tool as a whole, also once a subcommand was read (whose help CLI11 would
    // give instead).
    std::string GeneralHelp() {
        app_.clear();
        return app_.help();
    }

    Invocation Read(int argc, const char *const *argv) {
        Invocation invocation;
        try {
            app_.parse(argc, argv);
        } catch (const CLI::CallForHelp &) {
            invocation.text = Chosen() != nullptr ? Chosen()->help() : GeneralHelp();
            return invocation;
        } catch (const CLI::CallForVersion &version) {
            invocation.text = std::string(version.what()) + "\n";
            return invocation;
        } catch (const CLI::ExtrasError &error) {
            return Mistake(Unexpected(error));
        } catch (const CLI::ParseError &error) {
            return Mistake(error.what());
        }
        if (Chosen() == nullptr) return Mistake("no subcommand given");
        if (Chosen() == help_) return HelpAbout(help_->get_option("SUBCOMMAND")->results());
        return Arguments();
    }

private:
    void Add(const Subcommand &subcommand) {
        CLI::App *app = app_.add_subcommand(subcommand.name, subcommand.summary);
        app->formatter(std::make_shared<HelpLayout>(
            std::string("mavozarp ") + subcommand.name + " " + subcommand.synopsis,
            subcommand.description));
        app->footer(kExitStatuses);
        // The help flag comes last in the help, after the device and the subcommand's options.
        app->set_help_flag();
        for (const GroupedOption &option : OptionsOf(subcommand))
            AddOption(*app, option.definition, option.group);
        app->set_help_flag(kHelpFlag, kHelpText);
        if (subcommand.operands != nullptr)
            app->add_option(subcommand.operands, operands_, subcommand.operandsHelp)->type_name("");
        subcommands_.emplace_back(&subcommand, app);
    }

    // The subcommand named on the command line (CLI11 takes at most one).
    CLI::App *Chosen() const {
        const std::vector<CLI::App *> chosen = app_.get_subcommands();
        return chosen.empty() ? nullptr : chosen.front();
    }

    const Subcommand *ChosenSubcommand() const {
        for (const auto &[subcommand, app] : subcommands_) {
            if (app == Chosen()) return subcommand;
        }
        return nullptr;
    }

    Invocation Mistake(std::string message) const {
        Invocation invocation;
        invocation.mistake = std::move(message);
        invocation.subcommand = ChosenSubcommand();
        return invocation;
    }

    // The first argument nobody took, named for what it looked like.
    std::string Unexpected(const CLI::ExtrasError &error) const {
        const std::vector<std::string> left =
            Chosen() != nullptr ? Chosen()->remaining() : app_.remaining();
        if (left.empty()) return error.what();
        const std::string &first = left.front();
        if (first.starts_with("-")) return "unknown option '" + first + "'";
        if (Chosen() == nullptr) return "unknown subcommand '" + first + "'";
        return "unexpected argument '" + first + "'";
    }

    Invocation HelpAbout(const std::vector<std::string> &names) {
        Invocation invocation;
        if (names.empty()) {
            invocation.text = GeneralHelp();
            return invocation;
        }
        for (const auto &[subcommand, app] : subcommands_) {
            if (names.front() == subcommand->name) {
                invocation.text = app->help();
                return invocation;
            }
        }
        if (std::optional<std::string> entry = CommandEntry(names.front())) {
            invocation.text = *entry;
            return invocation;
        }
        return Mistake("unknown subcommand '" + names.front() + "', nor a command");
    }

    Invocation Arguments() const {
        Invocation invocation;
        invocation.subcommand = ChosenSubcommand();
        const CLI::App &app = *Chosen();
        for (const GroupedOption &option : OptionsOf(*invocation.subcommand)) {
            const std::string name(option.definition.name);
            const CLI::Option &given = *app.get_option(name);
            if (given.count() == 0) continue;
            if (option.definition.repeatable) {
                invocation.arguments.repeated.emplace(name, given.results());
            } else if (given.count() > 1) {
                return Mistake("option '" + name + "' given twice");
            }
            invocation.arguments.options.emplace(
                name, option.definition.valueName == nullptr ? std::string() : given.results().front());
        }
        invocation.arguments.positionals = operands_;
        return invocation;
    }

    CLI::App app_;
    CLI::App *help_ = nullptr;
    std::vector<std::pair<const Subcommand *, CLI::App *>> subcommands_;
    // Only one subcommand is read: its operands have one place.
    std::vector<std::string> operands_;
};

}  // namespace

const std::string &ParsedArguments::Value(std::string_view option) const {
    return options.find(option)->second;
}

std::vector<std::string> ParsedArguments::Values(std::string_view option) const {
    const auto found = repeated.find(option);
    return found != repeated.end() ? found->second : std::vector<std::string>{};
}

Invocation ReadCommandLine(int argc, const char *const *argv, const ToolDescription &tool) {
    return CommandLine(tool).Read(argc, argv);
}

std::string GeneralHelp(const ToolDescription &tool) { return CommandLine(tool).GeneralHelp(); }

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
