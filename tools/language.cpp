#include "language.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::string_view kEntryHeading = "### ";

std::string UpperCase(std::string_view text) {
    std::string upper(text);
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

struct Entry {
    std::string_view heading;  // the command
    std::string_view text;     // heading line to the line before the next heading
};

// The entries of the reference: each from its "### " line up to the next heading of any level.
std::vector<Entry> Entries() {
    const std::string_view reference = CommandReference();
    std::vector<size_t> headings;  // where each heading line begins
    for (size_t at = 0; at < reference.size();) {
        if (reference[at] == '#') headings.push_back(at);
        const size_t end = reference.find('\n', at);
        at = end == std::string_view::npos ? reference.size() : end + 1;
    }
    headings.push_back(reference.size());
    std::vector<Entry> entries;
    for (size_t i = 0; i + 1 < headings.size(); ++i) {
        const std::string_view text = reference.substr(headings[i], headings[i + 1] - headings[i]);
        if (!text.starts_with(kEntryHeading)) continue;
        const size_t lineEnd = std::min(text.find('\n'), text.size());
        entries.push_back({text.substr(kEntryHeading.size(), lineEnd - kEntryHeading.size()), text});
    }
    return entries;
}

// The entry's text without its blank lines at the end.
std::string_view Trimmed(std::string_view text) {
    while (text.ends_with("\n\n")) text.remove_suffix(1);
    return text;
}

// One line of the entry for a terminal: wrapped at the width, a list item's continuation lines
// indented under its text.
void AppendWrapped(std::string &out, std::string_view line) {
    constexpr size_t kWidth = 79;
    const std::string indent(line.starts_with("- ") ? 2 : 0, ' ');
    size_t column = 0;
    bool first = true;
    for (size_t at = 0; at < line.size();) {
        const size_t end = std::min(line.find(' ', at), line.size());
        const std::string_view word = line.substr(at, end - at);
        at = end + 1;
        if (word.empty() && !first) continue;
        if (!first && column + 1 + word.size() > kWidth) {
            out += '\n' + indent;
            column = indent.size();
        } else if (!first) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        first = false;
    }
    out += '\n';
}

// The entry as plain text: the Markdown heading mark and code marks dropped, lines wrapped.
std::string PlainText(std::string_view entry) {
    std::string text;
    for (size_t at = 0; at < entry.size();) {
        const size_t end = std::min(entry.find('\n', at), entry.size());
        std::string line(entry.substr(at, end - at));
        at = end + 1;
        if (line.starts_with(kEntryHeading)) line.erase(0, kEntryHeading.size());
        std::erase(line, '`');
        AppendWrapped(text, line);
    }
    return text;
}

}  // namespace

std::optional<std::string> CommandEntry(std::string_view name) {
    const std::string wanted = UpperCase(name);
    const std::vector<Entry> entries = Entries();
    // The name as typed first, so that "?P" is never taken for "?PCMD".
    for (const std::string &heading : {wanted, wanted + "=", "?" + wanted}) {
        for (const Entry &entry : entries) {
            if (entry.heading == heading) return PlainText(Trimmed(entry.text));
        }
    }
    return std::nullopt;
}

const std::vector<LanguageCommand> &LanguageCommands() {
    static const std::vector<LanguageCommand> commands = [] {
        std::vector<LanguageCommand> list;
        for (const Entry &entry : Entries()) {
            // The meaning is the entry's first paragraph: the line after the heading's blank.
            std::string_view text = entry.text;
            text.remove_prefix(std::min(text.size(), text.find("\n\n") + 2));
            std::string meaning(text.substr(0, text.find('\n')));
            if (meaning.ends_with('.')) meaning.pop_back();
            list.push_back({std::string(entry.heading), meaning});
        }
        return list;
    }();
    return commands;
}
