#include "audit_log.h"

#include "stream_events.h"

#include "client/output.h"

#include <MavoZARP.h>

#include <atomic>
#include <filesystem>

// A file of the log and whether it is still the one lines are added to.
struct AuditLog::File {
    explicit File(const std::string &path) : file(path, DurableFile::Creation::OpenOrCreate) {}
    DurableFile file;
    std::atomic<bool> current{true};
};

namespace {

constexpr uint64_t kSmallestFile = 4096;
constexpr unsigned kMostKeptFiles = 100;
constexpr size_t kLongestReply = MAVOZARP_BUFFER_SIZE - 1;

std::string Text(const Json &value) { return value.dump(-1, ' ', true); }

Json OptionalText(const std::optional<std::string> &text) {
    return text ? JsonText(*text) : Json();
}

// The line up to the outcome: {"time":...,"command":"..." without the closing brace.
std::string LineHead(const AuditEntry &entry) {
    Json line = Json::object();
    line["time"] = FormatTime(std::chrono::system_clock::now());
    line["user"] = OptionalText(entry.user);
    line["role"] = OptionalText(entry.role);
    line["door"] = entry.door;
    line["client"] = JsonText(entry.client);
    line["device"] = OptionalText(entry.device);
    line["command"] = JsonText(entry.command);
    std::string head = Text(line);
    head.pop_back();
    return head;
}

std::string Outcome(const Json &status, std::string_view reply) {
    return ",\"status\":" + Text(status) +
           ",\"reply\":" + Text(JsonText(reply.substr(0, kLongestReply))) + "}";
}

// Room for the longest outcome: the longest status, every reply byte escaped as \u00XX.
size_t OutcomeRoom() {
    static const size_t room = Outcome(INT32_MIN, std::string(kLongestReply, '\x01')).size();
    return room;
}

std::string Padded(std::string text, size_t size) {
    text.resize(size, ' ');
    return text;
}

}  // namespace

std::optional<std::string> AuditOptionsProblem(const AuditOptions &options) {
    if (options.maxBytes < kSmallestFile)
        return "an audit file needs " + std::to_string(kSmallestFile) + " bytes or more";
    if (options.keptFiles < 1 || options.keptFiles > kMostKeptFiles)
        return "the audit log keeps 1 to " + std::to_string(kMostKeptFiles) + " old files";
    return std::nullopt;
}

AuditLog::AuditLog(AuditOptions options) : options_(std::move(options)) {
    if (const auto problem = AuditOptionsProblem(options_)) throw AuditUnavailable(*problem);
    try {
        current_ = std::make_shared<File>(options_.path);
    } catch (const std::runtime_error &error) {
        throw AuditUnavailable(error.what());
    }
    end_ = current_->file.InitialSize();
}

AuditLog::~AuditLog() {
    // Outcomes written since the last line reach the disk too.
    if (current_) {
        try {
            current_->file.Sync();
        } catch (const std::runtime_error &) {
            // Nothing is left to tell it to.
        }
    }
}

std::string AuditLog::NameOf(unsigned generation) const {
    return generation == 0 ? options_.path : options_.path + "." + std::to_string(generation);
}

void AuditLog::Rotate() {
    const std::unique_lock renaming(renaming_);
    // Outcomes written since its last line reach the disk: those written before this mark by the
    // sync below, those after it by their own (Pending::Finish).
    current_->current = false;
    current_->file.Sync();
    current_.reset();
    RemoveFile(NameOf(options_.keptFiles));
    for (unsigned generation = options_.keptFiles - 1; generation >= 1; --generation) {
        if (std::filesystem::exists(NameOf(generation)))
            MoveOver(NameOf(generation), NameOf(generation + 1));
    }
    MoveOver(NameOf(0), NameOf(1));
}

AuditLog::Placed AuditLog::Append(const std::string &line) {
    const std::lock_guard lock(mutex_);
    try {
        if (current_ && end_ > 0 && end_ + line.size() > options_.maxBytes) Rotate();
        if (!current_) {
            current_ = std::make_shared<File>(options_.path);
            end_ = current_->file.InitialSize();
        }
    } catch (const std::runtime_error &error) {
        throw AuditUnavailable("the audit log cannot be rotated: " + std::string(error.what()));
    }
    try {
        current_->file.WriteAt(end_, line);
        current_->file.Sync();
    } catch (const std::runtime_error &error) {
        // No half line stays behind; if even that fails, the next line is written over it.
        current_->file.Truncate(end_);
        throw AuditUnavailable("the audit log cannot be written: " + std::string(error.what()));
    }
    const Placed placed{current_, end_};
    end_ += line.size();
    return placed;
}

AuditLog::Pending AuditLog::Begin(const AuditEntry &entry) {
    const std::string head = LineHead(entry);
    const std::string waiting = Padded(",\"status\":null,\"reply\":null}", OutcomeRoom());
    const Placed placed = Append(head + waiting + "\n");
    return Pending(placed.file, placed.offset + head.size());
}

bool AuditLog::Pending::Finish(int32_t status, std::string_view reply) { return Fill(Outcome(status, reply)); }

bool AuditLog::Pending::Finish(std::string_view status, std::string_view reply) {
    // A quoted word of 9 letters takes no more room than the longest status number.
    return Fill(Outcome(Json(status.substr(0, 9)), reply));
}

bool AuditLog::Pending::Fill(const std::string &outcome) {
    if (!file_) return false;
    const std::shared_ptr<File> file = std::move(file_);
    try {
        file->file.WriteAt(offset_, Padded(outcome, OutcomeRoom()));
        // The current file is synced with its next line; one rotated away meanwhile is not.
        if (!file->current) file->file.Sync();
        return true;
    } catch (const std::runtime_error &) {
        return false;
    }
}

void AuditLog::Refused(const AuditEntry &entry, std::string_view status, std::string_view reply) {
    Append(LineHead(entry) + Outcome(Json(status), reply) + "\n");
}

std::vector<std::unique_ptr<SharedReader>> AuditLog::Snapshot() const {
    const std::shared_lock renaming(renaming_);
    std::vector<std::unique_ptr<SharedReader>> files;
    for (unsigned generation = options_.keptFiles + 1; generation-- > 0;)
        files.push_back(std::make_unique<SharedReader>(NameOf(generation)));
    return files;
}
